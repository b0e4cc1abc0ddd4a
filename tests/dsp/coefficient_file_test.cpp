#include "dsp/coefficient_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "text/number_parse.hpp"

namespace {

struct TextCase {
    const char* name;
    std::string text;
    std::vector<double> expected;  // four taps
};

const TextCase kTextCases[] = {
    {"commas", "1,2,3,4", {1, 2, 3, 4}},
    {"more values than taps", "1,2,3,4,5,6\r\n7", {1, 2, 3, 4}},
    {"CR LF line ends", "1\r\n2\r\n3\r\n4\r\n", {1, 2, 3, 4}},
    {"CR alone", "1\r2\r3\r4", {1, 2, 3, 4}},
    {"commas and line ends mixed", "1,2\r\n3,4", {1, 2, 3, 4}},
    {"bare line feeds run together", "1\n2\n3\n4\n", {1234, 0, 0, 0}},
    {"bare line feeds, decimals", "0.5\n0.25\n", {0.5, 0, 0, 0}},
    {"D exponents", "1.5D2,-2.5d-1,1D0,3d+1", {150, -0.25, 1, 30}},
    {"E exponents", "1.5E2,-2.5e-1,1E0,3e+1", {150, -0.25, 1, 30}},
    {"blank line shifts", "1\r\n\r\n2\r\n3\r\n4", {1, 0, 2, 3}},
    {"empty between commas", "1,,2", {1, 0, 2, 0}},
    {"quoted values with commas", "\"1,5\",2,\"-3\"", {1, 2, -3, 0}},
    {"text after a closing quote", "\"3\"junk,4\r\n5", {3, 4, 5, 0}},
    {"Ctrl-Z ends the file", std::string("1,2\x1a,3,4"), {1, 2, 0, 0}},
    {"tabs dropped", "1\t2,-\t5,3", {12, -5, 3, 0}},
    {"leading blanks skipped", "   7,  -8\r\n   9", {7, -8, 9, 0}},
    {"comma before a line end leaves an empty value", "7,\r\n8", {7, 0, 8, 0}},
    {"blanks after a value", "7  ,8 \r\n9 x", {7, 8, 9, 0}},
    {"blank inside a value ends the number", "1 2,3", {1, 3, 0, 0}},
    {"not a number", "abc,2x,.,-", {0, 2, 0, 0}},
    {"empty text", "", {0, 0, 0, 0}},
    {"fewer values than taps", "0.125", {0.125, 0, 0, 0}},
};

TEST(CoefficientFileTest, ParsesEveryFormatRule) {
    for (const TextCase& c : kTextCases) {
        EXPECT_EQ(parseCoefficientText(c.text, 4), c.expected) << c.name;
    }
}

TEST(CoefficientFileTest, ValuesGoThroughTheCommonNumberRule) {
    const std::vector<double> taps = parseCoefficientText("0.1,-3.3333333333e-5,1e-320", 3);
    EXPECT_EQ(taps[0], static_cast<double>(parseNumber("0.1")));
    EXPECT_EQ(taps[1], static_cast<double>(parseNumber("-3.3333333333e-5")));
    EXPECT_EQ(taps[2], static_cast<double>(parseNumber("1e-320")));
    EXPECT_EQ(parseCoefficientText("1.25D-3", 1), parseCoefficientText("1.25E-3", 1));
}

TEST(CoefficientFileTest, TapCountDecidesTheLength) {
    EXPECT_EQ(parseCoefficientText("1,2", 256).size(), 256u);
    EXPECT_TRUE(parseCoefficientText("1,2", 0).empty());
    EXPECT_TRUE(parseCoefficientText("1,2", -3).empty());
}

TEST(CoefficientFileTest, EveryCutOfAFileKeepsTheTapsBeforeIt) {
    std::ifstream in(std::string(CARTRIVEX_SOURCE_DIR) + "/data/filter2.dat", std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    constexpr int kTaps = 83;
    const std::vector<double> whole = parseCoefficientText(text, kTaps);
    // Where each tap's line begins; the last entry is the end of the text.
    std::vector<std::size_t> lineStarts{0};
    for (std::size_t end = text.find("\r\n"); end != std::string::npos;
         end = text.find("\r\n", end + 2)) {
        lineStarts.push_back(end + 2);
    }
    ASSERT_EQ(lineStarts.size(), kTaps + 1u);
    ASSERT_EQ(lineStarts.back(), text.size());

    for (std::size_t length = 0; length <= text.size(); ++length) {
        // A copy of exactly the cut's size: the sanitizer build catches any read past it.
        const std::vector<char> cut(text.begin(), text.begin() + length);
        const std::vector<double> taps =
            parseCoefficientText(std::string_view(cut.data(), cut.size()), kTaps);
        ASSERT_EQ(taps.size(), static_cast<std::size_t>(kTaps)) << length;
        for (int k = 0; k < kTaps; ++k) {
            const std::size_t begin = lineStarts[k];
            const std::size_t end = lineStarts[k + 1] - 2;
            // Whole values are unchanged, the one cut short is read from what is left of it,
            // and those past the cut are 0.
            double expected = 0.0;
            if (length >= end) {
                expected = whole[k];
            } else if (length > begin) {
                expected = static_cast<double>(parseNumber(text.substr(begin, length - begin)));
            }
            ASSERT_EQ(taps[k], expected) << "cut at " << length << ", tap " << k;
        }
    }
}

class CoefficientFileOnDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ =
            std::filesystem::temp_directory_path() /
            ("coefficients-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string write(const std::string& name, const std::string& bytes) {
        const std::filesystem::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
    std::filesystem::path folder_;
};

TEST_F(CoefficientFileOnDisk, ReadsTheTapsOfAFile) {
    const std::string path = write("filter2.dat",
                                   "0.5\r\n-0.25\r\n\"2\"\r\n\x1a"
                                   "99\r\n");
    std::vector<double> taps;
    std::string reason;
    EXPECT_TRUE(loadCoefficientFile(path, 4, taps, reason));
    EXPECT_EQ(taps, (std::vector<double>{0.5, -0.25, 2, 0}));
    EXPECT_EQ(readCoefficientFile(path, 4), taps);
}

TEST_F(CoefficientFileOnDisk, EmptyFileGivesZeros) {
    std::vector<double> taps;
    std::string reason;
    EXPECT_TRUE(loadCoefficientFile(write("empty.dat", ""), 3, taps, reason));
    EXPECT_EQ(taps, (std::vector<double>{0, 0, 0}));
}

TEST_F(CoefficientFileOnDisk, UnreadableFileGivesZerosAndAReason) {
    for (const std::string& path : {(folder_ / "missing.dat").string(), folder_.string()}) {
        std::vector<double> taps{7, 7};
        std::string reason;
        EXPECT_FALSE(loadCoefficientFile(path, 5, taps, reason)) << path;
        EXPECT_FALSE(reason.empty()) << path;
        EXPECT_EQ(taps, std::vector<double>(5, 0.0)) << path;
        EXPECT_EQ(readCoefficientFile(path, 5), std::vector<double>(5, 0.0)) << path;
    }
}

}  // namespace
