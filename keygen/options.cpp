#include "keygen/options.hpp"

#include "keygen/diagnostics.hpp"

#include <getopt.h>

#include <string>

namespace keygen {

const char* const usage =
    "usage: keygen [-f] [-o FILE]\n"
    "       keygen -c [FILE...]\n"
    "       keygen -y [-f] [-o FILE] [FILE]\n"
    "       keygen -h | -V\n";

namespace {

const option long_options[] = {
    {"output", required_argument, nullptr, 'o'},
    {"force", no_argument, nullptr, 'f'},
    {"check", no_argument, nullptr, 'c'},
    {"public", no_argument, nullptr, 'y'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// One action a run: a second one is a usage error.
void set_verb(options& o, verb v, bool& chosen)
{
    if (chosen && o.action != v) {
        throw usage_error("only one of -c, -y, -h and -V may be given");
    }
    o.action = v;
    chosen = true;
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

options parse_options(int argc, char** argv)
{
    options o;
    bool chosen = false;
    opterr = 0;
    optind = 1;
    for (int c = 0; (c = getopt_long(argc, argv, ":o:fcyhV", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'o':
            // An unset variable must not send a secret key to a log.
            if (*optarg == '\0') {
                throw usage_error("-o needs a file name, not an empty one");
            }
            o.output = optarg;
            break;
        case 'f':
            o.force = true;
            break;
        case 'c':
            set_verb(o, verb::check, chosen);
            break;
        case 'y':
            set_verb(o, verb::public_key, chosen);
            break;
        case 'h':
            set_verb(o, verb::help, chosen);
            break;
        case 'V':
            set_verb(o, verb::version, chosen);
            break;
        default:
            throw keygen::option_error(c, argv, long_options);
        }
    }
    o.files.assign(argv + optind, argv + argc);
    check_combination(o);
    return o;
}

}  // namespace keygen
