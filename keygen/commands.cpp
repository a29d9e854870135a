#include "keygen/commands.hpp"

#include "keyfile/key_file.hpp"
#include "keyfile/key_reader.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/diagnostics.hpp"
#include "keygen/key_check.hpp"
#include "keygen/key_record.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>

#ifndef KEYGEN_VERSION
#error "KEYGEN_VERSION must be defined by the build"
#endif

namespace keygen {

namespace {

const char* const help =
    "\n"
    "Make a Rabin key: two random 100-digit Blum primes P and Q and their\n"
    "product N, as eight key lines. AuthP and AuthQ are the secret; the four\n"
    "AuthN lines are the public part.\n"
    "\n"
    "  -o, --output FILE  write to FILE, not to standard output: a key is\n"
    "                     created 0600, a public key 0644; an existing FILE\n"
    "                     is refused\n"
    "  -f, --force        with -o, replace an existing FILE atomically\n"
    "  -c, --check        check each key FILE (a whole key or its public part;\n"
    "                     none or -: standard input) and say whether it is valid;\n"
    "                     keyaudit(1) tells whether an old one is broken\n"
    "  -y, --public       check the key FILE and print its public part\n"
    "  -h, --help         print this help and exit\n"
    "  -V, --version      print the version and exit\n";

void print(const std::string& text)
{
    keyfile::write_text(stdout, text, "cannot write to standard output");
}

void warn_if_any(const std::string& warning)
{
    if (!warning.empty()) {
        report(std::runtime_error(warning));
    }
}

// Reads a key and checks it.
void read_checked(const keyfile::source& in, keyfile::read_key_result& key)
{
    in.read(key);
    check_key(key, in.name());
}

std::string summary(const keyfile::read_key_result& key)
{
    return std::string(key.whole ? "valid key" : "valid public key") + " (N has " +
           std::to_string(keyfile::digits_of(key.rows, keyfile::first_public_line)) +
           " digits, " + std::to_string(mpz_sizeinbase(key.n.get_mpz_t(), 2)) + " bits)";
}

// Every file is checked, whatever the others gave.
int check(const options& o)
{
    const std::vector<std::string> paths = o.files.empty() ? std::vector<std::string>{"-"} : o.files;
    int status = 0;
    for (const std::string& path : paths) {
        try {
            const keyfile::source in(path);
            keyfile::read_key_result key;
            read_checked(in, key);
            print(in.name() + ": " + summary(key) + "\n");
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            report(e);
            status = exit_failure;
        }
    }
    return status;
}

void public_key(const options& o)
{
    const keyfile::source in(o.files.empty() ? "-" : o.files.front());
    keyfile::read_key_result key;
    read_checked(in, key);
    if (!key.whole) {
        throw keyfile::key_error(in.name(), 1, "a public key already; -y needs the whole key");
    }
    const keyfile::destination to(o.output, keyfile::public_mode, o.force, "the public key");
    to.refuse_to_replace(in);
    warn_if_any(to.write([&key](std::FILE* out, const std::string& failure) {
        keyfile::write_public_key(out, key.rows, failure);
    }));
}

void generate(const options& o)
{
    const keyfile::destination to(o.output, keyfile::private_mode, o.force, "the key");
    generate_key();
    // The test runs on the text about to be written, not on the numbers
    // it came from.
    mpz_class p;
    mpz_class q;
    mpz_class n;
    keyfile::number_of(key_text, 0, p);
    keyfile::number_of(key_text, keyfile::first_q_line, q);
    keyfile::number_of(key_text, keyfile::first_public_line, n);
    if (!passes_self_test(p, q, n)) {
        throw std::runtime_error("the new key failed its self-test");
    }
    warn_if_any(to.write([](std::FILE* out, const std::string& failure) {
        keyfile::write_key(out, key_text, failure);
    }));
}

}  // namespace

int run(const options& o)
{
    switch (o.action) {
    case verb::help:
        print(usage);
        print(help);
        break;
    case verb::version:
        print("keygen " KEYGEN_VERSION "\n");
        break;
    case verb::check:
        return check(o);
    case verb::public_key:
        public_key(o);
        break;
    case verb::generate:
        generate(o);
        break;
    }
    return 0;
}

}  // namespace keygen
