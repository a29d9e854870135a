#include "keygen/base2_sprp.hpp"
#include "keygen/montgomery.hpp"
#include "testing/limb_convert.hpp"
#include "testing/strong_base2.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace testing_support;
using keygen::sprp_arithmetic;

namespace {

const mpz_class size_limit = power_of_two(380);

// Both arithmetics give GMP's answer, and what they reject GMP rejects.
bool kernel_verdict(const mpz_class& n)
{
    const keygen::limb_number limbs = limbs_of(n);
    EXPECT_TRUE(keygen::base2_sprp_accepts(limbs)) << n;
    const bool expected = strong_base2(n);
    EXPECT_EQ(keygen::is_base2_sprp(limbs, sprp_arithmetic::portable), expected) << n;
    if (keygen::adx_available()) {
        EXPECT_EQ(keygen::is_base2_sprp(limbs, sprp_arithmetic::adx), expected) << n;
    }
    if (!expected) {
        EXPECT_EQ(mpz_probab_prime_p(n.get_mpz_t(), 5), 0) << n;
    }
    return expected;
}

TEST(Base2Sprp, AgreesWithGmpOnRandomOddNumbersAndPrimesOfEverySize)
{
    gmp_randclass random(gmp_randinit_mt);
    random.seed(5);
    for (unsigned bits = 321; bits <= 380; ++bits) {
        for (int i = 0; i < 10; ++i) {
            mpz_class n = random.get_z_bits(bits) | power_of_two(bits - 1) | 1;
            kernel_verdict(n);
            mpz_nextprime(n.get_mpz_t(), n.get_mpz_t());
            if (n < size_limit) {
                EXPECT_TRUE(kernel_verdict(n)) << n;
            }
        }
    }
}

TEST(Base2Sprp, AgreesWithGmpAtBothEndsOfTheSizeRange)
{
    for (mpz_class n = size_limit - 4001; n < size_limit; n += 2) {
        kernel_verdict(n);
    }
    for (mpz_class n = power_of_two(320) + 1; n < power_of_two(320) + 4001; n += 2) {
        kernel_verdict(n);
    }
}

// Composites 2^e - 1 with e prime pass: 2^e = 1 and e divides 2^(e-1) - 1.
TEST(Base2Sprp, MersenneCompositesAreStrongPseudoprimes)
{
    for (unsigned e = 331; e < 380; e += 2) {
        if (mpz_probab_prime_p(mpz_class(e).get_mpz_t(), 25) != 0) {
            EXPECT_TRUE(kernel_verdict(power_of_two(e) - 1)) << e;
        }
    }
}

struct pseudoprime_case {
    const char* name;
    const char* k;  // hex
    bool twin;      // p(2p - 1) with p = k; else Chernick's (6k+1)(12k+1)(18k+1)
    bool strong;    // a strong pseudoprime to base 2
};

void PrintTo(const pseudoprime_case& c, std::ostream* os) { *os << c.name; }

class Base2SprpPseudoprimes : public testing::TestWithParam<pseudoprime_case> {};

TEST_P(Base2SprpPseudoprimes, MatchGmp)
{
    const pseudoprime_case& c = GetParam();
    const mpz_class k(c.k, 16);
    const mpz_class n = c.twin ? mpz_class(k * (2 * k - 1))
                               : mpz_class((6 * k + 1) * (12 * k + 1) * (18 * k + 1));
    EXPECT_EQ(kernel_verdict(n), c.strong);
    EXPECT_EQ(mpz_probab_prime_p(n.get_mpz_t(), 5), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Base2SprpPseudoprimes,
    testing::Values(
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
    [](const auto& info) { return std::string(info.param.name); });

struct accepts_case {
    const char* name;
    mpz_class n;
    bool accepted;
};

void PrintTo(const accepts_case& c, std::ostream* os) { *os << c.name; }

class Base2SprpAccepts : public testing::TestWithParam<accepts_case> {};

TEST_P(Base2SprpAccepts, TakesOddSixLimbNumbersBelowTheLimit)
{
    EXPECT_EQ(keygen::base2_sprp_accepts(limbs_of(GetParam().n)), GetParam().accepted);
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
TEST(MontgomerySquare, MatchesGmpWithinTheBound)
{
    gmp_randclass random(gmp_randinit_mt);
    random.seed(9);
    const mpz_class r = power_of_two(384);
    for (int i = 0; i < 400; ++i) {
        const mpz_class n = i % 2 == 0
                                ? mpz_class(size_limit - 2 * random.get_z_bits(40) - 1)
                                : mpz_class(random.get_z_bits(380 - i % 60) | power_of_two(320) | 1);
        const keygen::limb_number limbs = limbs_of(n);
        const keygen::montgomery_modulus m(limbs);
        const mpz_class a = i % 3 == 0 ? mpz_class(4 * n - 1) : mpz_class(random.get_z_range(4 * n));
        for (std::uint64_t twice = 0; twice < 2; ++twice) {
            for (auto* square : {&keygen::square_portable, &keygen::square_adx}) {
                if (square == &keygen::square_adx && !keygen::adx_available()) {
                    continue;
                }
                keygen::limb_number x = limbs_of(a);
                square(x, m, twice);
                const mpz_class result = number_of(x);
                EXPECT_LT(result, (2 << twice) * n);
                EXPECT_EQ(result * r % n, (a * a << twice) % n);
            }
        }
        keygen::limb_number plain{};
        keygen::from_montgomery(limbs_of(a), m, plain);
        EXPECT_LE(number_of(plain), n);
        EXPECT_EQ(number_of(plain) * r % n, a % n);
    }
}

}  // namespace
