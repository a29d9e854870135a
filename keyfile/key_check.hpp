#pragma once
// Whether a key read back is sound.
#include "keyfile/key_reader.hpp"

#include <gmpxx.h>

#include <string>

namespace keyfile {

// Repetitions for the primality of P and Q: with GMP 6.2 the Baillie-PSW
// test and six Miller-Rabin rounds.
inline constexpr int check_reps = 30;

// Whether a public key's trial division below 10^6 is done here, or by the
// caller for many keys at once.
enum class small_factors { checked, left_to_caller };

// Whether a public N's primality is tested here, or the caller has proved
// it composite already (for many keys at once, as a Fermat test can).
enum class n_primality { tested, known_composite };

inline constexpr unsigned long small_factor_bound = 1000000;

// A whole key: P and Q probable primes of 3 mod 4, of 99 or 100 digits,
// P != Q, N = P*Q. A public key: N of 197 to 200 digits, odd, not a square,
// not a probable prime, with no prime factor below 10^6. Throws
// key_error naming the first line of the number at fault.
void check_key(const parsed_key& key, const std::string& name,
               small_factors factors = small_factors::checked,
               n_primality primality = n_primality::tested);

// True when n has a prime factor below small_factor_bound.
bool has_small_factor(const mpz_class& n);

}  // namespace keyfile
