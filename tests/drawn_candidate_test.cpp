#include "keygen/random_decimal.hpp"
#include "primes/primes.hpp"
#include "testing/limb_convert.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace testing_support;

namespace {

// Values from a seeded engine, zeros_in_four of every four of them zero.
keygen::value_source seeded(unsigned seed, unsigned zeros_in_four, std::size_t& consumed)
{
    return [engine = std::mt19937(seed), zeros_in_four, &consumed]() mutable {
        ++consumed;
        const std::uint32_t v = static_cast<std::uint32_t>(engine()) >> 1;
        return v % 4 < zeros_in_four ? 0 : v;
    };
}

// The values, the number and its class are those of the decimal text.
TEST(DrawnCandidate, MatchesTheDecimalText)
{
    for (unsigned zeros = 0; zeros < 4; ++zeros) {
        for (unsigned seed = 1; seed <= 50; ++seed) {
            std::size_t text_consumed = 0;
            std::size_t drawn_consumed = 0;
            const keygen::value_source text_source = seeded(seed, zeros, text_consumed);
            const keygen::value_source drawn_source = seeded(seed, zeros, drawn_consumed);
            for (int i = 0; i < 20; ++i) {
                keygen::digit_text text;
                keygen::draw_digits(text, primes::candidate_digits, text_source);
                const mpz_class expected(text.chars.data(), 10);
                primes::drawn_candidate drawn;
                primes::draw_candidate_from(drawn, drawn_source);
                primes::limb_number n{};
                primes::candidate_number(drawn, n);
                ASSERT_EQ(number_of(n), expected) << text.chars.data();
                ASSERT_EQ(drawn_consumed, text_consumed) << text.chars.data();
                ASSERT_EQ(primes::is_three_mod_four(drawn), mpz_fdiv_ui(expected.get_mpz_t(), 4) == 3)
                    << text.chars.data();
            }
        }
    }
}

}  // namespace
