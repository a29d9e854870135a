#include "keygen/commands.hpp"

#include "foundation/diagnostics.hpp"
#include "foundation/output.hpp"
#include "keyfile/key_file.hpp"
#include "keyfile/key_reader.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/generate_key.hpp"
#include "keyarith/self_test.hpp"
#include "keyfile/key_check.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace keygen {

namespace {

constexpr const char* replace_hint = "-f replaces it";

void warn_if_any(const std::string& warning)
{
    if (!warning.empty()) {
        foundation::report(std::runtime_error(warning));
    }
}

// Reads a key and checks it.
void read_checked(const keyfile::source& in, keyfile::parsed_key& key)
{
    in.read(key);
    keyfile::check_key(key, in.name());
}

std::string summary(const keyfile::parsed_key& key)
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
            keyfile::parsed_key key;
            read_checked(in, key);
            foundation::write_out(in.name() + ": " + summary(key) + "\n");
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            foundation::report(e);
            status = foundation::exit_failure;
        }
    }
    return status;
}

void public_key(const options& o)
{
    const keyfile::source in(o.files.empty() ? "-" : o.files.front());
    keyfile::parsed_key key;
    read_checked(in, key);
    if (!key.whole) {
        throw keyfile::key_error(in.name(), 1, "a public key already; -y needs the whole key");
    }
    const keyfile::destination to(o.output, keyfile::public_mode, o.force, "the public key", replace_hint);
    to.refuse_to_replace(in);
    warn_if_any(to.write([&key](std::FILE* out, const std::string& failure) {
        keyfile::write_public_key(out, key.rows, failure);
    }));
}

void generate(const options& o)
{
    const keyfile::destination to(o.output, keyfile::private_mode, o.force, "the key", replace_hint);
    generate_key();
    // The test runs on the text about to be written, not on the numbers
    // it came from.
    mpz_class p;
    mpz_class q;
    mpz_class n;
    keyfile::numbers_of(key_text, p, q, n);
    if (!keyarith::passes_self_test(p, q, n)) {
        throw std::runtime_error("the new key failed its self-test");
    }
    warn_if_any(to.write([](std::FILE* out, const std::string& failure) {
        keyfile::write_key(out, key_text, failure);
    }));
}

}  // namespace

int run(const options& o)
{
    if (foundation::print_help_or_version(program, o.action)) {
        return 0;
    }
    switch (o.action) {
    case verb::help:
    case verb::version:
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
