#pragma once
// The search for a random 100-digit Blum prime (a prime that is 3 mod 4).
#include "keygen/random_decimal.hpp"

#include <gmpxx.h>

namespace keygen {

inline constexpr int prime_digits = 100;

// Draws 100-digit candidates until one is a probable prime leaving 3 mod 4;
// p holds it. Rejected candidates are dropped, never stepped from.
void find_blum_prime(mpz_class& p);

// The same search on the values of source instead of the installed one.
void find_blum_prime(mpz_class& p, const value_source& source);

}  // namespace keygen
