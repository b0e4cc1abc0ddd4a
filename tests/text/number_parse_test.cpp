#include "text/number_parse.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>

#include "tests/support/test_names.hpp"

namespace {

struct ParseCase {
    const char* text;
    long double expected;
};

// Shown in test listings and failures as the text in brackets and the value.
void PrintTo(const ParseCase& c, std::ostream* out) {
    *out << "[" << c.text << "] -> " << static_cast<double>(c.expected);
}

class ParseNumberTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseNumberTest, ReadsTheLeadingNumber) {
    const ParseCase& c = GetParam();
    const long double value = parseNumber(c.text);
    EXPECT_EQ(value, c.expected) << "[" << c.text << "]";
    EXPECT_EQ(std::signbit(value), std::signbit(c.expected)) << "[" << c.text << "]";
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ParseNumberTest,
    ::testing::Values(ParseCase{"12", 12.0L}, ParseCase{"  12.5e3xyz", 12500.0L},
                      ParseCase{".5", 0.5L}, ParseCase{"-.5", -0.5L}, ParseCase{"1,5", 1.0L},
                      ParseCase{"1.2.3", 1.2L}, ParseCase{"1e", 1.0L}, ParseCase{"abc", 0.0L},
                      ParseCase{"", 0.0L}, ParseCase{"- 5", -0.0L}, ParseCase{"-", -0.0L},
                      ParseCase{"&H1F", 31.0L}, ParseCase{"&h1f", 31.0L}, ParseCase{"&B101", 5.0L},
                      ParseCase{"&O17", 15.0L}, ParseCase{"&Q17", 15.0L}, ParseCase{"&17", 15.0L},
                      ParseCase{"  7", 7.0L}, ParseCase{"7 8", 7.0L}, ParseCase{"\t\n7", 7.0L},
                      ParseCase{"\r7", 0.0L}, ParseCase{"12.5mm", 12.5L}, ParseCase{"60", 60.0L},
                      ParseCase{"0.05", 0.05L}, ParseCase{"1.5", 1.5L}, ParseCase{"+3", 3.0L},
                      ParseCase{"1.5D2", 150.0L}, ParseCase{"1.5d-2", 0.015L},
                      ParseCase{"2E+3", 2000.0L}, ParseCase{"007", 7.0L},
                      ParseCase{"1e99999", 170141183460469231731687303715884105728.0L},
                      ParseCase{"-1e99999", -170141183460469231731687303715884105728.0L},
                      ParseCase{"1e-99999", 0.0L}, ParseCase{"0e5000", 0.0L},
                      ParseCase{"-0.0e9999", -0.0L}, ParseCase{"-1e-5000", 0.0L},
                      ParseCase{"1e4932", 170141183460469231731687303715884105728.0L},
                      ParseCase{"123456789012345678", 123456789012345678.0L},
                      ParseCase{"1234567890123456789", 1234567890123456780.0L}),
    [](const ::testing::TestParamInfo<ParseCase>& info) {
        return literalCaseName(info.index, info.param.text);
    });

TEST(ParseNumberTest, LargestScaleStillComputes) {
    EXPECT_NEAR(static_cast<double>(parseNumber("1e4931") / 1e4931L), 1.0, 1e-17);
    EXPECT_NEAR(static_cast<double>(parseNumber("-2.5e-4900") / -2.5e-4900L), 1.0, 1e-17);
}

TEST(ParseNumberTest, NeverReadsPastTheText) {
    // A view into a longer buffer: the digits after the view's end must not count.
    const std::string buffer = "12345";
    EXPECT_EQ(parseNumber(std::string_view(buffer.data(), 2)), 12.0L);
    EXPECT_EQ(parseNumber(std::string_view(buffer.data(), 0)), 0.0L);
    const std::string exponent = "1e25";
    EXPECT_EQ(parseNumber(std::string_view(exponent.data(), 3)), 100.0L);
}

TEST(ParseNumberTest, RoundTripsDoublesWrittenWithSeventeenDigits) {
    const double values[] = {0.1,
                             1.0 / 3.0,
                             2.2250738585072014e-308,
                             1.7976931348623157e308,
                             4.9406564584124654e-324,
                             0.49999999999999994,
                             123456.789e-20};
    for (const double value : values) {
        char text[64];
        std::snprintf(text, sizeof text, "%.16E", value);
        EXPECT_EQ(static_cast<double>(parseNumber(text)), value) << text;
    }
}

}  // namespace
