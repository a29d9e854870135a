#pragma once
// Numbers built from the decimal texts of successive 31-bit random values,
// and the source of those values. The prime search draws from the same
// source, value by value (primes::draw_candidate_from), without the text.
#include "foundation/secure_memory.hpp"

#include <gmpxx.h>

#include <array>
#include <cstdint>
#include <functional>

namespace keygen {

// The largest digit count a draw accepts.
inline constexpr int max_digits = 1014;

// Where values come from. Tests install a scripted one; each value must lie
// in 0 .. 2^31-1. An empty source restores the operating system's. An
// installed source is called as it is, without the system source's health
// test, so a script may repeat values.
using value_source = std::function<std::uint32_t()>;
void set_value_source(value_source source);

// The next value of the current source.
std::uint32_t next_value();

// Room for a draw of up to max_digits digits: the last value may overshoot
// the count by nine digits, and the text is NUL-terminated.
struct digit_chars {
    std::array<char, max_digits + 11> chars;
};
using digit_text = foundation::wiped<digit_chars>;

// Writes the decimal texts of values, one after another, until at least
// ndigits characters are gathered (always at least one value), then cuts
// the text to exactly ndigits characters. Throws std::invalid_argument,
// before drawing, when ndigits is outside 0 .. max_digits. Values come from
// source when one is given, so that threads can each replay a stream of
// their own, and from the installed source otherwise.
void draw_digits(digit_text& text, int ndigits);
void draw_digits(digit_text& text, int ndigits, const value_source& source);

// z = the number whose decimal text is draw_digits' text. A count of 0
// still draws one value and leaves z as it was.
void random_decimal(mpz_class& z, int ndigits);

}  // namespace keygen
