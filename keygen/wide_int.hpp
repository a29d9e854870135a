#pragma once
// Fixed-width multi-limb numbers shared by the hand-written arithmetic.
#include <gmp.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace keygen {

// g++ and clang give 128-bit products; __extension__ keeps -Wpedantic quiet
// here without silencing it elsewhere.
__extension__ using uint128 = unsigned __int128;

// Six 64-bit limbs, least significant first: room for a 100-digit candidate.
inline constexpr std::size_t number_limbs = 6;
using limb_number = std::array<std::uint64_t, number_limbs>;

// 1/x modulo 2^64 for odd x: x is its own inverse modulo 8, and each
// Newton step doubles the bits that are right.
constexpr std::uint64_t inverse_mod_word(std::uint64_t x)
{
    std::uint64_t inverse = x;
    for (int i = 0; i < 5; ++i) {
        inverse *= 2 - x * inverse;
    }
    return inverse;
}

static_assert(sizeof(mp_limb_t) == sizeof(std::uint64_t) && GMP_NAIL_BITS == 0,
              "limbs are moved to and from GMP as they are");

}  // namespace keygen
