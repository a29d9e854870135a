#include "primes/internal/montgomery.hpp"
#include "primes/primes.hpp"
#include "testing/limb_convert.hpp"
#include "testing/strong_base2.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

using namespace testing_support;
using primes::sprp_arithmetic;

namespace {

const mpz_class size_limit = power_of_two(380);

const char* name_of(sprp_arithmetic arithmetic)
{
    return arithmetic == sprp_arithmetic::adx ? "Adx" : "Portable";
}

void skip_unless_runs_here(sprp_arithmetic arithmetic)
{
    if (arithmetic == sprp_arithmetic::adx && !primes::adx_available()) {
        GTEST_SKIP() << "no BMI2 and ADX on this processor: only the portable arithmetic runs";
    }
}

// The arithmetic gives GMP's answer, and what it rejects GMP rejects.
bool kernel_verdict(const mpz_class& n, sprp_arithmetic arithmetic)
{
    const primes::limb_number limbs = limbs_of(n);
    EXPECT_TRUE(primes::base2_sprp_accepts(limbs)) << n;
    const bool expected = strong_base2(n);
    EXPECT_EQ(primes::is_base2_sprp(limbs, arithmetic), expected) << n;
    if (!expected) {
        EXPECT_EQ(mpz_probab_prime_p(n.get_mpz_t(), 5), 0) << n;
    }
    return expected;
}

class Base2Sprp : public testing::TestWithParam<sprp_arithmetic> {
protected:
    void SetUp() override { skip_unless_runs_here(GetParam()); }
};

TEST_P(Base2Sprp, AgreesWithGmpOnRandomOddNumbersAndPrimesOfEverySize)
{
    gmp_randclass random(gmp_randinit_mt);
    random.seed(5);
    for (unsigned bits = 321; bits <= 380; ++bits) {
        for (int i = 0; i < 10; ++i) {
            mpz_class n = random.get_z_bits(bits) | power_of_two(bits - 1) | 1;
            kernel_verdict(n, GetParam());
            mpz_nextprime(n.get_mpz_t(), n.get_mpz_t());
            if (n < size_limit) {
                EXPECT_TRUE(kernel_verdict(n, GetParam())) << n;
            }
        }
    }
}

TEST_P(Base2Sprp, AgreesWithGmpAtBothEndsOfTheSizeRange)
{
    for (mpz_class n = size_limit - 4001; n < size_limit; n += 2) {
        kernel_verdict(n, GetParam());
    }
    for (mpz_class n = power_of_two(320) + 1; n < power_of_two(320) + 4001; n += 2) {
        kernel_verdict(n, GetParam());
    }
}

// Composites 2^e - 1 with e prime pass: 2^e = 1 and e divides 2^(e-1) - 1.
TEST_P(Base2Sprp, MersenneCompositesAreStrongPseudoprimes)
{
    for (unsigned e = 331; e < 380; e += 2) {
        if (mpz_probab_prime_p(mpz_class(e).get_mpz_t(), 25) != 0) {
            EXPECT_TRUE(kernel_verdict(power_of_two(e) - 1, GetParam())) << e;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Arithmetics, Base2Sprp,
                         testing::Values(sprp_arithmetic::portable, sprp_arithmetic::adx),
                         [](const auto& info) { return std::string(name_of(info.param)); });

struct pseudoprime_case {
    const char* name;
    const char* k;  // hex
    bool twin;      // p(2p - 1) with p = k; else Chernick's (6k+1)(12k+1)(18k+1)
    bool strong;    // a strong pseudoprime to base 2
};

void PrintTo(const pseudoprime_case& c, std::ostream* os) { *os << c.name; }

class Base2SprpPseudoprimes
    : public testing::TestWithParam<std::tuple<pseudoprime_case, sprp_arithmetic>> {
protected:
    void SetUp() override { skip_unless_runs_here(std::get<1>(GetParam())); }
};

TEST_P(Base2SprpPseudoprimes, MatchGmp)
{
    const auto& [c, arithmetic] = GetParam();
    const mpz_class k(c.k, 16);
    const mpz_class n = c.twin ? mpz_class(k * (2 * k - 1))
                               : mpz_class((6 * k + 1) * (12 * k + 1) * (18 * k + 1));
    EXPECT_EQ(kernel_verdict(n, arithmetic), c.strong);
    EXPECT_EQ(mpz_probab_prime_p(n.get_mpz_t(), 5), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Base2SprpPseudoprimes,
    testing::Combine(testing::Values(
        pseudoprime_case{"Carmichael321", "aa00177f7eee767c2a7a7733c8", false, false},
        pseudoprime_case{"StrongCarmichael321", "bba07b43aa41a198d4de96b916", false, true},
        pseudoprime_case{"Twin321", "ed2537bfb97d1da9be6e54e3264bc1ef17d84865", true, true},
        pseudoprime_case{"Carmichael340", "365aec6c616c6ba5181fea4b9391", false, false},
        pseudoprime_case{"StrongCarmichael340", "30a55393808d754888e99efeb16a", false, true},
        pseudoprime_case{"Twin340", "266bc293b38992fc1ffa2dc8f846f84b8b3ea222f2d", true, true},
        pseudoprime_case{"Carmichael360", "137db8804652d68a5ea8b5a9de1af0", false, false},
        pseudoprime_case{"StrongCarmichael360", "135c821c7392887f82a0c6fa16d82a", false, true},
        pseudoprime_case{"Twin360", "9ecae081fe1dc38d3a53756b641c4a62d7657c07bf08d", true, true},
        pseudoprime_case{"Carmichael380", "8ef363e05c52d3cda8c29eeac4304aa", false, false},
        pseudoprime_case{"StrongCarmichael380", "7f72916e9550e2a72e82c262447f082", false, true},
        pseudoprime_case{"Twin380", "2095c5e4ed67592dc83e2122c4be7ed7040fe584f1e25bc5", true, true}),
                     testing::Values(sprp_arithmetic::portable, sprp_arithmetic::adx)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + name_of(std::get<1>(info.param));
    });

struct accepts_case {
    const char* name;
    mpz_class n;
    bool accepted;
};

void PrintTo(const accepts_case& c, std::ostream* os) { *os << c.name; }

class Base2SprpAccepts : public testing::TestWithParam<accepts_case> {};

TEST_P(Base2SprpAccepts, TakesOddSixLimbNumbersBelowTheLimit)
{
    EXPECT_EQ(primes::base2_sprp_accepts(limbs_of(GetParam().n)), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base2SprpAccepts,
    testing::Values(accepts_case{"JustBelowTheLimit", size_limit - 1, true},
                    accepts_case{"JustAboveTheLimit", size_limit + 1, false},
                    accepts_case{"SmallestSixLimbs", power_of_two(320) + 1, true},
                    accepts_case{"FiveLimbs", power_of_two(320) - 1, false},
                    accepts_case{"Even", power_of_two(330) + 2, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The squaring on its own: the right residue, and within the stated bound
// even for inputs at the bound and moduli at the limit.
class MontgomerySquare : public testing::TestWithParam<sprp_arithmetic> {
protected:
    void SetUp() override { skip_unless_runs_here(GetParam()); }
};

TEST_P(MontgomerySquare, MatchesGmpWithinTheBound)
{
    auto* const square =
        GetParam() == sprp_arithmetic::adx ? &primes::square_adx : &primes::square_portable;
    gmp_randclass random(gmp_randinit_mt);
    random.seed(9);
    const mpz_class r = power_of_two(384);
    for (int i = 0; i < 400; ++i) {
        const mpz_class n = i % 2 == 0
                                ? mpz_class(size_limit - 2 * random.get_z_bits(40) - 1)
                                : mpz_class(random.get_z_bits(380 - i % 60) | power_of_two(320) | 1);
        const primes::limb_number limbs = limbs_of(n);
        const primes::montgomery_modulus m(limbs);
        const mpz_class a = i % 3 == 0 ? mpz_class(4 * n - 1) : mpz_class(random.get_z_range(4 * n));
        for (std::uint64_t twice = 0; twice < 2; ++twice) {
            primes::limb_number x = limbs_of(a);
            square(x, m, twice);
            const mpz_class result = number_of(x);
            EXPECT_LT(result, (2 << twice) * n);
            EXPECT_EQ(result * r % n, (a * a << twice) % n);
        }
        primes::limb_number plain{};
        primes::from_montgomery(limbs_of(a), m, plain);
        EXPECT_LE(number_of(plain), n);
        EXPECT_EQ(number_of(plain) * r % n, a % n);
    }
}

INSTANTIATE_TEST_SUITE_P(Arithmetics, MontgomerySquare,
                         testing::Values(sprp_arithmetic::portable, sprp_arithmetic::adx),
                         [](const auto& info) { return std::string(name_of(info.param)); });

}  // namespace
