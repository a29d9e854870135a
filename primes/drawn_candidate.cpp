#include "primes/primes.hpp"

namespace primes {

namespace {

// Digits a word holds whatever they are: 10^19 < 2^64.
constexpr std::size_t word_digits = 19;

// The last value cut to the leading digits kept in the text.
std::uint32_t kept_part(const drawn_values& c)
{
    const std::uint32_t v = c.values[c.count - 1];
    return v / static_cast<std::uint32_t>(powers_of_ten[decimal_length(v) - c.last_kept]);
}

// n = n * scale + add over all limbs; n stays below 10^100 < 2^384.
void multiply_add(limb_number& n, std::uint64_t scale, std::uint64_t add)
{
    std::uint64_t carry = add;
    for (auto& limb : n) {
        const uint128 p = uint128{limb} * scale + carry;
        limb = static_cast<std::uint64_t>(p);
        carry = static_cast<std::uint64_t>(p >> 64);
    }
}

}  // namespace

bool is_three_mod_four(const drawn_values& c)
{
    // 100 = 0 and 10 = 2 modulo 4: only the last digit and the parity of
    // the one before it count.
    const std::uint32_t last = kept_part(c);
    const std::uint32_t tens = c.last_kept >= 2 ? last / 10 : c.values[c.count - 2];
    return (2 * (tens & 1) + last % 10) % 4 == 3;
}

void candidate_number(const drawn_values& c, limb_number& n)
{
    n.fill(0);
    // Values are gathered into a word of up to 19 digits, then the word is
    // folded into n, so that few steps touch all six limbs.
    std::uint64_t chunk = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < c.count; ++i) {
        const bool last = i + 1 == c.count;
        const std::uint32_t v = last ? kept_part(c) : c.values[i];
        const std::size_t length = last ? c.last_kept : decimal_length(v);
        if (digits + length > word_digits) {
            multiply_add(n, powers_of_ten[digits], chunk);
            chunk = 0;
            digits = 0;
        }
        chunk = chunk * powers_of_ten[length] + v;
        digits += length;
    }
    multiply_add(n, powers_of_ten[digits], chunk);
}

}  // namespace primes
