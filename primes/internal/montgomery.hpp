#pragma once
// Montgomery arithmetic modulo odd six-limb numbers n below 2^380 (B^6/16),
// with R = 2^384. Since 16n < R, values may stay below 4n between steps and
// no step needs a final subtraction. Used inside primes/ and by its tests.
#include "primes/primes.hpp"

namespace primes {

struct montgomery_modulus {
    explicit montgomery_modulus(const limb_number& modulus) noexcept;

    const limb_number& n;
    std::uint64_t neg_inverse;  // -1/n modulo 2^64
};

// a = a * a / R modulo n, times 2 when twice is 1 (it is 0 or 1), for a
// below 4n; the result is below 2n before the doubling, 4n after. Doubling
// here spares a step (and a branch) per bit of a power of two.
void square_portable(limb_number& a, const montgomery_modulus& m, std::uint64_t twice) noexcept;

// The same in x86-64 assembly, about 1.5 times as fast; needs adx_available().
void square_adx(limb_number& a, const montgomery_modulus& m, std::uint64_t twice) noexcept;

// a = a + a * twice, twice 0 or 1, without a branch. Inline: it runs once
// a square.
inline void double_if(limb_number& a, std::uint64_t twice) noexcept
{
    const std::uint64_t mask = 0 - twice;
    std::uint64_t carry = 0;
    for (auto& limb : a) {
        const uint128 sum = uint128{limb} + (limb & mask) + carry;
        limb = static_cast<std::uint64_t>(sum);
        carry = static_cast<std::uint64_t>(sum >> 64);
    }
}

// r = a / R modulo n, for a below 4n: at most n, and n only when n divides a.
void from_montgomery(const limb_number& a, const montgomery_modulus& m, limb_number& r) noexcept;

}  // namespace primes
