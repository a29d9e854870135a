#include "keyfile/key_format.hpp"

#include <string.h>

#include <cstring>
#include <utility>

namespace keyfile {

const char* line_value(const key_record& key, std::size_t line)
{
    if (line < first_q_line) {
        return key.auth_p[line];
    }
    if (line < first_public_line) {
        return key.auth_q[line - first_q_line];
    }
    return key.auth_n[line - first_public_line];
}

char* line_value(key_record& key, std::size_t line)
{
    return const_cast<char*>(line_value(std::as_const(key), line));
}

number_lines rows_of(std::size_t line)
{
    if (line < first_q_line) {
        return {0, first_q_line};
    }
    if (line < first_public_line) {
        return {first_q_line, first_public_line};
    }
    return {first_public_line, key_lines};
}

void number_of(const key_record& key, std::size_t first, mpz_class& z)
{
    // The text is a secret too; it lives here and is wiped.
    std::array<char, 4 * chunk_digits + 1> text{};
    std::size_t length = 0;
    for (std::size_t line = first; line < rows_of(first).end; ++line) {
        const std::size_t n = strnlen(line_value(key, line), chunk_digits);
        std::memcpy(text.data() + length, line_value(key, line), n);
        length += n;
    }
    mpz_set_str(z.get_mpz_t(), text.data(), 10);
    explicit_bzero(text.data(), text.size());
}

std::size_t digits_of(const key_record& key, std::size_t first)
{
    std::size_t digits = 0;
    for (std::size_t line = first; line < rows_of(first).end; ++line) {
        digits += strnlen(line_value(key, line), chunk_digits);
    }
    return digits;
}

void wipe_record(key_record& key) noexcept { explicit_bzero(&key, sizeof key); }

}  // namespace keyfile
