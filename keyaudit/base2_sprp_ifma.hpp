#pragma once
// The base-2 strong test on AVX-512 IFMA, one modulus per 64-bit lane, in
// seven 52-bit limbs (R = 2^364). Public entry: base2_sprp_batch.
#include "primes/primes.hpp"

#include <cstddef>

namespace keyaudit {

using primes::limb_number;

// True when the processor has AVX-512F and IFMA, and the system saves
// their registers. Decided once; false in a build with KEYGEN_IFMA off.
bool ifma_available() noexcept;

// Lanes of one register, and of the widest kernel (two registers side by
// side, which hides the latency of the multiplier).
inline constexpr std::size_t ifma_lanes = 8;
inline constexpr std::size_t ifma_max_width = 2 * ifma_lanes;

// True for the numbers the vector kernel takes itself: those
// primes::base2_sprp_accepts, below 2^360, so that 16n < R. base2_sprp_ifma
// hands the others to the scalar test.
bool ifma_kernel_accepts(const limb_number& n) noexcept;

// The verdicts of any count of numbers that base2_sprp_accepts, width
// (8 or 16) at a time; needs ifma_available().
void base2_sprp_ifma(const limb_number* n, std::size_t count, bool* verdict,
                     std::size_t width = ifma_max_width) noexcept;

// One step of the kernel, for the tests: x[i] = x[i]^2 / R modulo n[i],
// times 2 where bit i of twice is set, for count up to 8 and x[i] below
// 4n[i] and 2^364; each result is below 2n[i] before the doubling. Needs
// ifma_kernel_accepts(n[i]) and ifma_available().
void montgomery_square_ifma(limb_number* x, const limb_number* n, std::size_t count,
                            unsigned twice) noexcept;

}  // namespace keyaudit
