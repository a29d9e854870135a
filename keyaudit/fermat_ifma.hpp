#pragma once
// The Fermat test to base 2 of public moduli, eight at a time on AVX-512
// IFMA, in thirteen 52-bit limbs (R = 2^676). A modulus that fails it is
// composite for certain; that one exponentiation is most of what checking
// a million public keys costs, and GMP does it one at a time.
#include <gmpxx.h>

#include <cstddef>

namespace keyaudit {

// Odd, above 2^64 and below 2^672, so that 16n < R.
bool fermat_ifma_accepts(const mpz_class& n) noexcept;

// composite[i] = (2^(n[i] - 1) mod n[i] != 1) for moduli that
// fermat_ifma_accepts; needs ifma_available().
void fermat_composite_ifma(const mpz_class* const* n, std::size_t count, bool* composite);

}  // namespace keyaudit
