#include "keyfile/key_format.hpp"

#include "foundation/secure_memory.hpp"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <span>
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
    foundation::wiped<std::array<char, 4 * chunk_digits + 1>> text;
    std::size_t length = 0;
    for (std::size_t line = first; line < rows_of(first).end; ++line) {
        const std::size_t n = strnlen(line_value(key, line), chunk_digits);
        std::memcpy(text.data() + length, line_value(key, line), n);
        length += n;
    }
    mpz_set_str(z.get_mpz_t(), text.data(), 10);
}

namespace {

using row = char[row_bytes];

// cppcheck-suppress constParameter ; the rows it returns are written
std::span<row> table(key_record& key, int selector)
{
    switch (selector) {
    case 1:
        return key.auth_p;
    case 2:
        return key.auth_q;
    case 3:
        return key.auth_n;
    default:
        return {};
    }
}

}  // namespace

void store_rows(key_record& key, const mpz_class& z, int nchunks, int selector)
{
    const std::span<row> rows = table(key, selector);
    if (rows.empty() || nchunks <= 0) {
        return;
    }
    foundation::secure_buffer text(mpz_sizeinbase(z.get_mpz_t(), 10) + 2);
    mpz_get_str(text.data(), 10, z.get_mpz_t());
    const std::size_t length = std::strlen(text.data());
    const std::size_t count = std::min(static_cast<std::size_t>(nchunks), rows.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t start = std::min(i * chunk_digits, length);
        const std::size_t n = std::min<std::size_t>(chunk_digits, length - start);
        std::memset(rows[i], 0, row_bytes);
        std::memcpy(rows[i], text.data() + start, n);
    }
}

void store_key(key_record& key, const mpz_class& p, const mpz_class& q, const mpz_class& n)
{
    for (const auto& [z, where] : {std::pair{&p, p_rows}, {&q, q_rows}, {&n, n_rows}}) {
        store_rows(key, *z, where.rows, where.selector);
    }
}

void numbers_of(const key_record& key, mpz_class& p, mpz_class& q, mpz_class& n)
{
    number_of(key, p_rows.first_line, p);
    number_of(key, q_rows.first_line, q);
    number_of(key, n_rows.first_line, n);
}

std::size_t digits_of(const key_record& key, std::size_t first)
{
    std::size_t digits = 0;
    for (std::size_t line = first; line < rows_of(first).end; ++line) {
        digits += strnlen(line_value(key, line), chunk_digits);
    }
    return digits;
}

void wipe_record(key_record& key) noexcept { foundation::wipe(&key, sizeof key); }

}  // namespace keyfile
