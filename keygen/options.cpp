#include "keygen/options.hpp"

#include "foundation/diagnostics.hpp"
#include "keygen/generate_key.hpp"
#include "keygen/system_random.hpp"

namespace keygen {

namespace {

using foundation::usage_error;

const foundation::option_spec option_table[] = {
    {'o', "output", "FILE",
     "write to FILE, not to standard output: a key is\n"
     "created 0600, a public key 0644; an existing FILE\n"
     "is refused"},
    {'f', "force", nullptr, "with -o, replace an existing FILE atomically"},
    {'c', "check", nullptr,
     "check each key FILE (a whole key or its public part;\n"
     "none or -: standard input) and say whether it is valid;\n"
     "keyaudit(1) tells whether an old one is broken"},
    {'y', "public", nullptr, "check the key FILE and print its public part"},
    {'h', "help", nullptr, "print this help and exit"},
    {'V', "version", nullptr, "print the version and exit"},
};

void forget_secrets() noexcept
{
    wipe_key_text();
    discard_system_values();
}

// Operands and -o only where the action reads or writes a file.
void check_combination(const options& o)
{
    const std::size_t most_files = o.action == verb::check        ? o.files.size()
                                   : o.action == verb::public_key ? 1
                                                                  : 0;
    if (o.files.size() > most_files) {
        throw usage_error("unexpected argument: " + o.files[most_files]);
    }
    if (o.action == verb::check && !o.output.empty()) {
        throw usage_error("-o does not go with -c");
    }
    if (o.force && o.output.empty()) {
        throw usage_error("-f needs -o FILE");
    }
}

}  // namespace

const foundation::program program{
    "keygen",
    foundation::exit_failure,
    "usage: keygen [-f] [-o FILE]\n"
    "       keygen -c [FILE...]\n"
    "       keygen -y [-f] [-o FILE] [FILE]\n"
    "       keygen -h | -V\n",
    "Make a Rabin key: two random 100-digit Blum primes P and Q and their\n"
    "product N, as eight key lines. AuthP and AuthQ are the secret; the four\n"
    "AuthN lines are the public part.\n",
    option_table,
    21,
    forget_secrets,
};

options parse_options(int argc, char** argv)
{
    options o;
    o.files = foundation::parse_verbs<verb>(
        program, argc, argv, o.action, "only one of -c, -y, -h and -V may be given",
        [&o](int id, const char* arg, foundation::verb_choice<verb>& action) {
            switch (id) {
            case 'o':
                o.output = foundation::output_name(arg);
                break;
            case 'f':
                o.force = true;
                break;
            case 'c':
                action.choose(verb::check);
                break;
            case 'y':
                action.choose(verb::public_key);
                break;
            }
        });
    check_combination(o);
    return o;
}

}  // namespace keygen
