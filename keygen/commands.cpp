#include "keygen/commands.hpp"

#include "keyfile/key_file.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/key_record.hpp"

#include <cerrno>
#include <cstdio>
#include <system_error>

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
    "  -o, --output FILE  write the key to FILE, created 0600, not to standard\n"
    "                     output; an existing FILE is refused\n"
    "  -f, --force        with -o, replace an existing FILE atomically\n"
    "  -h, --help         print this help and exit\n"
    "  -V, --version      print the version and exit\n";

void print(const char* text)
{
    errno = 0;
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(),
                                "cannot write to standard output");
    }
}

void generate(const options& o)
{
    const keyfile::destination to(o.output, keyfile::private_mode, o.force, "the key");
    generate_key();
    to.write([](std::FILE* out, const std::string& failure) {
        keyfile::write_key(out, key_text, failure);
    });
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
    case verb::generate:
        generate(o);
        break;
    }
    return 0;
}

}  // namespace keygen
