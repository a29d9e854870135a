#include "keyaudit/base2_sprp_batch.hpp"
#include "keyaudit/base2_sprp_ifma.hpp"
#include "keyaudit/fermat_ifma.hpp"
#include "testing/limb_convert.hpp"
#include "testing/strong_base2.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace testing_support;
using primes::sprp_arithmetic;

namespace {

const mpz_class kernel_low = power_of_two(320);
const mpz_class kernel_high = power_of_two(360);

bool is_prime(const mpz_class& n) { return mpz_probab_prime_p(n.get_mpz_t(), 25) != 0; }

// Strong pseudoprimes of 321 to 360 bits. Every composite divisor of 2^p - 1
// (p an odd prime) is one, as is every one of 2^p + 1 prime to 3; so are
// some divisors of 2^m +- 1 for other m, and some p(2p - 1) with p and
// 2p - 1 prime. Candidates of these forms are kept when GMP's test passes them.
std::vector<mpz_class> strong_pseudoprimes()
{
    std::vector<mpz_class> found;
    const auto keep = [&found](const mpz_class& n) {
        if (n > kernel_low && n < kernel_high && !is_prime(n) && strong_base2(n) &&
            std::find(found.begin(), found.end(), n) == found.end()) {
            found.push_back(n);
        }
    };
    constexpr unsigned bound = 1U << 18;
    std::vector<unsigned> primes;
    std::vector<bool> composite(bound);
    for (unsigned q = 3; q < bound; q += 2) {
        if (!composite[q]) {
            primes.push_back(q);
            for (unsigned k = 3 * q; k < bound; k += 2 * q) {
                composite[k] = true;
            }
        }
    }
    for (unsigned m = 321; m < 420; ++m) {
        for (const int sign : {-1, 1}) {
            const mpz_class whole = power_of_two(m) + sign;
            std::vector<unsigned> factors;
            for (const unsigned q : primes) {
                if (mpz_divisible_ui_p(whole.get_mpz_t(), q) != 0) {
                    factors.push_back(q);
                }
            }
            // Numbers with many small factors (m = 360, 408, ...) have
            // millions of divisors and gave none.
            if (factors.size() > 10) {
                continue;
            }
            std::vector<mpz_class> divisors{1};
            for (const unsigned q : factors) {
                for (std::size_t i = 0, size = divisors.size(); i < size; ++i) {
                    divisors.push_back(divisors[i] * q);
                }
            }
            for (const mpz_class& divisor : divisors) {
                keep(whole / divisor);
            }
        }
    }
    gmp_randclass random(gmp_randinit_mt);
    random.seed(11);
    for (int twins = 0; twins < 6;) {
        mpz_class p = random.get_z_bits(160 + 3 * twins) | power_of_two(160 + 3 * twins);
        do {
            mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
        } while (!is_prime(2 * p - 1));
        const std::size_t before = found.size();
        keep(p * (2 * p - 1));
        twins += found.size() > before ? 1 : 0;
    }
    return found;
}

struct corpus {
    std::vector<mpz_class> numbers;
    std::vector<primes::limb_number> limbs;
    std::vector<bool> expected;
    std::size_t pseudoprimes = 0;
};

// Odd numbers the kernels must agree with GMP on, in a fixed shuffled order
// so that every batch mixes primes, pseudoprimes and composites.
corpus make_corpus()
{
    corpus c;
    c.numbers = strong_pseudoprimes();
    c.pseudoprimes = c.numbers.size();
    gmp_randclass random(gmp_randinit_mt);
    random.seed(7);
    for (unsigned bits = 321; bits < 360; ++bits) {
        for (int i = 0; i < 3; ++i) {
            const mpz_class n = random.get_z_bits(bits) | power_of_two(bits - 1) | 1;
            c.numbers.push_back(n);
        }
        for (const int delta : {-3, -1, 1, 3}) {
            c.numbers.push_back(power_of_two(bits) + delta);
        }
        mpz_class p = random.get_z_bits(bits - 1) | power_of_two(bits - 1);
        mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
        c.numbers.push_back(p);
        do {  // a Blum prime
            mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
        } while (p % 4 != 3);
        c.numbers.push_back(p);
    }
    const mpz_class ten_99("1" + std::string(99, '0'));
    for (int i = 0; i < 64; ++i) {
        mpz_class n = ten_99 + random.get_z_range(9 * ten_99);
        n |= 1;
        c.numbers.push_back(n);
        if (i % 4 == 0) {
            mpz_nextprime(n.get_mpz_t(), n.get_mpz_t());
            c.numbers.push_back(n);
        }
    }
    // Beyond the vector kernel, for the single-number test.
    for (unsigned bits = 360; bits < 380; bits += 4) {
        c.numbers.push_back(random.get_z_bits(bits) | power_of_two(bits) | 1);
    }
    std::shuffle(c.numbers.begin(), c.numbers.end(), std::mt19937(3));
    for (const mpz_class& n : c.numbers) {
        c.limbs.push_back(limbs_of(n));
        c.expected.push_back(strong_base2(n));
    }
    return c;
}

const corpus& numbers()
{
    static const corpus c = make_corpus();
    return c;
}

struct batch_path {
    const char* name;
    sprp_arithmetic arithmetic;  // of the single-number test
    std::size_t width;  // of the IFMA kernel; 0 for base2_sprp_batch
    bool first_form = false;  // base2_sprp_batch's own choice of arithmetic
};

void PrintTo(const batch_path& p, std::ostream* os) { *os << p.name; }

class Base2SprpBatch : public testing::TestWithParam<batch_path> {
protected:
    void SetUp() override
    {
        if (GetParam().arithmetic == sprp_arithmetic::adx && !primes::adx_available()) {
            GTEST_SKIP() << "no ADX on this processor: the portable path is tested instead";
        }
        if (GetParam().width != 0 && !keyaudit::ifma_available()) {
            GTEST_SKIP() << "no AVX-512 IFMA on this processor: the portable path is tested instead";
        }
    }

    void run(std::size_t from, std::size_t count, bool* verdict) const
    {
        const primes::limb_number* n = &numbers().limbs[from];
        if (GetParam().width != 0) {
            keyaudit::base2_sprp_ifma(n, count, verdict, GetParam().width);
        } else if (GetParam().first_form) {
            keyaudit::base2_sprp_batch(n, count, verdict);
        } else {
            keyaudit::base2_sprp_batch(n, count, verdict, GetParam().arithmetic);
        }
    }
};

TEST_P(Base2SprpBatch, AgreesWithGmpOnEveryNumber)
{
    const corpus& c = numbers();
    ASSERT_GE(c.pseudoprimes, 24U);
    std::vector<char> verdict(c.numbers.size());
    run(0, c.numbers.size(), reinterpret_cast<bool*>(verdict.data()));
    std::size_t passed = 0;
    for (std::size_t i = 0; i < c.numbers.size(); ++i) {
        EXPECT_EQ(verdict[i] != 0, c.expected[i]) << c.numbers[i];
        passed += verdict[i];
    }
    RecordProperty("numbers", static_cast<int>(c.numbers.size()));
    RecordProperty("pseudoprimes", static_cast<int>(c.pseudoprimes));
    RecordProperty("passed", static_cast<int>(passed));
}

// Every count up to two batches and over, at offsets that put different
// kinds of number in the first lane (which fills the unused ones).
TEST_P(Base2SprpBatch, PartialBatchesGiveEveryLaneItsOwnVerdict)
{
    const corpus& c = numbers();
    for (std::size_t count = 1; count <= 2 * keyaudit::sprp_batch + 1; ++count) {
        for (std::size_t from = 0; from + count <= c.numbers.size(); from += 41) {
            bool verdict[2 * keyaudit::sprp_batch + 1] = {};
            run(from, count, verdict);
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_EQ(verdict[i], c.expected[from + i]) << c.numbers[from + i] << " count " << count;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Base2SprpBatch,
    testing::Values(batch_path{"Portable", sprp_arithmetic::portable, 0},
                    batch_path{"Adx", sprp_arithmetic::adx, 0},
                    batch_path{"Ifma8", sprp_arithmetic::portable, keyaudit::ifma_lanes},
                    batch_path{"Ifma16", sprp_arithmetic::portable, keyaudit::ifma_max_width},
                    batch_path{"Default", sprp_arithmetic::portable, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// One square of the vector kernel. Results with a zero middle limb are the
// ones whose one-pass carry overflows a limb, so most lanes aim at one.
TEST(MontgomerySquareIfma, MatchesGmpWhenTheQuickCarryPassOverflows)
{
    if (!keyaudit::ifma_available()) {
        GTEST_SKIP() << "no AVX-512 IFMA on this processor";
    }
    gmp_randclass random(gmp_randinit_mt);
    random.seed(13);
    const mpz_class r = power_of_two(364);
    std::size_t zero_limbs = 0;
    for (int round = 0; round < 40; ++round) {
        primes::limb_number n[keyaudit::ifma_lanes];
        primes::limb_number x[keyaudit::ifma_lanes];
        mpz_class nz[keyaudit::ifma_lanes];
        mpz_class xz[keyaudit::ifma_lanes];
        const unsigned twice = static_cast<unsigned>(mpz_class(random.get_z_bits(8)).get_ui());
        for (unsigned l = 0; l < keyaudit::ifma_lanes; ++l) {
            // Primes 3 mod 4, whose square roots are powers.
            mpz_class p = random.get_z_bits(321 + (round * 8 + l) % 39) | power_of_two(320);
            do {
                mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
            } while (p % 4 != 3);
            nz[l] = p;
            mpz_class target;
            mpz_class a;
            do {
                target = random.get_z_range(p);
                const unsigned limb = 1 + (l + round) % 5;
                target &= ~((power_of_two(52) - 1) << (52 * limb));
                a = target * r % p;
                if ((twice >> l & 1) != 0) {
                    a = a * (p + 1) / 2 % p;
                }
            } while (l != 7 && mpz_legendre(a.get_mpz_t(), p.get_mpz_t()) != 1);
            if (l == 7) {  // the largest input allowed
                a = 4 * p - 1;
            }
            mpz_class root;
            mpz_powm(root.get_mpz_t(), a.get_mpz_t(), mpz_class((p + 1) / 4).get_mpz_t(), p.get_mpz_t());
            xz[l] = l == 7 ? a : mpz_class(root + p * (l % 4));
            n[l] = limbs_of(p);
            x[l] = limbs_of(xz[l]);
        }
        keyaudit::montgomery_square_ifma(x, n, keyaudit::ifma_lanes, twice);
        for (unsigned l = 0; l < keyaudit::ifma_lanes; ++l) {
            const mpz_class result = number_of(x[l]);
            const unsigned doubled = twice >> l & 1;
            EXPECT_LT(result, (2 << doubled) * nz[l]) << round << " " << l;
            EXPECT_EQ(result * r % nz[l], (xz[l] * xz[l] << doubled) % nz[l]) << round << " " << l;
            for (unsigned limb = 1; limb < 6; ++limb) {
                zero_limbs += (result >> (52 * limb)) % power_of_two(52) == 0 ? 1 : 0;
            }
        }
    }
    EXPECT_GE(zero_limbs, 40U);
}

}  // namespace

// The Fermat test of public moduli: products of two primes of 327 to 333
// bits (every size of N a key holds), primes, and 2^659 - 1, composite yet
// a Fermat pseudoprime to base 2, in groups not a multiple of eight.
TEST(FermatIfma, AgreesWithGmpOnEveryModulus)
{
    if (!keyaudit::ifma_available()) {
        GTEST_SKIP() << "no AVX-512 IFMA on this processor";
    }
    gmp_randclass random(gmp_randinit_mt);
    random.seed(2016);
    const auto prime = [&random](unsigned bits) {
        mpz_class p = random.get_z_bits(bits) | power_of_two(bits - 1);
        mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
        return p;
    };
    std::vector<mpz_class> moduli;
    for (unsigned k = 0; k < 60; ++k) {
        moduli.push_back(k % 7 == 3 ? prime(650 + k % 15) : mpz_class(prime(327 + k % 7) * prime(327 + k % 5)));
    }
    moduli.push_back(power_of_two(659) - 1);
    moduli.push_back(power_of_two(671) + 1 + 2 * random.get_z_bits(600));
    for (const std::size_t count : {std::size_t{1}, std::size_t{13}, moduli.size()}) {
        std::vector<const mpz_class*> n;
        for (std::size_t i = 0; i < count; ++i) {
            n.push_back(&moduli[moduli.size() - count + i]);
        }
        const auto composite = std::make_unique<bool[]>(count);
        keyaudit::fermat_composite_ifma(n.data(), count, composite.get());
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_TRUE(keyaudit::fermat_ifma_accepts(*n[i])) << i;
            mpz_class r;
            mpz_powm(r.get_mpz_t(), mpz_class(2).get_mpz_t(), mpz_class(*n[i] - 1).get_mpz_t(),
                     n[i]->get_mpz_t());
            EXPECT_EQ(composite[i], r != 1) << count << " " << i;
        }
    }
}
