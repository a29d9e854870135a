#pragma once
// The key lines: what they hold and in which order. Writer and reader both
// take the layout from here.
#include <gmpxx.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace keyfile {

// A row holds 50 digits, yet takes 256 bytes: the old program's rows were
// 256 bytes, and the record keeps that layout.
inline constexpr int row_bytes = 256;
inline constexpr int chunk_digits = 50;

// P, Q and N as text, cut into rows of at most 50 digits. Every row is a
// NUL-terminated chunk.
struct key_record {
    char auth_p[2][row_bytes];
    char auth_q[2][row_bytes];
    char auth_n[4][row_bytes];
};

inline constexpr std::size_t key_lines = 8;
// The first line of Q, and of N; a public key is N's four lines alone.
inline constexpr std::size_t first_q_line = 2;
inline constexpr std::size_t first_public_line = 4;

// Where each number goes: its rows, the selector of store_chunks that
// names its table, and its first line among the eight.
struct number_rows {
    int rows;
    int selector;
    std::size_t first_line;
};
inline constexpr number_rows p_rows{2, 1, 0};
inline constexpr number_rows q_rows{2, 2, first_q_line};
inline constexpr number_rows n_rows{4, 3, first_public_line};

// Each line is a tab, its key word, two tabs, the row's digits and a line feed.
inline constexpr std::array<const char*, key_lines> line_formats{
    "\tAuthP\t\t%s\n", "\tAuthP\t\t%s\n", "\tAuthQ\t\t%s\n", "\tAuthQ\t\t%s\n",
    "\tAuthN\t\t%s\n", "\tAuthN\t\t%s\n", "\tAuthN\t\t%s\n", "\tAuthN\t\t%s\n"};

// What comes before the digits: the format up to its "%s\n".
constexpr std::string_view line_head(std::size_t line)
{
    const std::string_view format = line_formats[line];
    return format.substr(0, format.size() - 3);
}

// The row of a line, counting the eight lines in order.
char* line_value(key_record& key, std::size_t line);
const char* line_value(const key_record& key, std::size_t line);

// The lines a number takes: its first and one past its last.
struct number_lines {
    std::size_t first;
    std::size_t end;
};
number_lines rows_of(std::size_t line);

// z = the number whose rows start at line first: its rows joined.
void number_of(const key_record& key, std::size_t first, mpz_class& z);

// Renders z in decimal and writes chunk i (digits 50i+1 to 50i+50, counted
// from the most significant) into row i of key's table that selector names:
// 1 auth_p, 2 auth_q, 3 auth_n. Any other selector changes nothing, rows
// past the table's end are not written, and a chunk that would start past
// the end of the text is the empty string.
void store_rows(key_record& key, const mpz_class& z, int nchunks, int selector);

// Every row of key, from P, Q and N.
void store_key(key_record& key, const mpz_class& p, const mpz_class& q, const mpz_class& n);

// P, Q and N of a whole key.
void numbers_of(const key_record& key, mpz_class& p, mpz_class& q, mpz_class& n);

// The digits of that number, counted in its rows.
std::size_t digits_of(const key_record& key, std::size_t first);

// Overwrites the record in a way the compiler may not drop.
void wipe_record(key_record& key) noexcept;

}  // namespace keyfile
