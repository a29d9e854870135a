#include "keyaudit/recovery.hpp"

#include "foundation/diagnostics.hpp"
#include "foundation/secure_memory.hpp"
#include "keyfile/key_check.hpp"
#include "keyfile/key_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace keyaudit {

namespace {

void warn_if_exposed()
{
    struct stat st {};
    if (isatty(STDOUT_FILENO) != 0) {
        foundation::report(std::runtime_error("warning: the recovered key goes to a terminal"));
    } else if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 044) != 0) {
        foundation::report(std::runtime_error("warning: the recovered key goes to a file that others can read"));
    }
}

}  // namespace

recovery::recovery(const options& o)
{
    if (!o.recover) {
        return;
    }
    std::error_code error;
    if (!o.files.empty() && o.files.front() != "-" && std::filesystem::is_directory(o.files.front(), error)) {
        throw foundation::usage_error("--recover needs a key file first, not a folder");
    }
    to_ = std::make_unique<keyfile::destination>(o.output, keyfile::private_mode, false, "the recovered key");
    if (o.output.empty()) {
        warn_if_exposed();
    }
}

bool recovery::write(const std::string& name, const mpz_class& p, const mpz_class& q, const mpz_class& n) const
{
    keyfile::parsed_key key;
    keyfile::store_key(key.rows, p, q, n);
    key.whole = true;
    key.p = p;
    key.q = q;
    key.n = n;
    try {
        // A shared factor of a modulus of more primes gives no key.
        keyfile::check_key(key, name);
    } catch (const keyfile::key_error& e) {
        foundation::report(std::runtime_error("cannot recover " + name + ": not a key of two primes: " + e.problem()));
        return false;
    }
    try {
        const std::string warning = to_->write(
            [&key](std::FILE* out, const std::string& failure) { keyfile::write_key(out, key.rows, failure); });
        if (!warning.empty()) {
            foundation::report(std::runtime_error(warning));
        }
        return true;
    } catch (const std::system_error& e) {
        foundation::report(e);
    } catch (const std::runtime_error& e) {
        foundation::report(e);
    }
    return false;
}

}  // namespace keyaudit
