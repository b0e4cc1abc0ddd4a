#include <gtest/gtest.h>

#include <cmath>
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

ProcessResult stylus(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {CARTRIVEX_CLI, "stylus"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return runProcess(arguments);
}

nlohmann::json stylusJson(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = extra;
    arguments.push_back("--json");
    const ProcessResult result = stylus(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return nlohmann::json::parse(result.out);
}

const std::set<std::string> kRowKeys = {
    "radius_mm",  "groove_velocity_mm_s", "epsilon",         "h2_percent",
    "h3_percent", "pinch_h2_percent",     "max_frequency_hz"};

std::set<std::string> keysOf(const nlohmann::json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

// Every row against the closed forms: v = 2π·r·rpm/60, ε = ρ·ω·V/v², f max = v²/(2π·ρ·V), and to
// first order h2 = ε/2 and the pinch ε/(2√2) (a mono tone's walls move at V/√2); the next
// order grows with ε and with the square of the wall's slope V/v.
void expectRowsFollowTheClosedForms(const nlohmann::json& tip, double radiusUm, double rpm,
                                    double velocityCm, double frequency, double innerRadius) {
    const double rho = radiusUm / 1000;
    const double V = velocityCm * 10;
    const nlohmann::json& rows = tip.at("rows");
    ASSERT_GE(rows.size(), 18u);
    EXPECT_DOUBLE_EQ(rows.front().at("radius_mm").get<double>(), innerRadius);
    EXPECT_DOUBLE_EQ(rows.back().at("radius_mm").get<double>(), 146.05);
    double previous = 0;
    for (const nlohmann::json& row : rows) {
        EXPECT_EQ(keysOf(row), kRowKeys);
        const double r = row.at("radius_mm").get<double>();
        EXPECT_GT(r, previous);
        previous = r;
        if (r != innerRadius && r != 146.05) {
            EXPECT_EQ(std::fmod(r, 5.0), 0.0) << r;
        }
        const double v = 2 * M_PI * r * rpm / 60;
        EXPECT_NEAR(row.at("groove_velocity_mm_s").get<double>(), v, 1e-9 * v);
        const double epsilon = rho * 2 * M_PI * frequency * V / (v * v);
        EXPECT_NEAR(row.at("epsilon").get<double>(), epsilon, 1e-12 * epsilon);
        const double fmax = v * v / (2 * M_PI * rho * V);
        EXPECT_NEAR(row.at("max_frequency_hz").get<double>(), fmax, 1e-9 * fmax);
        const double next = epsilon + 0.25 * (V / v) * (V / v);
        if (epsilon < 0.2) {
            const double h2 = row.at("h2_percent").get<double>() / 100;
            EXPECT_NEAR(h2 / (epsilon / 2), 1.0, next) << r;
            const double pinch = row.at("pinch_h2_percent").get<double>() / 100;
            EXPECT_NEAR(pinch / (epsilon / (2 * std::sqrt(2.0))), 1.0, next) << r;
            EXPECT_LT(row.at("h3_percent").get<double>() / 100, epsilon * epsilon);
        }
    }
}

TEST(StylusCommandTest, TablesFollowTheClosedFormsForEveryOption) {
    const struct {
        std::vector<std::string> arguments;
        double radiusUm, rpm, velocityCm, frequency, innerRadius;
    } cases[] = {
        {{"--stylus", "spherical:17.8"}, 17.8, 100.0 / 3, 5, 1000, 60.325},
        {{"--stylus", "elliptical:7x18"}, 7, 100.0 / 3, 5, 1000, 60.325},
        {{"--stylus", "elliptical:3x18", "--rpm", "45", "--velocity", "10"},
         3,
         45,
         10,
         1000,
         60.325},
        {{"--stylus", "spherical:65", "--rpm", "78", "--standard", "din"},
         65,
         78.26,
         5,
         1000,
         57.5},
        {{"--stylus", "spherical:15", "--frequency", "300", "--velocity", "2.5"},
         15,
         100.0 / 3,
         2.5,
         300,
         60.325},
        {{"--stylus", "spherical:17.8", "--frequency", "12000"}, 17.8, 100.0 / 3, 5, 12000, 60.325},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testCaseName(i, cases[i].arguments.at(1)));
        const auto& c = cases[i];
        const nlohmann::json document = stylusJson(c.arguments);
        EXPECT_EQ(document.at("stylus").get<std::string>(), c.arguments.at(1));
        expectRowsFollowTheClosedForms(document, c.radiusUm, c.rpm, c.velocityCm, c.frequency,
                                       c.innerRadius);
    }
}

TEST(StylusCommandTest, TheTextTableMarksWhereTheTipSkates) {
    // 12 kHz at 5 cm/s: a 17.8 µm tip follows it only beyond about 74 mm.
    const ProcessResult result = stylus({"--stylus", "spherical:17.8", "--frequency", "12000"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("spherical, radius 17.8 um"), std::string::npos) << result.out;
    const std::regex rowPattern(R"(^ *([0-9.]+)( +[0-9.]+){6}(  skates)?$)");
    std::istringstream lines(result.out);
    std::string line;
    int rows = 0;
    int skating = 0;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (std::regex_match(line, match, rowPattern)) {
            ++rows;
            const double radius = std::stod(match[1]);
            const bool skates = match[3].matched;
            skating += skates;
            EXPECT_EQ(skates, radius < 74.0) << line;
        }
    }
    EXPECT_EQ(rows, 19);
    EXPECT_EQ(skating, 3);  // 60.33, 65 and 70 mm
}

TEST(StylusCommandTest, CompareSetsTheThreeTipsSideBySide) {
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> names;
    } cases[] = {
        {{"--compare"}, {"conical", "elliptical", "line contact"}},
        {{"--compare", "--stylus", "spherical:15"},
         {"spherical", "conical", "elliptical", "line contact"}},
        {{"--compare", "--stylus", "elliptical:7x18"}, {"elliptical", "conical", "line contact"}},
    };
    for (const auto& c : cases) {
        const nlohmann::json document = stylusJson(c.arguments);
        const nlohmann::json& styli = document.at("styli");
        ASSERT_EQ(styli.size(), c.names.size());
        for (std::size_t k = 0; k < c.names.size(); ++k) {
            EXPECT_EQ(styli.at(k).at("name").get<std::string>(), c.names[k]);
            EXPECT_EQ(styli.at(k).at("rows").size(), 19u);
        }
    }
    // ε scales with the scanning radius alone; the bearing radius is only reported.
    const nlohmann::json styli = stylusJson({"--compare"}).at("styli");
    const double conical = styli.at(0).at("rows").at(0).at("epsilon").get<double>();
    EXPECT_NEAR(styli.at(1).at("rows").at(0).at("epsilon").get<double>() / conical, 7 / 17.8,
                1e-12);
    EXPECT_NEAR(styli.at(2).at("rows").at(0).at("epsilon").get<double>() / conical, 3 / 17.8,
                1e-12);
    EXPECT_EQ(styli.at(2).at("bearing_radius_um").get<double>(), 18.0);
    const ProcessResult text = stylus({"--compare"});
    ASSERT_EQ(text.exitCode, 0);
    for (const char* expected : {"conical (spherical:17.8)", "elliptical (elliptical:7x18)",
                                 "line contact (elliptical:3x18)", "f max Hz"}) {
        EXPECT_NE(text.out.find(expected), std::string::npos) << expected;
    }
}

TEST(StylusCommandTest, PlotsAreWrittenWholeOrNotAtAll) {
    TemporaryDirectory folder;
    const std::string png = folder.file("tips.png");
    const ProcessResult result = stylus({"--compare", "--plot", png});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Plot written to " + png), std::string::npos);
    const std::vector<std::uint8_t> bytes = readBytes(png);
    ASSERT_GT(bytes.size(), 20000u);
    EXPECT_EQ(bytes[1], 'P');
    const std::string svg = folder.file("tips.svg");
    ASSERT_EQ(stylus({"--stylus", "spherical:17.8", "--plot", svg}).exitCode, 0);
    const std::vector<std::uint8_t> svgBytes = readBytes(svg);
    EXPECT_NE(std::string(svgBytes.begin(), svgBytes.end()).find("<svg"), std::string::npos);

    const ProcessResult missing =
        stylus({"--stylus", "spherical:17.8", "--plot", folder.file("no/such/tips.png")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("tips.png"), std::string::npos);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"tips.png", "tips.svg"}));
}

TEST(StylusCommandTest, ImpossibleRequestsAreRefusedWithTheOptionNamed) {
    const struct {
        std::vector<std::string> arguments;
        const char* named;
    } cases[] = {
        {{}, "no tip"},
        {{"--stylus", "point"}, "a point follows the groove exactly"},
        {{"--stylus", "conical:17.8"}, "unknown tip shape"},
        {{"--stylus", "spherical:0"}, "above 0"},
        {{"--stylus", "spherical:abc"}, "not a number"},
        {{"--stylus", "elliptical:18x7"}, "did you mean elliptical:7x18?"},
        {{"--stylus", "elliptical:7"}, "two radii"},
        {{"--stylus", "spherical:17.8", "--frequency", "5"}, "--frequency 5"},
        {{"--stylus", "spherical:17.8", "--frequency", "60000"}, "--frequency 60000"},
        {{"--stylus", "spherical:17.8", "--frequency", "nan"}, "--frequency nan"},
        {{"--stylus", "spherical:17.8", "--velocity", "0"}, "--velocity 0"},
        {{"--stylus", "spherical:17.8", "--velocity", "inf"}, "--velocity inf"},
        {{"--stylus", "spherical:17.8", "--rpm", "-33"}, "--rpm -33"},
        {{"--stylus", "spherical:17.8", "--standard", "jis"}, "--standard jis"},
        {{"--stylus", "spherical:17.8", "--plot", "tips.pdf"}, ".png or .svg"},
        {{"--stylus", "spherical:17.8", "--radius", "60"}, "--radius"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testCaseName(i, cases[i].named));
        const ProcessResult result = stylus(cases[i].arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(cases[i].named), std::string::npos) << result.err;
    }
}

TEST(StylusCommandTest, HelpTeachesTheModelWithExamples) {
    const ProcessResult help = stylus({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* expected :
         {"--stylus", "spherical:R", "elliptical:R1xR2", "--rpm", "--velocity", "--frequency",
          "--standard", "--compare", "--plot", "--json", "rho*omega*V/v^2",
          "skates over the crests", "cartrivex-cli stylus --compare"}) {
        EXPECT_NE(help.out.find(expected), std::string::npos) << expected;
    }
}

}  // namespace
