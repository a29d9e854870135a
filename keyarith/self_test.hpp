#pragma once
// Whether a new key works, by the arithmetic it is made for.
#include <gmpxx.h>

namespace keyarith {

// A Rabin round trip through the key arithmetic: a random square x modulo
// N, its roots modulo P and Q joined into r and r' modulo N; all four of
// +-r, +-r' must square back to x, and r != +-r'. Any other key fails,
// by a wrong root or by a refused precondition.
bool passes_self_test(const mpz_class& p, const mpz_class& q, const mpz_class& n);

}  // namespace keyarith
