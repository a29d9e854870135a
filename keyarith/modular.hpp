#pragma once
// Arithmetic of the Rabin construction on a generated key. Every result may
// be the same integer as an input. A broken precondition throws
// std::domain_error and leaves the result untouched.
#include <gmpxx.h>

namespace keyarith {

// r = b^2 mod m, 0 <= r < m, also for a negative b. Needs m > 0.
void square_mod(mpz_class& r, const mpz_class& b, const mpz_class& m);

// x = a random square modulo n with gcd(x, n) = 1, drawn through
// keygen::random_decimal with one digit fewer than n's size estimate (at
// least one, at most keygen::max_digits). Needs 0 < n with at most
// keygen::max_digits + 1 digits.
void random_coprime_square(mpz_class& x, const mpz_class& n);

// r = a^((p+1)/4) mod p: a square root of a when a is a square modulo the
// prime p. Needs p > 0 and p = 3 mod 4.
void sqrt_mod_prime(mpz_class& r, const mpz_class& a, const mpz_class& p);

// r = rp*s*q + rq*t*p with s*q + t*p = 1 from GMP's extended gcd of (q, p),
// so r = rp mod p and r = rq mod q. Not reduced: r may be negative or
// exceed p*q. Needs p, q > 0 and gcd(p, q) = 1.
void crt_combine(mpz_class& r, const mpz_class& rp, const mpz_class& rq,
                 const mpz_class& p, const mpz_class& q);

}  // namespace keyarith
