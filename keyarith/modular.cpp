#include "keyarith/modular.hpp"

#include "keygen/random_decimal.hpp"

#include <algorithm>
#include <stdexcept>

namespace keyarith {

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        throw std::domain_error(what);
    }
}

// GMP's estimate is exact or one too large; n > 0.
long decimal_digits(const mpz_class& n, long estimate)
{
    mpz_class power;
    mpz_ui_pow_ui(power.get_mpz_t(), 10, static_cast<unsigned long>(estimate - 1));
    return n < power ? estimate - 1 : estimate;
}

}  // namespace

void square_mod(mpz_class& r, const mpz_class& b, const mpz_class& m)
{
    require(sgn(m) > 0, "square_mod: modulus must be positive");
    mpz_powm_ui(r.get_mpz_t(), b.get_mpz_t(), 2, m.get_mpz_t());
}

void random_coprime_square(mpz_class& x, const mpz_class& n)
{
    require(sgn(n) > 0, "random_coprime_square: modulus must be positive");
    const auto estimate = static_cast<long>(mpz_sizeinbase(n.get_mpz_t(), 10));
    require(decimal_digits(n, estimate) - 1 <= keygen::max_digits,
            "random_coprime_square: modulus too large");
    // Below 10 the count would be 0, which draws nothing new: the loop
    // could then run forever. At the limit the estimate may be one too
    // large, and the count must stay within what a draw accepts.
    const int k = static_cast<int>(std::clamp(estimate - 1, 1L, long{keygen::max_digits}));
    // x may be n, so it is written only once n is no longer read.
    mpz_class square;
    mpz_class g;
    do {
        keygen::random_decimal(square, k);
        square_mod(square, square, n);
        mpz_gcd(g.get_mpz_t(), square.get_mpz_t(), n.get_mpz_t());
    } while (g != 1);
    x = square;
}

void sqrt_mod_prime(mpz_class& r, const mpz_class& a, const mpz_class& p)
{
    require(sgn(p) > 0 && mpz_fdiv_ui(p.get_mpz_t(), 4) == 3,
            "sqrt_mod_prime: modulus must be positive and 3 mod 4");
    mpz_class e = p + 1;
    mpz_divexact_ui(e.get_mpz_t(), e.get_mpz_t(), 4);
    mpz_powm(r.get_mpz_t(), a.get_mpz_t(), e.get_mpz_t(), p.get_mpz_t());
}

void crt_combine(mpz_class& r, const mpz_class& rp, const mpz_class& rq,
                 const mpz_class& p, const mpz_class& q)
{
    require(sgn(p) > 0 && sgn(q) > 0, "crt_combine: moduli must be positive");
    mpz_class g;
    mpz_class s;
    mpz_class t;
    mpz_gcdext(g.get_mpz_t(), s.get_mpz_t(), t.get_mpz_t(), q.get_mpz_t(), p.get_mpz_t());
    require(g == 1, "crt_combine: moduli must be coprime");
    mpz_class sum = rp * s * q + rq * t * p;
    mpz_swap(r.get_mpz_t(), sum.get_mpz_t());
}

}  // namespace keyarith
