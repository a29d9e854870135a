#include "keyaudit/seed_window.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using keyaudit::bound;

namespace {

struct when_case {
    const char* text;
    bound which;
    std::int64_t seconds;  // -1: refused
};

class ParseWhen : public testing::TestWithParam<when_case> {};

TEST_P(ParseWhen, TakesTheThreeFormsWithinTheSeeds)
{
    const when_case& c = GetParam();
    if (c.seconds < 0) {
        EXPECT_THROW(keyaudit::parse_when(c.text, c.which), std::invalid_argument) << c.text;
    } else {
        EXPECT_EQ(keyaudit::parse_when(c.text, c.which), c.seconds) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, ParseWhen, testing::Values(
    when_case{"2023-11-14", bound::from, 1699920000},
    when_case{"2023-11-14", bound::to, 1700006399},
    when_case{"2023-11-14T22:13:20Z", bound::to, 1700000000},
    when_case{"2024-02-29", bound::from, 1709164800},
    when_case{"2023-02-29", bound::from, -1},
    when_case{"2023-11-14T24:00:00Z", bound::from, -1},
    when_case{"1970-01-01", bound::from, 0},
    when_case{"2106-02-07T06:28:15Z", bound::to, 4294967295},
    when_case{"2106-02-07T06:28:16Z", bound::to, -1},
    when_case{"@4294967295", bound::from, 4294967295},
    when_case{"@4294967296", bound::from, -1},
    when_case{"@", bound::from, -1},
    when_case{"@-1", bound::from, -1},
    when_case{"2023-11-14 22:13:20 UTC", bound::from, 1700000000},
    when_case{"2023-11-14 22:13:20", bound::from, -1}));

TEST(JoinWindows, SortsAndMergesOverlappingAndTouchingOnes)
{
    const std::vector<keyaudit::window> joined =
        keyaudit::join_windows({{50, 60}, {10, 20}, {21, 30}, {15, 18}, {62, 70}, {4294967290, 4294967295}});
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected{
        {10, 30}, {50, 60}, {62, 70}, {4294967290, 4294967295}};
    ASSERT_EQ(joined.size(), expected.size());
    for (std::size_t i = 0; i < joined.size(); ++i) {
        EXPECT_EQ(joined[i].first, expected[i].first) << i;
        EXPECT_EQ(joined[i].last, expected[i].second) << i;
    }
}

}  // namespace
