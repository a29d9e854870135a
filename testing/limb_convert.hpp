#pragma once
// Moving numbers between GMP and the fixed six-limb form of the kernels.
#include "primes/primes.hpp"

#include <gmpxx.h>

namespace testing_support {

inline primes::limb_number limbs_of(const mpz_class& z)
{
    primes::limb_number limbs{};
    std::size_t count = 0;
    mpz_export(limbs.data(), &count, -1, sizeof limbs[0], 0, 0, z.get_mpz_t());
    return limbs;
}

inline mpz_class number_of(const primes::limb_number& limbs)
{
    mpz_class z;
    mpz_import(z.get_mpz_t(), limbs.size(), -1, sizeof limbs[0], 0, 0, limbs.data());
    return z;
}

inline mpz_class power_of_two(unsigned e)
{
    mpz_class z;
    mpz_setbit(z.get_mpz_t(), e);
    return z;
}

}  // namespace testing_support
