#pragma once
// Trial division of six-limb numbers by the odd primes below a bound, by
// multiplications with precomputed constants instead of divisions.
#include "keygen/wide_int.hpp"

namespace keygen {

// Odd primes below this bound are tried. Timed on the whole search, 3000,
// 6000 and 12000 were within the machine's noise, 3000 a little slower.
inline constexpr unsigned sieve_bound = 6000;

// True when an odd prime below sieve_bound divides n. Numbers below the
// bound are left to the full test (a small prime is not its own factor).
bool has_small_factor(const limb_number& n) noexcept;

// The same with the primes below bound alone (at most sieve_bound): where
// the test that follows is cheap, a shorter sieve pays.
bool has_small_factor(const limb_number& n, unsigned bound) noexcept;

}  // namespace keygen
