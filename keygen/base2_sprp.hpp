#pragma once
// A base-2 strong probable-prime test for six-limb numbers, by Montgomery
// arithmetic: the pre-test that spares GMP most composites.
#include "keygen/wide_int.hpp"

namespace keygen {

// True for the numbers the test takes: odd, six limbs, below 2^380 (B^6/16,
// which lets reductions be deferred).
bool base2_sprp_accepts(const limb_number& n) noexcept;

// Which squaring the test runs: portable C++, or x86-64 assembly where the
// processor has it (adx_available()).
enum class sprp_arithmetic { portable, adx };

// True when n is a strong probable prime to base 2: every prime is. Needs
// base2_sprp_accepts(n). The first form runs the fastest arithmetic here.
bool is_base2_sprp(const limb_number& n) noexcept;
bool is_base2_sprp(const limb_number& n, sprp_arithmetic arithmetic) noexcept;

}  // namespace keygen
