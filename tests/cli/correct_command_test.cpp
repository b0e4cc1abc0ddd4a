#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/commands.hpp"

#include "tests/support/audio_test_files.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/round_trips.hpp"

namespace {

// `cartrivex-cli COMMAND INPUT OUTPUT` with `arguments`.
ProcessResult chainRun(const std::string& command, const std::string& input,
                       const std::string& output, const std::vector<std::string>& arguments) {
    std::vector<std::string> line = {CARTRIVEX_CLI, command, input, output};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return runProcess(line);
}

// A float WAV of interleaved values in 16-bit units, and back.
TestAudio floatWave(const std::vector<double>& values, int channels) {
    TestAudio audio;
    audio.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    audio.channelCount = channels;
    audio.frameCount = static_cast<std::int64_t>(values.size()) / channels;
    for (const double value : values) {
        audio.floats.push_back(static_cast<float>(value / 32768));
    }
    return audio;
}

std::vector<double> valuesOf(const TestAudio& audio) {
    std::vector<double> values;
    for (const float value : audio.floats) {
        values.push_back(static_cast<double>(value) * 32768);
    }
    return values;
}

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

// A tip's shape cannot be undone in one pass: correct refuses a --stylus other than a point
// before it touches a file, rather than ignore it, and lets a point through (and what is no tip
// at all to render's own check).
TEST(CorrectRefusals, ATipsShapeRatherThanIgnoreIt) {
    for (const std::string shape : {"spherical:17.8", "elliptical:7x18", "point", "bogus"}) {
        CLI::App program;
        const Subcommand correct = addCorrectCommand(program);
        const std::vector<std::string> line = {
            "cartrivex-cli", "correct", "no-such-input.wav", "out.wav", "--rpm",   "33",
            "--radius",      "60",      "--amplitude",       "1",       "--angle", "1",
            "--stylus",      shape};
        std::vector<const char*> argv;
        for (const std::string& word : line) {
            argv.push_back(word.c_str());
        }
        program.parse(static_cast<int>(argv.size()), argv.data());
        try {
            correct.run();
            ADD_FAILURE() << shape << ": ran";
        } catch (const CommandError& error) {
            if (shape == "bogus") {
                EXPECT_EQ(error.exitCode(), kExitUsageError);
                EXPECT_NE(std::string(error.what()).find("is not a tip"), std::string::npos)
                    << error.what();
            } else if (shape == "point") {
                // Past the shape, to the files (here the first one looked for is missing).
                EXPECT_EQ(error.exitCode(), kExitFileError) << error.what();
                EXPECT_EQ(std::string(error.what()).find("--stylus"), std::string::npos);
            } else {
                EXPECT_EQ(error.exitCode(), kExitUsageError);
                EXPECT_EQ(std::string(error.what()),
                          "--stylus " + shape +
                              ": correct undoes the tracking errors only; a tip's shape cannot be "
                              "taken out yet (leave --stylus out, or give --stylus point)");
            }
        }
    }
}

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
