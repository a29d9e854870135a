#include "keygen/random_decimal.hpp"
#include "testing/scripted_source.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using testing_support::scripted_stream;

namespace {

constexpr std::uint32_t top = 2147483647;  // ten digits

struct draw_case {
    const char* name;
    std::vector<std::uint32_t> values;
    int ndigits;
    std::string expected;  // decimal of the result
    std::size_t consumed;
};

void PrintTo(const draw_case& c, std::ostream* os) { *os << c.name; }

class RandomDecimal : public testing::TestWithParam<draw_case> {};

TEST_P(RandomDecimal, BuildsTheNumberFromWholeValues)
{
    const draw_case& c = GetParam();
    scripted_stream stream(c.values);
    mpz_class z = 77;
    keygen::random_decimal(z, c.ndigits);
    EXPECT_EQ(z.get_str(), c.expected);
    EXPECT_EQ(stream.consumed(), c.consumed);
}

const std::string hundred_digits = [] {
    std::string s;
    for (int i = 0; i < 10; ++i) s += "2147483647";
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Cases, RandomDecimal,
    testing::Values(
        draw_case{"LastPieceIsCut", {123, 4567, 89}, 5, "12345", 2},
        draw_case{"OneDigitKeepsTheFirst", {987}, 1, "9", 1},
        draw_case{"LeadingZeroShortensTheNumber", {0, 123}, 3, "12", 2},
        draw_case{"ZerosOnlyGiveZero", {0, 0, 0}, 3, "0", 3},
        draw_case{"CountZeroDrawsOneAndKeepsZ", {555}, 0, "77", 1},
        draw_case{"HundredDigitsExactly", std::vector<std::uint32_t>(11, top), 100,
                  hundred_digits, 10},
        draw_case{"HundredWithLeadingZero",
                  [] { std::vector<std::uint32_t> v(11, top); v[0] = 0; return v; }(), 100,
                  hundred_digits.substr(0, 99), 11}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RandomDecimalLimits, CountOutsideRangeThrowsBeforeDrawing)
{
    scripted_stream stream;
    mpz_class z = 5;
    EXPECT_THROW(keygen::random_decimal(z, -1), std::invalid_argument);
    EXPECT_THROW(keygen::random_decimal(z, keygen::max_digits + 1), std::invalid_argument);
    EXPECT_EQ(stream.consumed(), 0U);
    EXPECT_EQ(z, 5);
}

TEST(RandomDecimalLimits, LargestCountTakesTenDigitValues)
{
    scripted_stream stream(std::vector<std::uint32_t>(200, top));
    mpz_class z;
    keygen::random_decimal(z, keygen::max_digits);
    EXPECT_EQ(mpz_sizeinbase(z.get_mpz_t(), 10), static_cast<std::size_t>(keygen::max_digits));
    EXPECT_EQ(stream.consumed(), 102U);
}

TEST(SystemSource, DrawsDifferAndCoverThirtyOneBits)
{
    mpz_class a;
    mpz_class b;
    keygen::random_decimal(a, 100);
    keygen::random_decimal(b, 100);
    EXPECT_NE(a, b);
    std::uint32_t all = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t v = keygen::next_value();
        ASSERT_LE(v, top);
        all |= v;
    }
    EXPECT_EQ(all, top);
}

// Once the script is gone, no draw reaches it: the system's values come back.
TEST(SystemSource, EmptySourceRestoresIt)
{
    const auto calls = std::make_shared<std::size_t>(0);
    keygen::set_value_source([calls] {
        ++*calls;
        return std::uint32_t{7};
    });
    mpz_class z;
    keygen::random_decimal(z, 2);
    EXPECT_EQ(z, 77);
    keygen::set_value_source({});
    keygen::random_decimal(z, 100);
    EXPECT_EQ(*calls, 2U);
}

}  // namespace
