#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/audio_test_files.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/test_names.hpp"

namespace {

ProcessResult runCli(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {CARTRIVEX_CLI};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProcess(command);
}

std::set<std::string> keysOf(const nlohmann::json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

std::string readText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

struct JsonKeysCase {
    std::string signal;
    std::set<std::string> figures;  // the keys beside radius_mm, error_deg and predicted
};

class MeasureJson : public ::testing::TestWithParam<JsonKeysCase> {};

// Exactly the documented keys, those that do not apply left out, measured and predicted alike.
TEST_P(MeasureJson, RowsHoldExactlyTheFiguresThatApply) {
    const JsonKeysCase c = GetParam();
    const ProcessResult run = runCli(
        {"measure", "--angle", "2.5", "--radii", "60.325,100", "--signal", c.signal, "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    EXPECT_EQ(keysOf(document), (std::set<std::string>{"signal", "channel", "model", "rows"}));
    EXPECT_EQ(document["channel"], "mid");
    EXPECT_EQ(document["model"], "lateral");
    EXPECT_EQ(document["signal"], c.signal);
    ASSERT_EQ(document["rows"].size(), 2u);
    std::set<std::string> rowKeys = c.figures;
    rowKeys.insert({"radius_mm", "error_deg", "predicted"});
    for (const nlohmann::json& row : document["rows"]) {
        EXPECT_EQ(keysOf(row), rowKeys);
        EXPECT_EQ(keysOf(row["predicted"]), c.figures);
        EXPECT_EQ(row["error_deg"].get<double>(), 2.5);
        // H3 and beyond lie near the chain's own floor at this angle; the leading figures are
        // compared.
        for (const std::string key : {"h2_percent", "thd_percent", "imd_percent"}) {
            if (c.figures.count(key) == 0) {
                continue;
            }
            const double measured = row[key].get<double>();
            const double predicted = row["predicted"][key].get<double>();
            EXPECT_GT(measured, 0.0) << key;
            EXPECT_NEAR(measured / predicted, 1.0, 0.01) << key;
        }
    }
    // The groove slows toward the centre: the inner radius distorts more.
    const std::string figure = c.figures.count("thd_percent") ? "thd_percent" : "imd_percent";
    EXPECT_GT(document["rows"][0][figure].get<double>(), document["rows"][1][figure].get<double>());
}

INSTANTIATE_TEST_SUITE_P(
    Signals, MeasureJson,
    ::testing::ValuesIn(std::vector<JsonKeysCase>{
        {"sine:1000", {"h2_percent", "h3_percent", "h4_percent", "h5_percent", "thd_percent"}},
        {"sine:5000", {"h2_percent", "h3_percent", "h4_percent", "thd_percent"}},
        {"smpte", {"imd_percent"}},
        {"ccif", {"imd_percent"}},
        {"fm", {"imd_percent"}}}),
    [](const ::testing::TestParamInfo<JsonKeysCase>& info) {
        return testCaseName(info.index, info.param.signal);
    });

// Four alignments across the side: each one's error is zero at its own nulls, and the default
// radii include both ends and every null.
// A channel other than the mid selects the stylus model; the vertical fm figure of a 20-degree
// record played at 25 degrees at the inner groove is V·Δ/v, measured as predicted.
TEST(MeasureCommand, TheSideChannelIsReadByTheStylusModel) {
    const ProcessResult run =
        runCli({"measure", "--angle", "0", "--radius", "60.325", "--channel", "side", "--vta", "25",
                "--signal", "fm", "--velocity", "5", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    EXPECT_EQ(document["channel"], "side");
    EXPECT_EQ(document["model"], "stylus");
    EXPECT_EQ(document["vta_deg"], 25.0);
    EXPECT_EQ(document["cutting_angle_deg"], 20.0);
    const double grooveVelocity = 2 * 3.14159265359 * 60.325 * (100.0 / 3) / 60;
    const double slope = std::tan(25 * 3.14159265359 / 180) - std::tan(20 * 3.14159265359 / 180);
    const nlohmann::json& row = document["rows"][0];
    EXPECT_NEAR(row["predicted"]["imd_percent"].get<double>(), 100 * 50 * slope / grooveVelocity,
                1e-6);
    EXPECT_NEAR(row["imd_percent"].get<double>() / row["predicted"]["imd_percent"].get<double>(),
                1.0, 2e-3);
}

TEST(MeasureCommand, CompareMeasuresTheFourAlignmentsAcrossTheSide) {
    TemporaryDirectory folder;
    const ProcessResult run =
        runCli({"measure", "--alignment", "baerwald", "--mounting", "222", "--compare", "--json",
                "--plot", folder.file("thd.svg"), "--csv", folder.file("thd.csv")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    ASSERT_EQ(document["alignments"].size(), 4u);
    std::set<std::string> names;
    for (const nlohmann::json& alignment : document["alignments"]) {
        names.insert(alignment["alignment"].get<std::string>());
        const nlohmann::json& rows = alignment["rows"];
        ASSERT_GE(rows.size(), 20u);
        EXPECT_NEAR(rows.front()["radius_mm"].get<double>(), 60.325, 1e-9);
        EXPECT_NEAR(rows.back()["radius_mm"].get<double>(), 146.05, 1e-9);
        int nulls = 0;
        for (const nlohmann::json& row : rows) {
            if (std::fabs(row["error_deg"].get<double>()) < 1e-9) {
                ++nulls;
                EXPECT_LT(row["thd_percent"].get<double>(), 1e-10);
            }
        }
        EXPECT_EQ(nulls, 2) << alignment["alignment"];
    }
    EXPECT_EQ(names, (std::set<std::string>{"baerwald", "lofgren-a", "lofgren-b", "stevenson"}));
    const std::string svg = readText(folder.file("thd.svg"));
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    // The dashed predictions are drawn.
    EXPECT_NE(svg.find("stroke-dasharray"), std::string::npos);
    const std::string csv = readText(folder.file("thd.csv"));
    EXPECT_EQ(csv.rfind("alignment,radius_mm,error_deg,h2_percent", 0), 0u);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'),
              1 + 4 * static_cast<long>(document["alignments"][0]["rows"].size()));
}

struct RefusalCase {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;  // a part of what stderr says
};

class MeasureRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(MeasureRefusal, RefusesWithAReasonAndWritesNothing) {
    const RefusalCase c = GetParam();
    TemporaryDirectory folder;
    std::vector<std::string> arguments = {"measure"};
    for (const std::string& argument : c.arguments) {
        arguments.push_back(argument == "DIR" ? folder.path : argument);
    }
    const ProcessResult run = runCli(arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_TRUE(folder.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, MeasureRefusal,
    ::testing::ValuesIn(std::vector<RefusalCase>{
        {{"--angle", "2", "--radius", "80", "--signal", "square"}, 2, "unknown signal"},
        {{"--angle", "2", "--radius", "80", "--signal", "sine:30000"}, 2, "frequency"},
        {{"--angle", "2", "--radius", "80", "--velocity", "0"}, 2, "--velocity"},
        {{"--angle", "2", "--radii", "80,-1"}, 2, "--radii"},
        {{"--angle", "2", "--radius", "80", "--radii", "70"}, 2, "exclude"},
        {{"--angle", "2", "--from", "146", "--to", "60"}, 2, "--radii"},
        {{"--radius", "80"}, 2, "no geometry"},
        {{"--angle", "2", "--radius", "80", "--channel", "up"}, 2, "--channel up:"},
        {{"--angle", "2", "--radius", "80", "--channel", "left", "--model", "lateral"},
         2,
         "reads the side untouched"},
        {{"--angle", "2", "--radius", "80", "--vta", "-5"}, 2, "--vta -5:"},
        {{"--angle", "2", "--radius", "80", "--stylus", "spherical"}, 2, "is not a tip"},
        {{"--angle", "2", "--radius", "80", "--model", "lateral", "--stylus", "elliptical:7x18"},
         2,
         "the tip's shape belongs to the stylus model"},
        {{"--angle", "2", "--radius", "80", "--pivot-raise", "1"}, 2, "--pivot-raise"},
        {{"--angle", "2", "--compare"}, 2, "--compare"},
        {{"--angle", "2", "--radius", "80", "--plot", "DIR/thd.gif"}, 2, ".png or .svg"},
        {{"--angle", "2", "--radius", "80", "--csv", "DIR/missing/t.csv"}, 1, "cannot write"}}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
        std::string words;
        for (const std::string& argument : info.param.arguments) {
            words += argument + " ";
        }
        return testCaseName(info.index, words);
    });

// compare: a file against itself adds nothing; a copy with a known error added reads that error.
TEST(CompareCommand, ReadsTheLevelOfAKnownDifferenceByWindow) {
    TemporaryDirectory folder;
    TestAudio original;
    original.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    original.channelCount = 2;
    original.frameCount = 44100;
    TestAudio rendered = original;
    for (std::int64_t i = 0; i < original.frameCount; ++i) {
        const double tone = 0.5 * std::sin(2 * 3.141592653589793 * 1000 * i / 44100.0);
        // The second half of the render carries a tone 40 dB below the original.
        const double added =
            i >= 22050 ? 0.005 * std::sin(2 * 3.141592653589793 * 3000 * i / 44100.0) : 0.0;
        for (int c = 0; c < 2; ++c) {
            original.floats.push_back(static_cast<float>(tone));
            rendered.floats.push_back(static_cast<float>(tone + added));
        }
    }
    ASSERT_TRUE(writeTestAudio(folder.file("a.wav"), original));
    ASSERT_TRUE(writeTestAudio(folder.file("b.wav"), rendered));
    const ProcessResult run = runCli({"compare", folder.file("a.wav"), folder.file("b.wav"),
                                      "--json", "--plot", folder.file("c.png")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json document = nlohmann::json::parse(run.out);
    EXPECT_EQ(keysOf(document), (std::set<std::string>{"difference_db", "windows", "spectrum"}));
    ASSERT_EQ(document["windows"].size(), 2u);
    EXPECT_EQ(keysOf(document["windows"][0]),
              (std::set<std::string>{"start_s", "seconds", "difference_db"}));
    EXPECT_TRUE(document["windows"][0]["difference_db"].is_null());  // nothing added: -inf
    EXPECT_NEAR(document["windows"][1]["difference_db"].get<double>(), -40.0, 0.05);
    EXPECT_NEAR(document["windows"][1]["start_s"].get<double>(), 0.5, 1e-12);
    EXPECT_NEAR(document["difference_db"].get<double>(), -43.01, 0.05);
    // The difference's spectrum peaks at 3 kHz, the original's at 1 kHz.
    double loudestDifference = -1e9;
    double loudestHz = 0.0;
    for (const nlohmann::json& bin : document["spectrum"]) {
        EXPECT_EQ(keysOf(bin), (std::set<std::string>{"hz", "original_db", "difference_db"}));
        if (!bin["difference_db"].is_null() &&
            bin["difference_db"].get<double>() > loudestDifference) {
            loudestDifference = bin["difference_db"].get<double>();
            loudestHz = bin["hz"].get<double>();
        }
    }
    EXPECT_NEAR(loudestHz, 3000.0, 44100.0 / 4096);
    EXPECT_GT(readBytes(folder.file("c.png")).size(), 1000u);
}

TEST(CompareCommand, RefusesFilesThatDoNotLineUpOrCannotBeRead) {
    TemporaryDirectory folder;
    TestAudio audio;
    audio.channelCount = 1;
    audio.frameCount = 1000;
    audio.integers.assign(1000, 1 << 20);
    ASSERT_TRUE(writeTestAudio(folder.file("a.wav"), audio));
    TestAudio shorter = audio;
    shorter.frameCount = 999;
    ASSERT_TRUE(writeTestAudio(folder.file("short.wav"), shorter));
    TestAudio faster = audio;
    faster.sampleRate = 48000;
    ASSERT_TRUE(writeTestAudio(folder.file("fast.wav"), faster));
    for (const char* other : {"short.wav", "fast.wav"}) {
        const ProcessResult run = runCli({"compare", folder.file("a.wav"), folder.file(other)});
        EXPECT_EQ(run.exitCode, 2) << other;
        EXPECT_NE(run.err.find("do not line up"), std::string::npos) << run.err;
    }
    const ProcessResult missing =
        runCli({"compare", folder.file("a.wav"), folder.file("missing.wav")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("missing.wav"), std::string::npos) << missing.err;
}

}  // namespace
