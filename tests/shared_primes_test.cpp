#include "keyaudit/shared_primes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

using keyaudit::find_shared_primes;

namespace {

using indices = std::vector<std::size_t>;

// With every N = P*Q, the factor is a prime of N that another N holds.
void expect_factor(const std::vector<mpz_class>& moduli,
                   const std::vector<keyaudit::shared_prime_result>& found, std::size_t i)
{
    const mpz_class& f = found[i].factor;
    if (found[i].shares_with.empty()) {
        EXPECT_EQ(f, 0) << i;
        return;
    }
    ASSERT_GT(f, 1) << i;
    EXPECT_LT(f, moduli[i]) << i;
    EXPECT_NE(mpz_divisible_p(moduli[i].get_mpz_t(), f.get_mpz_t()), 0) << i;
    EXPECT_NE(mpz_probab_prime_p(f.get_mpz_t(), 30), 0) << i;
    EXPECT_TRUE(std::any_of(found[i].shares_with.begin(), found[i].shares_with.end(),
                            [&](std::size_t j) {
                                return mpz_divisible_p(moduli[j].get_mpz_t(), f.get_mpz_t()) != 0;
                            }))
        << i;
}

struct small_case {
    const char* name;
    std::vector<mpz_class> moduli;
    std::vector<indices> shares_with;
    std::vector<indices> same_key_as;
};

TEST(FindSharedPrimes, SmallFleets)
{
    const mpz_class m89 = (mpz_class(1) << 89) - 1;  // primes of other sizes
    const mpz_class m61 = (mpz_class(1) << 61) - 1;
    const std::vector<small_case> cases = {
        {"empty", {}, {}, {}},
        {"one", {15}, {{}}, {{}}},
        {"all identical", {15, 15, 15}, {{}, {}, {}}, {{1, 2}, {0, 2}, {0, 1}}},
        {"two share", {15, 143, 21}, {{2}, {}, {0}}, {{}, {}, {}}},
        {"both primes to two keys", {15, 21, 55}, {{1, 2}, {0}, {0}}, {{}, {}, {}}},
        {"cycle", {15, 35, 21}, {{1, 2}, {0, 2}, {0, 1}}, {{}, {}, {}}},
        {"duplicate that shares", {21, 15, 21}, {{1}, {0, 2}, {1}}, {{2}, {}, {0}}},
        {"sizes", {3 * m89, 15, m89 * m61, 7 * 11}, {{1, 2}, {0}, {0}, {}}, {{}, {}, {}, {}}},
    };
    for (const small_case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto found = find_shared_primes(c.moduli);
        ASSERT_EQ(found.size(), c.moduli.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].shares_with, c.shares_with[i]) << i;
            EXPECT_EQ(found[i].same_key_as, c.same_key_as[i]) << i;
            expect_factor(c.moduli, found, i);
        }
    }
}

TEST(FindSharedPrimes, RefusesModuliBelowTwo)
{
    EXPECT_THROW(find_shared_primes({15, 1}), std::domain_error);
    EXPECT_THROW(find_shared_primes({0}), std::domain_error);
}

// Planted relations among unrelated keys of two 100-digit primes, checked
// against the GCD of every pair.
TEST(FindSharedPrimes, FleetAgainstEveryPair)
{
    gmp_randclass random(gmp_randinit_mt);
    random.seed(2012);
    const auto prime = [&random](int digits) {
        const mpz_class low("1" + std::string(static_cast<std::size_t>(digits) - 1, '0'));
        mpz_class p = low + random.get_z_range(9 * low);
        mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
        return p;
    };
    struct key {
        mpz_class p, q;
    };
    const mpz_class a = prime(100);
    const mpz_class b = prime(100);
    const mpz_class c = prime(100);
    const mpz_class d = prime(100);
    const key first{a, prime(100)};
    const key lone{prime(100), prime(100)};
    const std::vector<key> planted = {
        first,           {a, prime(100)},                   // two share, one of them twice
        {b, c},          {b, prime(100)}, {c, prime(100)},  // both primes, to two keys
        lone,            lone,            lone,             // the same key thrice
        {prime(40), d},  {d, prime(100)},  first,           // other sizes
    };
    std::vector<key> keys(250);
    for (key& k : keys) {
        k = {prime(100), prime(100)};
    }
    // Spread out, so that neither input order nor value order groups them.
    for (std::size_t j = 0; j < planted.size(); ++j) {
        keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(j * 23), planted[j]);
    }

    std::vector<mpz_class> moduli(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        moduli[i] = keys[i].p * keys[i].q;
    }
    const auto found = find_shared_primes(moduli);
    ASSERT_EQ(found.size(), moduli.size());
    std::size_t sharing = 0;
    mpz_class g;
    for (std::size_t i = 0; i < moduli.size(); ++i) {
        indices shares;
        indices same;
        for (std::size_t j = 0; j < moduli.size(); ++j) {
            mpz_gcd(g.get_mpz_t(), moduli[i].get_mpz_t(), moduli[j].get_mpz_t());
            if (j != i && moduli[j] == moduli[i]) {
                same.push_back(j);
            } else if (j != i && g != 1) {
                shares.push_back(j);
            }
        }
        EXPECT_EQ(found[i].shares_with, shares) << i;
        EXPECT_EQ(found[i].same_key_as, same) << i;
        expect_factor(moduli, found, i);
        if (!shares.empty()) {
            EXPECT_TRUE(found[i].factor == keys[i].p || found[i].factor == keys[i].q) << i;
            ++sharing;
        }
    }
    EXPECT_EQ(sharing, 8U);
}

}  // namespace
