#pragma once
// A 100-digit candidate kept as the values it was drawn from, and built
// from them without writing its decimal text.
#include "keygen/decimal_length.hpp"
#include "keygen/random_decimal.hpp"
#include "keygen/wide_int.hpp"

#include <array>
#include <cstdint>

namespace keygen {

inline constexpr int candidate_digits = 100;

// The values whose decimal texts, one after another and cut to 100
// characters, are the candidate's text. They are the secret: wiped on
// destruction, as the text was.
struct drawn_values {
    std::array<std::uint32_t, candidate_digits> values;
    std::size_t count;
    std::size_t last_kept;  // leading digits of the last value in the text
};
using drawn_candidate = foundation::wiped<drawn_values>;

// Draws from next exactly the values draw_digits would for 100 digits.
template <typename Next>
void draw_candidate_from(drawn_values& c, Next&& next)
{
    constexpr auto wanted = static_cast<std::size_t>(candidate_digits);
    std::size_t length = 0;
    std::size_t last_length = 0;
    c.count = 0;
    do {
        const std::uint32_t v = next();
        c.values[c.count++] = v;
        last_length = decimal_length(v);
        length += last_length;
    } while (length < wanted);
    c.last_kept = last_length - (length - wanted);
}

inline void draw_candidate(drawn_candidate& c, const value_source& source)
{
    draw_candidate_from(c, source);
}

// The candidate's class modulo 4, from its last two digits.
bool is_three_mod_four(const drawn_values& c);

// n = the candidate's number.
void candidate_number(const drawn_values& c, limb_number& n);

}  // namespace keygen
