#include "keyarith/fixed_digits.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Renders into a field guarded by 'x' bytes on both sides and returns the
// field and its guards as text.
std::string render(const mpz_class& z, int width)
{
    std::string area(static_cast<std::size_t>(std::max(width, 0)) + 8, 'x');
    keyarith::format_fixed_digits(z, area.data() + 4, width);
    return area;
}

struct field_case {
    const char* value;
    int width;
    const char* field;  // what lies between the guards
};

void PrintTo(const field_case& c, std::ostream* os) { *os << c.value << " in " << c.width; }

class FixedDigits : public testing::TestWithParam<field_case> {};

TEST_P(FixedDigits, FillsTheFieldExactlyOrNotAtAll)
{
    const auto& c = GetParam();
    EXPECT_EQ(render(mpz_class(c.value), c.width), "xxxx" + std::string(c.field) + "xxxx");
}

INSTANTIATE_TEST_SUITE_P(Cases, FixedDigits,
                         testing::Values(field_case{"42", 5, "00042"}, field_case{"0", 3, "000"},
                                         field_case{"99", 2, "99"}, field_case{"999", 4, "0999"},
                                         field_case{"0", 1, "0"}, field_case{"12345", 4, "xxxx"},
                                         field_case{"-5", 4, "xxxx"}, field_case{"7", 0, ""},
                                         field_case{"7", -3, ""}));

// GMP's size estimate is one too large at some powers of ten and just
// below them; the count it is corrected to must be exact either side.
TEST(FixedDigitsPowersOfTen, ExactDigitCountAtEveryPower)
{
    for (unsigned long k = 1; k <= 120; ++k) {
        mpz_class power;
        mpz_ui_pow_ui(power.get_mpz_t(), 10, k);
        const int width = static_cast<int>(k);
        EXPECT_EQ(render(power - 1, width), "xxxx" + std::string(k, '9') + "xxxx") << k;
        EXPECT_EQ(render(power, width), std::string(k + 8, 'x')) << k;
        EXPECT_EQ(render(power, width + 1), "xxxx1" + std::string(k, '0') + "xxxx") << k;
    }
}

TEST(FixedDigitsWide, AnyWidthAndAnySizeAreSafe)
{
    EXPECT_EQ(render(7, 5000), "xxxx" + std::string(4999, '0') + "7xxxx");
    mpz_class huge;
    mpz_ui_pow_ui(huge.get_mpz_t(), 10, 50000);
    EXPECT_EQ(render(huge, 3), std::string(11, 'x'));
    EXPECT_EQ(render(huge, 50001), "xxxx1" + std::string(50000, '0') + "xxxx");
}

}  // namespace
