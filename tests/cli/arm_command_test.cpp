#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/test_names.hpp"

namespace {

ProcessResult arm(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {CARTRIVEX_CLI, "arm"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return runProcess(arguments);
}

std::set<std::string> keysOf(const nlohmann::json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

const std::set<std::string> kArmKeys = {"effective_length_mm",
                                        "pivot_to_spindle_mm",
                                        "offset_deg",
                                        "overhang_mm",
                                        "nulls_mm",
                                        "vta_deg_per_mm_pivot",
                                        "inner_radius_mm",
                                        "outer_radius_mm",
                                        "max_error_deg",
                                        "max_weighted_error_deg_per_cm",
                                        "rows"};
const std::set<std::string> kRowKeys = {
    "radius_mm",  "error_deg",      "weighted_error_deg_per_cm", "groove_velocity_mm_s",
    "h2_percent", "h2_riaa_percent"};

// The radii of the table: every 5 mm from 65 to 145, both ends and both nulls.
void expectRowsOfBaerwald222(const nlohmann::json& object) {
    const nlohmann::json& rows = object.at("rows");
    ASSERT_EQ(rows.size(), 21u);
    std::vector<double> radii;
    for (const nlohmann::json& row : rows) {
        EXPECT_EQ(keysOf(row), kRowKeys);
        radii.push_back(row.at("radius_mm").get<double>());
        const double r = radii.back();
        const double error = row.at("error_deg").get<double>();
        EXPECT_NEAR(row.at("weighted_error_deg_per_cm").get<double>(), error / (r / 10), 1e-12);
        EXPECT_NEAR(row.at("groove_velocity_mm_s").get<double>(), 2 * M_PI * r * (100.0 / 3) / 60,
                    1e-6);
        // Equalised: the playback curve's 2 kHz gain over its 1 kHz gain, -2.59 dB.
        if (std::fabs(error) > 1e-6) {
            EXPECT_NEAR(
                row.at("h2_riaa_percent").get<double>() / row.at("h2_percent").get<double>(),
                std::pow(10.0, -2.59 / 20), 1e-3);
        }
    }
    EXPECT_TRUE(std::is_sorted(radii.begin(), radii.end()));
    EXPECT_DOUBLE_EQ(radii.front(), 60.325);
    EXPECT_DOUBLE_EQ(radii.back(), 146.05);
    for (double expected = 65.0; expected <= 145.0; expected += 5.0) {
        EXPECT_NE(std::find(radii.begin(), radii.end(), expected), radii.end()) << expected;
    }
    // The nulls are rows with no error.
    for (const nlohmann::json& null : object.at("nulls_mm")) {
        bool found = false;
        for (const nlohmann::json& row : rows) {
            if (row.at("radius_mm").get<double>() == null.get<double>()) {
                found = true;
                EXPECT_NEAR(row.at("error_deg").get<double>(), 0.0, 1e-9);
            }
        }
        EXPECT_TRUE(found) << null;
    }
}

TEST(ArmCommandTest, PrintsTheGeometryAndTheTableByRadius) {
    const ProcessResult result = arm({"--alignment", "baerwald", "--mounting", "222"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    for (const char* expected :
         {"effective length         239.30 mm", "pivot to spindle         222.00 mm",
          "offset angle              22.99 degrees", "overhang                  17.30 mm",
          "null radii                66.00 and 120.89 mm", "60.325 to 146.05 mm (IEC)",
          "largest |error|           1.806 degrees at 146.05 mm"}) {
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;
    }
    // 21 rows of six numbers; the null rows show no error.
    const std::regex rowPattern(R"(^ *[0-9.]+( +-?[0-9.]+){5}$)");
    std::istringstream lines(result.out);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, rowPattern)) {
            ++rows;
            if (line.rfind("   66.00", 0) == 0 || line.rfind("  120.89", 0) == 0) {
                EXPECT_NE(line.find("     0.000    0.0000"), std::string::npos) << line;
            }
        }
    }
    EXPECT_EQ(rows, 21);
}

TEST(ArmCommandTest, JsonHoldsTheGeometryAndTheRows) {
    const ProcessResult result = arm({"--alignment", "baerwald", "--mounting", "222", "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const nlohmann::json document = nlohmann::json::parse(result.out);
    EXPECT_EQ(keysOf(document), kArmKeys);
    EXPECT_NEAR(document.at("effective_length_mm").get<double>(), 239.30, 0.005);
    EXPECT_DOUBLE_EQ(document.at("pivot_to_spindle_mm").get<double>(), 222.0);
    EXPECT_NEAR(document.at("offset_deg").get<double>(), 22.99, 0.005);
    EXPECT_NEAR(document.at("overhang_mm").get<double>(), 17.30, 0.005);
    EXPECT_NEAR(document.at("nulls_mm").at(0).get<double>(), 66.00, 0.005);
    EXPECT_NEAR(document.at("nulls_mm").at(1).get<double>(), 120.89, 0.005);
    EXPECT_NEAR(document.at("max_error_deg").get<double>(), 1.806, 0.0005);
    // One millimetre at the pivot of a 239.3 mm arm: atan(1/239.3), a quarter of a degree.
    EXPECT_NEAR(document.at("vta_deg_per_mm_pivot").get<double>(), 0.23943, 0.00005);
    expectRowsOfBaerwald222(document);
}

TEST(ArmCommandTest, CompareGivesTheFourAlignmentsForTheSameMounting) {
    const ProcessResult result =
        arm({"--alignment", "stevenson", "--mounting", "222", "--compare", "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const nlohmann::json document = nlohmann::json::parse(result.out);
    const nlohmann::json& alignments = document.at("alignments");
    ASSERT_EQ(alignments.size(), 4u);
    const char* names[] = {"baerwald", "lofgren-a", "lofgren-b", "stevenson"};
    const double inner[] = {66.00, 66.00, 70.29, 60.325};
    std::size_t rows = alignments.at(0).at("rows").size();
    for (std::size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(names[k]);
        const nlohmann::json& object = alignments.at(k);
        EXPECT_EQ(object.at("alignment"), names[k]);
        std::set<std::string> expected = kArmKeys;
        expected.insert("alignment");
        EXPECT_EQ(keysOf(object), expected);
        EXPECT_DOUBLE_EQ(object.at("pivot_to_spindle_mm").get<double>(), 222.0);
        EXPECT_NEAR(object.at("nulls_mm").at(0).get<double>(), inner[k], 0.005);
        // One table for all: the same radii, which hold every alignment's nulls.
        EXPECT_EQ(object.at("rows").size(), rows);
    }
    EXPECT_EQ(rows, 17u + 2u + 5u);  // 65..145, both ends, the five distinct nulls

    const ProcessResult text =
        arm({"--mounting", "222", "--compare", "--standard", "din", "--rpm", "45"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char* expected : {"baerwald", "lofgren-a", "lofgren-b", "stevenson", "DIN",
                                 "57.500 to 146.05 mm", "at 45 rpm"}) {
        EXPECT_NE(text.out.find(expected), std::string::npos) << expected;
    }
}

TEST(ArmCommandTest, SpeedAndVelocityScaleThePrediction) {
    const auto firstRow = [](const std::vector<std::string>& extra) {
        std::vector<std::string> arguments = {"--arm", "239.3,222,22.99", "--json"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const ProcessResult result = arm(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return nlohmann::json::parse(result.out).at("rows").at(0);
    };
    const nlohmann::json base = firstRow({});
    const nlohmann::json fast = firstRow({"--rpm", "78", "--velocity", "20"});
    EXPECT_NEAR(fast.at("groove_velocity_mm_s").get<double>() /
                    base.at("groove_velocity_mm_s").get<double>(),
                78.26 / (100.0 / 3), 1e-12);
    EXPECT_NEAR(fast.at("h2_percent").get<double>() / base.at("h2_percent").get<double>(),
                2.0 * (100.0 / 3) / 78.26, 1e-9);
    // 10 cm/s, V tan(alpha) / v in percent.
    const double alpha = base.at("error_deg").get<double>() * M_PI / 180;
    EXPECT_NEAR(base.at("h2_percent").get<double>(),
                100.0 * 100.0 * std::tan(alpha) / base.at("groove_velocity_mm_s").get<double>(),
                1e-9);
}

// The points of every path in an SVG file: the numbers after each M or L.
std::vector<std::size_t> pathPointCounts(const std::string& svg) {
    std::vector<std::size_t> counts;
    const std::string opening = " d=\"";
    for (std::size_t at = svg.find(opening); at != std::string::npos; at = svg.find(opening, at)) {
        at += opening.size();
        const std::size_t end = svg.find('"', at);
        if (end == std::string::npos) {
            break;
        }
        const auto first = svg.begin() + static_cast<std::ptrdiff_t>(at);
        const auto last = svg.begin() + static_cast<std::ptrdiff_t>(end);
        counts.push_back(static_cast<std::size_t>(std::count(first, last, 'L')) +
                         static_cast<std::size_t>(std::count(first, last, 'M')));
        at = end;
    }
    return counts;
}

TEST(ArmCommandTest, PlotsAreWrittenAsPngAndSvg) {
    TemporaryDirectory folder;
    const std::string png = folder.file("arm.png");
    const ProcessResult result =
        arm({"--alignment", "baerwald", "--mounting", "222", "--compare", "--plot", png});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Plot written to " + png), std::string::npos);
    const std::vector<std::uint8_t> bytes = readBytes(png);
    ASSERT_GT(bytes.size(), 20000u);
    const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    EXPECT_TRUE(std::equal(std::begin(signature), std::end(signature), bytes.begin()));
    const auto bigEndian = [&](std::size_t at) {
        return (bytes[at] << 24) | (bytes[at + 1] << 16) | (bytes[at + 2] << 8) | bytes[at + 3];
    };
    EXPECT_EQ(bigEndian(16), 1200);  // IHDR width and height
    EXPECT_EQ(bigEndian(20), 800);

    const std::string svg = folder.file("arm.svg");
    ASSERT_EQ(
        arm({"--alignment", "lofgren-b", "--mounting", "250", "--compare", "--plot", svg}).exitCode,
        0);
    const std::vector<std::uint8_t> svgBytes = readBytes(svg);
    const std::string text(svgBytes.begin(), svgBytes.end());
    EXPECT_NE(text.find("<svg"), std::string::npos);
    EXPECT_NE(text.find("width=\"1200"), std::string::npos);
    // Eight curves (four alignments in two panels) of 401 points each; cairo leaves out a point
    // here and there that would not move the pen.
    const std::vector<std::size_t> counts = pathPointCounts(text);
    EXPECT_EQ(std::count_if(counts.begin(), counts.end(),
                            [](std::size_t n) { return n >= 380 && n <= 401; }),
              8);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"arm.png", "arm.svg"}));
}

TEST(ArmCommandTest, AFailedPlotLeavesNoFileAndKeepsAnOldOne) {
    TemporaryDirectory folder;
    const ProcessResult missing = arm({"--alignment", "baerwald", "--mounting", "222", "--plot",
                                       folder.file("no/such/folder/arm.png")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("arm.png"), std::string::npos);
    EXPECT_TRUE(folder.entries().empty());

    const std::string old = folder.file("old.png");
    writeBytes(old, {1, 2, 3});
    EXPECT_EQ(arm({"--alignment", "baerwald", "--plot", old}).exitCode, 2);
    EXPECT_EQ(readBytes(old), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"old.png"});
}

TEST(ArmCommandTest, ImpossibleGeometryIsRefusedWithTheOptionNamed) {
    struct Case {
        std::vector<std::string> arguments;
        const char* named;  // in the message
    };
    const std::vector<Case> cases = {
        {{}, "no geometry"},
        {{"--alignment", "baerwald"}, "--mounting"},
        {{"--alignment", "wilson", "--mounting", "222"}, "--alignment wilson"},
        {{"--alignment", "baerwald", "--mounting", "-5"}, "--mounting -5"},
        {{"--alignment", "baerwald", "--mounting", "20"}, "too short"},
        {{"--arm", "239.3,222"}, "--arm 239.3,222"},
        {{"--arm", "239.3,222,x"}, "--arm 239.3,222,x"},
        {{"--arm", "0,222,20"}, "effective length"},
        {{"--arm", "100,222,20"}, "cannot reach"},
        {{"--arm", "239.3,222,30"}, "playing area"},
        {{"--arm", "239.3,222,5"}, "no null"},
        {{"--arm", "239.3,222,22.99", "--alignment", "baerwald"}, "one geometry"},
        {{"--mounting", "222"}, "--mounting 222"},
        {{"--alignment", "baerwald", "--mounting", "222", "--standard", "jis"}, "--standard jis"},
        {{"--alignment", "baerwald", "--mounting", "222", "--rpm", "-33"}, "--rpm -33"},
        {{"--alignment", "baerwald", "--mounting", "222", "--velocity", "0"}, "--velocity 0"},
        {{"--angle", "95"}, "--angle 95"},
        {{"--linear", "--compare"}, "--compare"},
        {{"--alignment", "baerwald", "--mounting", "222", "--plot", "arm.pdf"}, ".png or .svg"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testCaseName(i, cases[i].named));
        const ProcessResult result = arm(cases[i].arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(cases[i].named), std::string::npos) << result.err;
    }
}

TEST(ArmCommandTest, LinearAndFixedAngleDescribeTheirError) {
    const ProcessResult linear = arm({"--linear", "--json"});
    ASSERT_EQ(linear.exitCode, 0) << linear.err;
    const nlohmann::json document = nlohmann::json::parse(linear.out);
    EXPECT_EQ(keysOf(document), kArmKeys);
    EXPECT_TRUE(document.at("nulls_mm").empty());
    EXPECT_EQ(document.at("max_error_deg").get<double>(), 0.0);

    const ProcessResult fixed = arm({"--angle", "2", "--json"});
    ASSERT_EQ(fixed.exitCode, 0) << fixed.err;
    const nlohmann::json fixedDocument = nlohmann::json::parse(fixed.out);
    for (const nlohmann::json& row : fixedDocument.at("rows")) {
        EXPECT_EQ(row.at("error_deg").get<double>(), 2.0);
    }
}

TEST(ArmCommandTest, HelpStatesTheSignConventionAndAnExample) {
    const ProcessResult help = arm({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* expected : {"--arm", "--alignment", "--mounting", "--standard", "--linear",
                                 "--angle", "--velocity", "--compare", "--plot", "--json",
                                 "toward the spindle", "played early", "--compare --plot"}) {
        EXPECT_NE(help.out.find(expected), std::string::npos) << expected;
    }
}

}  // namespace
