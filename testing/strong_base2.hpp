#pragma once
// The textbook strong base-2 test on GMP's arithmetic: the yardstick of the
// hand-written kernels.
#include <gmpxx.h>

namespace testing_support {

inline bool strong_base2(const mpz_class& n)
{
    const mpz_class n_minus_one = n - 1;
    const mp_bitcnt_t s = mpz_scan1(n_minus_one.get_mpz_t(), 0);
    const mpz_class d = n_minus_one >> s;
    mpz_class x;
    mpz_powm(x.get_mpz_t(), mpz_class(2).get_mpz_t(), d.get_mpz_t(), n.get_mpz_t());
    bool pass = x == 1 || x == n_minus_one;
    for (mp_bitcnt_t r = 1; r < s && !pass; ++r) {
        x = x * x % n;
        pass = x == n_minus_one;
    }
    return pass;
}

}  // namespace testing_support
