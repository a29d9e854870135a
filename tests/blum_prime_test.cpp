#include "keygen/blum_prime.hpp"
#include "testing/digit_script.hpp"
#include "testing/reference_search.hpp"
#include "testing/scripted_source.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

struct search_case {
    const char* name;
    std::vector<std::uint32_t> values;
    const char* expected;
    std::size_t consumed;
};

void PrintTo(const search_case& c, std::ostream* os) { *os << c.name; }

class BlumPrimeScripted : public testing::TestWithParam<search_case> {};

// Both searches must agree with the expected result, so a shortcut in the
// fast one cannot pass by mirroring a fault in the reference.
TEST_P(BlumPrimeScripted, FindsTheExpectedPrime)
{
    const search_case& c = GetParam();
    for (auto* search : {+[](mpz_class& p) { keygen::find_blum_prime(p); },
                         &reference_find_blum_prime}) {
        scripted_stream stream(c.values);
        mpz_class p;
        search(p);
        EXPECT_EQ(p.get_str(), c.expected);
        EXPECT_EQ(stream.consumed(), c.consumed);
    }
    // An explicit source is used instead of the installed one.
    scripted_stream installed;
    std::size_t consumed = 0;
    mpz_class p;
    keygen::find_blum_prime(p, [&] { return c.values.at(consumed++); });
    EXPECT_EQ(p.get_str(), c.expected);
    EXPECT_EQ(consumed, c.consumed);
    EXPECT_EQ(installed.consumed(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlumPrimeScripted,
    testing::Values(
        search_case{"SkipsPrimeOfClassOne",
                    values_for_text(padded("13")) + values_for_text(padded("7")), "7", 200},
        search_case{"SkipsCompositeOfClassThree",
                    values_for_text(padded("15")) + values_for_text(padded("11")), "11", 200},
        search_case{"SmallPrimeIsNotItsOwnFactor", values_for_text(padded("3")), "3", 100},
        search_case{"PrimeBelowSieveBound",
                    std::vector<std::uint32_t>(96, 0) + std::vector<std::uint32_t>{1999}, "1999",
                    97},
        search_case{"PrimeAboveSieveBound",
                    std::vector<std::uint32_t>(96, 0) + std::vector<std::uint32_t>{2003}, "2003",
                    97}),
    [](const auto& info) { return std::string(info.param.name); });

// Same primes, same values consumed, over many streams. Zeros make short
// candidates: with three in four, many are too short for the base-2 kernel
// and take the general path.
TEST(BlumPrimeDifferential, MatchesTheStraightforwardSearch)
{
    for (unsigned zeros = 0; zeros < 4; ++zeros) {
        for (unsigned seed = 1; seed <= 25; ++seed) {
            mpz_class fast;
            mpz_class plain;
            std::size_t fast_consumed = 0;
            {
                scripted_stream stream({}, seed, zeros);
                keygen::find_blum_prime(fast);
                keygen::find_blum_prime(fast);  // a second prime from the same stream
                fast_consumed = stream.consumed();
            }
            scripted_stream stream({}, seed, zeros);
            reference_find_blum_prime(plain);
            reference_find_blum_prime(plain);
            ASSERT_EQ(fast, plain) << "seed " << seed << " zeros " << zeros;
            ASSERT_EQ(fast_consumed, stream.consumed()) << "seed " << seed << " zeros " << zeros;
        }
    }
}

// The audit searches from several threads at once, each on its own source.
TEST(BlumPrimeThreads, ExplicitSourcesSearchSideBySide)
{
    std::vector<mpz_class> expected(4);
    for (unsigned seed = 0; seed < expected.size(); ++seed) {
        scripted_stream stream({}, seed + 1);
        reference_find_blum_prime(expected[seed]);
    }
    std::vector<mpz_class> found(expected.size());
    std::vector<std::thread> threads;
    for (unsigned seed = 0; seed < expected.size(); ++seed) {
        threads.emplace_back([&found, seed] {
            std::mt19937 engine(seed + 1);
            keygen::find_blum_prime(found[seed], [&engine] {
                return static_cast<std::uint32_t>(engine()) >> 1;
            });
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(found, expected);
}

TEST(BlumPrimeSystem, IsAHundredDigitBlumPrime)
{
    mpz_class p;
    keygen::find_blum_prime(p);
    EXPECT_NE(mpz_probab_prime_p(p.get_mpz_t(), 25), 0);
    EXPECT_EQ(mpz_fdiv_ui(p.get_mpz_t(), 4), 3U);
    // Only a draw that began with the value 0 is shorter.
    EXPECT_GE(mpz_sizeinbase(p.get_mpz_t(), 10), 99U);
}

}  // namespace
