#include "primes/primes.hpp"
#include "testing/limb_convert.hpp"

#include <gtest/gtest.h>

using namespace testing_support;
using primes::sieve_bound;

namespace {

bool is_prime(unsigned p) { return mpz_probab_prime_p(mpz_class(p).get_mpz_t(), 25) != 0; }

// Trial division by GMP.
bool reference(const mpz_class& n)
{
    if (n < sieve_bound) {
        return false;
    }
    for (unsigned p = 3; p < sieve_bound; p += 2) {
        if (is_prime(p) && mpz_divisible_ui_p(n.get_mpz_t(), p) != 0) {
            return true;
        }
    }
    return false;
}

bool sieve(const mpz_class& n) { return primes::has_small_factor(limbs_of(n)); }

TEST(SmallFactors, FindsEveryPrimeBelowTheBoundButNotAsItsOwnFactor)
{
    gmp_randclass random(gmp_randinit_mt);
    random.seed(3);
    mpz_class big;
    mpz_nextprime(big.get_mpz_t(), mpz_class(random.get_z_bits(300)).get_mpz_t());
    for (unsigned p = 3; p < sieve_bound; p += 2) {
        if (is_prime(p)) {
            EXPECT_TRUE(sieve(big * p)) << p;
            EXPECT_TRUE(sieve(power_of_two(384) - (power_of_two(384) % p))) << p;
            EXPECT_FALSE(sieve(p)) << p;
        }
    }
}

TEST(SmallFactors, AgreesWithGmpOnNumbersOfEverySize)
{
    gmp_randclass random(gmp_randinit_mt);
    random.seed(4);
    for (unsigned bits = 1; bits <= 384; ++bits) {
        for (int i = 0; i < 4; ++i) {
            const mpz_class n = random.get_z_bits(bits);
            EXPECT_EQ(sieve(n), reference(n)) << n;
        }
    }
    // Every limb at its largest: the weighted sums are at their largest.
    EXPECT_EQ(sieve(power_of_two(384) - 1), reference(power_of_two(384) - 1));
}

TEST(SmallFactors, LetsProductsOfLargerPrimesThrough)
{
    mpz_class p = sieve_bound;
    mpz_class product = 1;
    while (mpz_sizeinbase(product.get_mpz_t(), 2) < 330) {
        mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
        product *= p;
        EXPECT_FALSE(sieve(product)) << product;
    }
}

}  // namespace
