#pragma once
// The base-2 strong test on many numbers at once: AVX-512 IFMA where the
// processor has it, else primes' single-number test on each.
#include "primes/primes.hpp"

#include <cstddef>

namespace keyaudit {

using primes::limb_number;

// The count the batch test is fastest at: two registers of eight lanes.
// Fewer take as long, except eight or fewer: one register, about 0.6 of
// the time.
inline constexpr std::size_t sprp_batch = 16;

// verdict[i] = primes::is_base2_sprp(n[i]) for any count, each n[i] taken
// by base2_sprp_accepts. The first form runs IFMA where the processor has
// it, else the fastest single-number test; the second runs the
// single-number test of that arithmetic on each.
void base2_sprp_batch(const limb_number* n, std::size_t count, bool* verdict) noexcept;
void base2_sprp_batch(const limb_number* n, std::size_t count, bool* verdict,
                      primes::sprp_arithmetic arithmetic) noexcept;

}  // namespace keyaudit
