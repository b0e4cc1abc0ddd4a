#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/commands.hpp"

#include "tests/support/audio_test_files.hpp"
#include "tests/support/cli_round_trips.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/round_trips.hpp"

namespace {

struct CorrectCase {
    const char* name;
    bool music;
    std::vector<std::string> arguments;  // beyond --rpm 33 --amplitude A --bits 32f
};

void PrintTo(const CorrectCase& c, std::ostream* out) {
    *out << c.name;
}

class CorrectRoundTripTest : public ::testing::TestWithParam<CorrectCase> {};

// correct of render, file to file, gives back what went in: the float output carries the
// chain's values to 24 bits, far below what is asserted.
TEST_P(CorrectRoundTripTest, CorrectOfRenderGivesTheRecordingBack) {
    const CorrectCase& c = GetParam();
    TemporaryDirectory folder;
    const std::int64_t frames = 88200;
    const std::vector<double> original =
        c.music ? bundledMusic(frames) : fadedTone(1000, 16384, frames, 44100, 2);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), floatWave(original, 2)));
    // 10 cm/s peak at 1 kHz for the tone.
    std::vector<std::string> arguments = {
        "--rpm",       "33",
        "--amplitude", std::to_string(amplitudeForVelocity(1000, 16384, 100, 44100)),
        "--bits",      "32f"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());

    const ProcessResult played =
        chainRun("render", folder.file("in.wav"), folder.file("played.wav"), arguments);
    ASSERT_EQ(played.exitCode, 0) << played.err;
    std::vector<std::string> withJson = arguments;
    withJson.push_back("--json");
    const ProcessResult corrected =
        chainRun("correct", folder.file("played.wav"), folder.file("back.wav"), withJson);
    ASSERT_EQ(corrected.exitCode, 0) << corrected.err;

    const std::vector<double> input = valuesOf(readTestAudio(folder.file("in.wav")));
    const std::vector<double> back = valuesOf(readTestAudio(folder.file("back.wav")));
    const std::vector<double> between = valuesOf(readTestAudio(folder.file("played.wav")));
    const double residual = residualDecibels(input, back);
    std::printf("%s: played %.1f dB, corrected %.1f dB\n", c.name, residualDecibels(input, between),
                residual);
    EXPECT_LT(residual, -100.0);
    // The report is render's: the same input, parameters and output.
    const nlohmann::json report = nlohmann::json::parse(corrected.out);
    EXPECT_EQ(report["output"]["path"], folder.file("back.wav"));
    EXPECT_EQ(report["output"]["encoding"], "float");
    EXPECT_EQ(report["input"]["frames"], frames);
    EXPECT_EQ(report["gain"], 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CorrectRoundTripTest,
    ::testing::Values(CorrectCase{"ToneFixedAngle", false, {"--radius", "60.3", "--angle", "3"}},
                      CorrectCase{"MusicSideAtThreeDegrees",
                                  true,
                                  {"--from", "146", "--to", "60.3", "--angle", "3"}},
                      CorrectCase{"MusicArmStylus",
                                  true,
                                  {"--from", "146", "--to", "60.3", "--alignment", "baerwald",
                                   "--mounting", "222", "--vta", "30", "--cutting-angle", "20"}}),
    [](const ::testing::TestParamInfo<CorrectCase>& info) { return std::string(info.param.name); });

// What render refuses, correct refuses with the same words and exit code.
TEST(CorrectRefusals, AreRendersWordForWord) {
    TemporaryDirectory folder;
    ASSERT_TRUE(
        writeTestAudio(folder.file("in.wav"), floatWave(fadedTone(1000, 8000, 4410, 44100, 2), 2)));
    const std::string in = folder.file("in.wav");
    const std::vector<std::vector<std::string>> lines = {
        {in, folder.file("out.wav"), "--rpm", "33", "--radius", "60", "--amplitude", "0.05"},
        {in, folder.file("out.wav"), "--rpm", "33", "--radius", "60", "--amplitude", "0.05",
         "--angle", "90"},
        {in, folder.file("out.wav"), "--rpm", "33", "--radius", "60", "--amplitude", "0.05",
         "--angle", "2", "--arm", "239.3,222,23.5"},
        {in, folder.file("out.wav"), "--rpm", "33", "--radius", "60", "--amplitude", "0.05",
         "--angle", "2", "--model", "lateral", "--vta", "25"},
        {in, folder.file("out.wav"), "--rpm", "33", "--radius", "60", "--amplitude", "0.05",
         "--angle", "2", "--pivot-raise", "2"},
        {in, folder.file("out.wav"), "--rpm", "33", "--from", "146", "--amplitude", "0.05",
         "--angle", "2"},
        {in, folder.file("out.flac"), "--rpm", "33", "--radius", "60", "--amplitude", "0.05",
         "--angle", "2", "--bits", "32f"},
        {folder.file("missing.wav"), folder.file("out.wav"), "--rpm", "33", "--radius", "60",
         "--amplitude", "0.05", "--angle", "2"},
        {in, folder.file("no-such-folder/out.wav"), "--rpm", "33", "--radius", "60", "--amplitude",
         "-1", "--angle", "2"},
    };
    for (const std::vector<std::string>& line : lines) {
        std::vector<std::string> render = {CARTRIVEX_CLI, "render"};
        std::vector<std::string> correct = {CARTRIVEX_CLI, "correct"};
        render.insert(render.end(), line.begin(), line.end());
        correct.insert(correct.end(), line.begin(), line.end());
        const ProcessResult rendered = runProcess(render);
        const ProcessResult corrected = runProcess(correct);
        const std::string prefix = "cartrivex-cli render: ";
        ASSERT_EQ(rendered.err.rfind(prefix, 0), 0u) << rendered.err;
        EXPECT_NE(rendered.exitCode, 0) << rendered.err;
        EXPECT_EQ(corrected.exitCode, rendered.exitCode) << corrected.err;
        EXPECT_EQ(corrected.err, "cartrivex-cli correct: " + rendered.err.substr(prefix.size()));
        EXPECT_EQ(folder.entries(), std::vector<std::string>{"in.wav"});
    }
}

// A tip's shape goes on to the files like any other option; what names no tip is refused with
// render's words before a file is touched, and so is a number of passes that is none.
TEST(CorrectRefusals, ATipThatIsNoTipAndPassesThatAreNone) {
    struct Line {
        std::vector<std::string> options;
        int exitCode;
        const char* says;  // in the message ("": a file error, whichever file it names)
    };
    const std::vector<Line> lines = {
        {{"--stylus", "spherical:17.8"}, kExitFileError, ""},
        {{"--stylus", "elliptical:7x18", "--iterations", "3"}, kExitFileError, ""},
        {{"--stylus", "point"}, kExitFileError, ""},
        {{"--stylus", "bogus"}, kExitUsageError, "is not a tip"},
    };
    for (const Line& line : lines) {
        CLI::App program;
        const Subcommand correct = addCorrectCommand(program);
        std::vector<std::string> words = {
            "cartrivex-cli", "correct", "no-such-input.wav", "out.wav", "--rpm",   "33",
            "--radius",      "60",      "--amplitude",       "1",       "--angle", "1"};
        words.insert(words.end(), line.options.begin(), line.options.end());
        std::vector<const char*> argv;
        for (const std::string& word : words) {
            argv.push_back(word.c_str());
        }
        program.parse(static_cast<int>(argv.size()), argv.data());
        try {
            correct.run();
            ADD_FAILURE() << line.options[1] << ": ran";
        } catch (const CommandError& error) {
            EXPECT_EQ(error.exitCode(), line.exitCode) << error.what();
            EXPECT_NE(std::string(error.what()).find(line.says), std::string::npos) << error.what();
        }
    }
    TemporaryDirectory folder;
    ASSERT_TRUE(
        writeTestAudio(folder.file("in.wav"), floatWave(fadedTone(1000, 8000, 4410, 44100, 2), 2)));
    for (const std::string count : {"0", "-2", "many", "1001"}) {
        const ProcessResult run =
            chainRun("correct", folder.file("in.wav"), folder.file("out.wav"),
                     {"--rpm", "33", "--radius", "60", "--amplitude", "0.05", "--angle", "1",
                      "--stylus", "spherical:17.8", "--iterations", count});
        EXPECT_EQ(run.exitCode, kExitUsageError) << count;
        EXPECT_NE(run.err.find("--iterations"), std::string::npos) << run.err;
        EXPECT_EQ(folder.entries(), std::vector<std::string>{"in.wav"});
    }
}

// How a signal played by a shaped tip is undone.
struct TipCase {
    const char* name;
    double frequency;  // a tone at 5 or 10 cm/s; 0: the bundled music at the 5 cm/s scale
    double velocity;   // mm/s, peak, of the tone
    std::vector<std::string> arguments;  // the side, the arm and the tip
    bool converges;
    double limitDecibels;  // converging: what comes back lies at most this far from what went in
};

void PrintTo(const TipCase& c, std::ostream* out) {
    *out << c.name;
}

class CorrectTipTest : public ::testing::TestWithParam<TipCase> {};

// correct of render with a tip's shape gives the recording back by iteration, its residual
// falling pass by pass; where the tip cannot follow the groove the residual stops falling, the
// report says so and the output is no worse than the played signal it started from.
TEST_P(CorrectTipTest, UndoesTheTipByIteration) {
    const TipCase& c = GetParam();
    TemporaryDirectory folder;
    const std::int64_t frames = 44100;
    const double tone = 16384;
    const std::vector<double> original =
        c.frequency == 0 ? bundledMusic(frames) : fadedTone(c.frequency, tone, frames, 44100, 2);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), floatWave(original, 2)));
    const double frequency = c.frequency == 0 ? 1000 : c.frequency;
    const double velocity = c.frequency == 0 ? 50 : c.velocity;
    std::vector<std::string> arguments = {
        "--rpm",       "33",
        "--amplitude", std::to_string(amplitudeForVelocity(frequency, tone, velocity, 44100)),
        "--bits",      "32f"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult played =
        chainRun("render", folder.file("in.wav"), folder.file("played.wav"), arguments);
    ASSERT_EQ(played.exitCode, 0) << played.err;
    arguments.push_back("--json");
    const ProcessResult corrected =
        chainRun("correct", folder.file("played.wav"), folder.file("back.wav"), arguments);
    ASSERT_EQ(corrected.exitCode, 0) << corrected.err;

    const std::vector<double> back = valuesOf(readTestAudio(folder.file("back.wav")));
    const std::vector<double> between = valuesOf(readTestAudio(folder.file("played.wav")));
    const double before = residualDecibels(original, between);
    const double after = residualDecibels(original, back);
    const nlohmann::json report = nlohmann::json::parse(corrected.out);
    std::printf("%s: played %.1f dB, corrected %.1f dB; passes", c.name, before, after);
    for (const nlohmann::json& pass : report["passes"]) {
        std::printf(" %.1f", pass["residual_db"].get<double>());
    }
    std::printf("; rendered back %.1f dB\n", report["final_residual_db"].get<double>());

    // The residual falls on every pass up to the one kept, which is the lowest.
    const nlohmann::json& passes = report["passes"];
    ASSERT_GE(passes.size(), 1u);
    ASSERT_LE(passes.size(), 8u);
    double previous = report["initial_residual_db"];
    const int best = report["best_pass"];
    for (int k = 0; k < best; ++k) {
        EXPECT_EQ(passes[k]["pass"], k + 1);
        EXPECT_LT(passes[k]["residual_db"].get<double>(), previous) << k + 1;
        previous = passes[k]["residual_db"];
    }
    EXPECT_EQ(report["residual_db"].get<double>(), previous);
    for (const nlohmann::json& pass : passes) {
        EXPECT_GE(pass["residual_db"].get<double>(), previous);
    }
    EXPECT_EQ(report["converged"], c.converges);
    if (c.converges) {
        EXPECT_LT(after, c.limitDecibels);
        // What correct wrote, rendered again, is what it was given.
        EXPECT_LT(report["final_residual_db"].get<double>(), c.limitDecibels);
        EXPECT_EQ(corrected.err.find("warning"), std::string::npos) << corrected.err;
    } else {
        EXPECT_EQ(report["stopped"], "stalled");
        EXPECT_LE(after, before + 0.1);
        EXPECT_NE(corrected.err.find("warning: the residual stopped falling"), std::string::npos)
            << corrected.err;
        EXPECT_EQ(report["warnings"].size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CorrectTipTest,
    ::testing::Values(TipCase{"SphericalAloneOuterGroove",
                              1000,
                              50,
                              {"--radius", "146.05", "--angle", "0", "--stylus", "spherical:17.8"},
                              true,
                              -80},
                      TipCase{"SphericalSideAtThreeDegrees",
                              1000,
                              50,
                              {"--from", "146.05", "--to", "60.325", "--angle", "3", "--stylus",
                               "spherical:17.8"},
                              true,
                              -80},
                      TipCase{"SphericalArmStylusModel",
                              1000,
                              50,
                              {"--from", "146.05", "--to", "60.325", "--alignment", "baerwald",
                               "--mounting", "222", "--vta", "30", "--stylus", "spherical:17.8"},
                              true,
                              -80},
                      TipCase{"EllipticalMusicInnerGroove",
                              0,
                              0,
                              {"--radius", "60.325", "--angle", "2", "--stylus", "elliptical:7x18"},
                              true,
                              -80},
                      TipCase{"SphericalCannotFollowInnerGroove",
                              12000,
                              100,
                              {"--radius", "60.325", "--angle", "0", "--stylus", "spherical:17.8"},
                              false,
                              0}),
    [](const ::testing::TestParamInfo<TipCase>& info) { return std::string(info.param.name); });

// With no tracking error at all, correct changes nothing but what the chain's filters do to a
// signal: it writes what render writes.
TEST(CorrectWithoutError, WritesWhatRenderWrites) {
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), floatWave(bundledMusic(44100), 2)));
    for (const std::vector<std::string>& geometry :
         {std::vector<std::string>{"--radius", "60", "--angle", "0"},
          std::vector<std::string>{"--from", "146", "--to", "60.3", "--linear", "--vta", "20"}}) {
        std::vector<std::string> arguments = {"--rpm", "45",     "--amplitude",
                                              "0.05",  "--bits", "32f"};
        arguments.insert(arguments.end(), geometry.begin(), geometry.end());
        ASSERT_EQ(
            chainRun("render", folder.file("in.wav"), folder.file("r.wav"), arguments).exitCode, 0);
        ASSERT_EQ(
            chainRun("correct", folder.file("in.wav"), folder.file("c.wav"), arguments).exitCode,
            0);
        const std::vector<double> input = valuesOf(readTestAudio(folder.file("in.wav")));
        const std::vector<double> rendered = valuesOf(readTestAudio(folder.file("r.wav")));
        const std::vector<double> corrected = valuesOf(readTestAudio(folder.file("c.wav")));
        EXPECT_EQ(corrected, rendered);
        EXPECT_LT(residualDecibels(input, corrected), -140.0);
    }
}

}  // namespace
