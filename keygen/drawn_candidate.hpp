#pragma once
// A 100-digit candidate kept as the values it was drawn from, and built
// from them without writing its decimal text.
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

// Draws from source exactly the values draw_digits would for 100 digits.
void draw_candidate(drawn_candidate& c, const value_source& source);

// The candidate's class modulo 4, from its last two digits.
bool is_three_mod_four(const drawn_candidate& c);

// n = the candidate's number.
void candidate_number(const drawn_candidate& c, limb_number& n);

}  // namespace keygen
