#pragma once
// A base-2 strong probable-prime test for six-limb numbers, by Montgomery
// arithmetic: the pre-test that spares GMP most composites.
#include "keygen/wide_int.hpp"

#include <cstddef>

namespace keygen {

// True for the numbers the test takes: odd, six limbs, below 2^380 (B^6/16,
// which lets reductions be deferred).
bool base2_sprp_accepts(const limb_number& n) noexcept;

// Which squaring the test runs: portable C++, x86-64 assembly where the
// processor has it (adx_available()), or many numbers at once on AVX-512
// IFMA (ifma_available()).
enum class sprp_arithmetic { portable, adx, ifma };

// True when n is a strong probable prime to base 2: every prime is. Needs
// base2_sprp_accepts(n). The first form runs the fastest arithmetic here.
bool is_base2_sprp(const limb_number& n) noexcept;
bool is_base2_sprp(const limb_number& n, sprp_arithmetic arithmetic) noexcept;

// True when the processor has AVX-512F and IFMA, and the system saves
// their registers. Decided once.
bool ifma_available() noexcept;

// The count the batch test is fastest at: two registers of eight lanes.
// Fewer take as long, except eight or fewer: one register, about 0.6 of
// the time.
inline constexpr std::size_t sprp_batch = 16;

// verdict[i] = is_base2_sprp(n[i]) for any count, each n[i] taken by
// base2_sprp_accepts. The first form runs IFMA where the processor has it,
// else the fastest single-number test; the second needs ifma_available()
// for ifma. Numbers from 2^360 up go to the single-number test.
void base2_sprp_batch(const limb_number* n, std::size_t count, bool* verdict) noexcept;
void base2_sprp_batch(const limb_number* n, std::size_t count, bool* verdict,
                      sprp_arithmetic arithmetic) noexcept;

}  // namespace keygen
