#include "text/number_format.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <string_view>

#include "tests/support/test_names.hpp"

namespace {

struct FormatCase {
    long double value;
    int digits;
    const char* text;
};

// Shown in test listings and failures as the value, the digits and the text in brackets.
void PrintTo(const FormatCase& c, std::ostream* out) {
    *out << static_cast<double>(c.value) << " to " << c.digits << " digits -> [" << c.text << "]";
}

class FormatNumberTest : public ::testing::TestWithParam<FormatCase> {};

// Named by the text each case expects, without its leading and trailing blanks.
std::string formatCaseName(const ::testing::TestParamInfo<FormatCase>& info) {
    std::string_view text = info.param.text;
    text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
    text.remove_suffix(text.size() - (text.find_last_not_of(' ') + 1));
    return literalCaseName(info.index, text);
}

TEST_P(FormatNumberTest, GivesTheScreenText) {
    const FormatCase& c = GetParam();
    EXPECT_EQ(formatNumber(c.value, c.digits), c.text);
}

constexpr long double kInfinity = std::numeric_limits<long double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    LongForm, FormatNumberTest,
    ::testing::Values(
        FormatCase{0.0L, 15, " 0 "}, FormatCase{44100.0L, 15, " 44100 "},
        FormatCase{3.47L, 15, " 3.47 "}, FormatCase{0.5L, 15, " .5 "},
        FormatCase{-0.25L, 15, "-.25 "}, FormatCase{1.0L / 3.0L, 15, " .333333333333333 "},
        FormatCase{123456789012345.0L, 15, " 123456789012345 "}, FormatCase{1e15L, 15, " 1E+15 "},
        FormatCase{1.5e-14L, 15, " .000000000000015 "}, FormatCase{1.5e-15L, 15, " 1.5E-15 "},
        FormatCase{1e100L, 15, " 1E+100 "}, FormatCase{kInfinity, 15, " 9.99999999999999E+998 "},
        FormatCase{-0.0L, 15, " 0 "},
        FormatCase{std::numeric_limits<long double>::quiet_NaN(), 15, " 0 "},
        FormatCase{-1e-300L, 15, "-1E-300 "}, FormatCase{441000.0L, 15, " 441000 "},
        FormatCase{10.0L, 15, " 10 "}, FormatCase{0.17L, 15, " .17 "}),
    formatCaseName);

INSTANTIATE_TEST_SUITE_P(
    ShortForm, FormatNumberTest,
    ::testing::Values(
        FormatCase{2.0L, 7, " 2 "}, FormatCase{16.0L, 7, " 16 "},
        FormatCase{1234567.0L, 7, " 1234567 "}, FormatCase{12345678.0L, 7, " 1.234568E+7 "},
        FormatCase{9999999.5L, 7, " 1E+7 "}, FormatCase{123456.75L, 7, " 123456.8 "},
        FormatCase{2.0L / 3.0L, 7, " .6666667 "}, FormatCase{1e-7L, 7, " .0000001 "},
        FormatCase{1e-8L, 7, " 1E-8 "}, FormatCase{-kInfinity, 7, "-9.999999E+998 "},
        FormatCase{1234567.5L, 7, " 1234568 "}, FormatCase{1234568.5L, 7, " 1234568 "},
        FormatCase{12345.125L, 7, " 12345.12 "}, FormatCase{1234562.51L, 7, " 1234562 "}),
    formatCaseName);

struct RoundCase {
    long double value;
    int places;
    long double expected;
};

TEST(RoundToDecimalsTest, RoundsTheScaledValueTiesToEven) {
    const RoundCase cases[] = {
        {2.5L, 1, 2.5L},   {0.125L, 2, 0.12L}, {0.135L, 2, 0.14L}, {10.0L, 2, 10.0L},
        {2.345L, 0, 2.0L}, {2.5L, 0, 2.0L},    {3.5L, 0, 4.0L},    {-0.125L, 2, -0.12L},
    };
    for (const RoundCase& c : cases) {
        EXPECT_EQ(roundToDecimals(c.value, c.places), c.expected)
            << c.value << " to " << c.places << " places";
    }
    EXPECT_EQ(formatNumber(roundToDecimals(0.135L, 2), 15), " .14 ");
    EXPECT_EQ(formatNumber(roundToDecimals(441000.0L / 44100.0L, 2), 15), " 10 ");
    // More than 18 places counts as 18.
    EXPECT_EQ(roundToDecimals(1.0L / 3.0L, 40), roundToDecimals(1.0L / 3.0L, 18));
}

TEST(FormatNumberTest, NeverWritesALeadingZeroAndAlwaysEndsInABlank) {
    for (long double x = 1e-20L; x < 1e20L; x *= 3.7L) {
        for (const int digits : {7, 15}) {
            const std::string text = formatNumber(x, digits);
            ASSERT_GE(text.size(), 3u);
            EXPECT_EQ(text.front(), ' ') << text;
            EXPECT_EQ(text.back(), ' ') << text;
            EXPECT_NE(text.substr(0, 2), " 0") << text;
            EXPECT_EQ(formatNumber(-x, digits), "-" + text.substr(1));
        }
    }
}

}  // namespace
