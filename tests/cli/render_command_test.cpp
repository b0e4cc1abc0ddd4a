#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli_options.hpp"
#include "cli/progress.hpp"
#include "dsp/extended.hpp"
#include "dsp/tonearm.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/reference/reference_chain.hpp"
#include "tests/support/audio_test_files.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/render_runs.hpp"
#include "tests/support/test_names.hpp"
#include "wave/dither_generator.hpp"
#include "wave/output_quantiser.hpp"

namespace {

struct FormatCase {
    const char* description;
    int inputFormat;
    int rate;
    int channels;
    std::vector<std::string> bitsOption;
    int outputEncoding;
};

class RenderFormatTest : public ::testing::TestWithParam<FormatCase> {};

// Every container and sample format libsndfile reads goes in at its exact value and comes out in
// the input's container, as the chain and the quantiser make it.
TEST_P(RenderFormatTest, WritesWhatTheChainGivesInTheInputsContainer) {
    const FormatCase& c = GetParam();
    TemporaryDirectory folder;
    const std::int64_t frames = c.rate / 8;
    const TestAudio input = isFloatFormat(c.inputFormat)
                                ? floatAudio(c.inputFormat, c.rate, c.channels, frames, 30000.0)
                                : integerAudio(c.inputFormat, c.rate, c.channels, frames, 30000.0);
    ASSERT_TRUE(writeTestAudio(folder.file("in"), input));

    const ProcessResult run = renderRun(folder.file("in"), folder.file("out"), c.bitsOption);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in", "out"}));

    const TestAudio output = readTestAudio(folder.file("out"));
    EXPECT_EQ(output.format, (c.inputFormat & SF_FORMAT_TYPEMASK) | c.outputEncoding);
    EXPECT_EQ(output.sampleRate, c.rate);
    EXPECT_EQ(output.channelCount, c.channels);
    ASSERT_EQ(output.frameCount, frames);
    const int bits = c.outputEncoding == SF_FORMAT_PCM_16   ? 16
                     : c.outputEncoding == SF_FORMAT_PCM_24 ? 24
                                                            : 32;
    const ExpectedOutput expected =
        expectedOutput(chainOutput(chainInput(input), c.rate, c.channels), bits);
    if (bits == 32) {
        EXPECT_EQ(output.floats, expected.floats);
    } else {
        EXPECT_EQ(stepsOf(output, bits), expected.steps);
    }
}

const std::vector<std::string> kNoBits;

INSTANTIATE_TEST_SUITE_P(
    Formats, RenderFormatTest,
    ::testing::Values(FormatCase{"wav 16 44.1k stereo", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2,
                                 kNoBits, SF_FORMAT_PCM_16},
                      FormatCase{"wav 16 32k mono", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 32000, 1,
                                 kNoBits, SF_FORMAT_PCM_16},
                      FormatCase{"wav 24 96k stereo", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 2,
                                 kNoBits, SF_FORMAT_PCM_24},
                      FormatCase{"wav 24 192k mono", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 192000, 1,
                                 kNoBits, SF_FORMAT_PCM_24},
                      FormatCase{"wav 32 int 48k as float", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 48000,
                                 2, kNoBits, SF_FORMAT_FLOAT},
                      FormatCase{"wav float 44.1k stereo", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100,
                                 2, kNoBits, SF_FORMAT_FLOAT},
                      FormatCase{"wav float 88.2k mono to 24",
                                 SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                                 88200,
                                 1,
                                 {"--bits", "24"},
                                 SF_FORMAT_PCM_24},
                      FormatCase{"wav 16 to float",
                                 SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                 44100,
                                 2,
                                 {"--bits", "32f"},
                                 SF_FORMAT_FLOAT},
                      FormatCase{"extensible wav 24 48k", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 48000,
                                 2, kNoBits, SF_FORMAT_PCM_24},
                      FormatCase{"rf64 16 44.1k", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 44100, 2,
                                 kNoBits, SF_FORMAT_PCM_16},
                      FormatCase{"w64 24 48k", SF_FORMAT_W64 | SF_FORMAT_PCM_24, 48000, 2, kNoBits,
                                 SF_FORMAT_PCM_24},
                      FormatCase{"aiff 16 44.1k", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2,
                                 kNoBits, SF_FORMAT_PCM_16},
                      FormatCase{"aiff 24 176.4k mono", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 176400,
                                 1, kNoBits, SF_FORMAT_PCM_24},
                      FormatCase{"flac 16 44.1k", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2,
                                 kNoBits, SF_FORMAT_PCM_16},
                      FormatCase{"flac 24 96k to 16",
                                 SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                                 96000,
                                 2,
                                 {"--bits", "16"},
                                 SF_FORMAT_PCM_16}),
    [](const ::testing::TestParamInfo<FormatCase>& info) {
        return testCaseName(info.index, info.param.description);
    });

struct ExactCase {
    double seconds;
    double loudness;  // loud inputs need a gain below 1
};

class RenderExactnessTest : public ::testing::TestWithParam<ExactCase> {};

// A 16-bit 44.1 kHz stereo file written as 16-bit holds the interactive program's samples: the
// direct implementation of every step, run over the whole input, whatever its length.
TEST_P(RenderExactnessTest, SixteenBitStereoIsTheDirectImplementationsOutput) {
    const ExactCase& c = GetParam();
    TemporaryDirectory folder;
    const auto frames = static_cast<std::int32_t>(c.seconds * 44100);
    const TestAudio input =
        integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, frames, c.loudness, 7);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    const ProcessResult run = renderRun(folder.file("in.wav"), folder.file("out.wav"));
    ASSERT_EQ(run.exitCode, 0) << run.err;

    std::vector<std::int16_t> samples;
    for (const int value : stepsOf(input, 16)) {
        samples.push_back(static_cast<std::int16_t>(value));
    }
    const ReferenceOutput expected = referenceProcess(samples, frames, kDisc, projectTapLists());
    EXPECT_EQ(expected.outputGain == 1.0, c.loudness < 25000) << "the case tests the wrong gain";

    const TestAudio output = readTestAudio(folder.file("out.wav"));
    std::vector<std::int16_t> written;
    for (const int value : stepsOf(output, 16)) {
        written.push_back(static_cast<std::int16_t>(value));
    }
    EXPECT_EQ(written, expected.outputSamples);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RenderExactnessTest,
                         ::testing::Values(ExactCase{0.5, 12000.0}, ExactCase{1.0, 32000.0},
                                           // Longer than the interactive program takes.
                                           ExactCase{10.5, 12000.0}));

struct RefusalCase {
    const char* description;
    const char* input;                   // one of the files the test writes, or a missing one
    std::vector<std::string> arguments;  // replace the disc arguments when given
    int exitCode;
    const char* message;
};

class RenderRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

std::vector<std::string> discWith(const std::string& option, const std::string& value) {
    std::vector<std::string> arguments = kDiscArguments;
    for (std::size_t k = 0; k < arguments.size(); k += 2) {
        if (arguments[k] == option) {
            arguments[k + 1] = value;
        }
    }
    return arguments;
}

// Each refusal names its reason, exits with its code and leaves nothing behind.
TEST_P(RenderRefusalTest, SaysWhyAndWritesNothing) {
    const RefusalCase& c = GetParam();
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("good.wav"),
                               integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 400, 1e4)));
    ASSERT_TRUE(writeTestAudio(folder.file("six.wav"),
                               integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 6, 400, 1e4)));
    ASSERT_TRUE(writeTestAudio(folder.file("slow.wav"),
                               integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, 400, 1e4)));
    ASSERT_TRUE(
        writeTestAudio(folder.file("fast.wav"),
                       integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 384000, 1, 400, 1e4)));
    ASSERT_TRUE(
        writeTestAudio(folder.file("side.flac"),
                       integerAudio(SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 400, 1e4)));
    writeBytes(folder.file("notes.txt"), {'h', 'e', 'l', 'l', 'o', '\n'});
    std::filesystem::create_directory(folder.file("folder"));
    const std::vector<std::string> before = folder.entries();

    std::vector<std::string> arguments = {CARTRIVEX_CLI, "render", folder.file(c.input),
                                          folder.file("out.wav")};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    if (std::string(c.description).starts_with("output")) {
        arguments[3] = folder.file(std::string(c.description).substr(7));
    }
    const ProcessResult run = runProcess(arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(folder.entries(), before);
}

std::vector<std::string> withDisc(std::vector<std::string> extra) {
    std::vector<std::string> arguments = kDiscArguments;
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RenderRefusalTest,
    ::testing::Values(
        RefusalCase{"missing input", "missing.wav", kDiscArguments, 1,
                    "missing.wav: No such file or directory"},
        RefusalCase{"text file", "notes.txt", kDiscArguments, 1, "cannot read"},
        RefusalCase{"a folder as input", "folder", kDiscArguments, 1, "Is a directory"},
        RefusalCase{"six channels", "six.wav", kDiscArguments, 1, "6 channels"},
        RefusalCase{"8 kHz", "slow.wav", kDiscArguments, 1, "8000 Hz"},
        RefusalCase{"384 kHz", "fast.wav", kDiscArguments, 1, "384000 Hz"},
        RefusalCase{"rpm 0", "good.wav", discWith("--rpm", "0"), 2, "--rpm 0:"},
        RefusalCase{"rpm negative", "good.wav", discWith("--rpm", "-45"), 2, "--rpm -45:"},
        RefusalCase{"rpm nan", "good.wav", discWith("--rpm", "nan"), 2, "--rpm nan:"},
        RefusalCase{"rpm text", "good.wav", discWith("--rpm", "fast"), 2, "--rpm"},
        RefusalCase{"radius 0", "good.wav", discWith("--radius", "0"), 2, "--radius 0:"},
        RefusalCase{"radius infinite", "good.wav", discWith("--radius", "inf"), 2, "--radius inf:"},
        RefusalCase{"amplitude negative", "good.wav", discWith("--amplitude", "-0.01"), 2,
                    "--amplitude -0.01:"},
        RefusalCase{"angle 90", "good.wav", discWith("--angle", "90"), 2, "--angle 90:"},
        RefusalCase{"angle -90.5", "good.wav", discWith("--angle", "-90.5"), 2, "--angle -90.5:"},
        RefusalCase{"angle missing",
                    "good.wav",
                    {"--rpm", "45", "--radius", "60", "--amplitude", "0.05"},
                    2,
                    "--angle"},
        RefusalCase{"an arm and an angle", "good.wav",
                    withDisc({"--alignment", "baerwald", "--mounting", "222"}), 2,
                    "exclude each other"},
        RefusalCase{"a radius and a side", "good.wav", withDisc({"--from", "146", "--to", "60"}), 2,
                    "--radius and --from/--to exclude each other"},
        RefusalCase{"from without to",
                    "good.wav",
                    {"--rpm", "33", "--amplitude", "0.05", "--angle", "2", "--from", "146"},
                    2,
                    "--from needs --to"},
        RefusalCase{"no radius",
                    "good.wav",
                    {"--rpm", "33", "--amplitude", "0.05", "--linear"},
                    2,
                    "no groove radius"},
        RefusalCase{
            "to negative",
            "good.wav",
            {"--rpm", "33", "--amplitude", "0.05", "--angle", "2", "--from", "146", "--to", "-1"},
            2,
            "--to -1:"},
        RefusalCase{"an arm that cannot reach the side",
                    "good.wav",
                    {"--rpm", "33", "--amplitude", "0.05", "--arm", "100,222,20", "--from", "146",
                     "--to", "60"},
                    2,
                    "cannot reach the groove"},
        RefusalCase{"an arm of two numbers",
                    "good.wav",
                    {"--rpm", "33", "--amplitude", "0.05", "--arm", "230,215", "--radius", "80"},
                    2,
                    "--arm 230,215:"},
        RefusalCase{"an unknown alignment",
                    "good.wav",
                    {"--rpm", "33", "--amplitude", "0.05", "--alignment", "tangent", "--mounting",
                     "222", "--radius", "80"},
                    2,
                    "--alignment tangent:"},
        RefusalCase{"a vta with the lateral model", "good.wav",
                    withDisc({"--model", "lateral", "--vta", "25"}), 2, "belong to the stylus"},
        RefusalCase{"an unknown model", "good.wav", withDisc({"--model", "tip"}), 2,
                    "--model tip:"},
        RefusalCase{"vta 90", "good.wav", withDisc({"--vta", "90"}), 2, "--vta 90:"},
        RefusalCase{"cutting angle negative", "good.wav", withDisc({"--cutting-angle", "-1"}), 2,
                    "--cutting-angle -1:"},
        RefusalCase{"a pivot raise without an arm", "good.wav", withDisc({"--pivot-raise", "2"}), 2,
                    "--pivot-raise tilts a pivoted arm"},
        RefusalCase{"a pivot raise on a tangential tracker",
                    "good.wav",
                    {"--rpm", "33", "--amplitude", "0.05", "--linear", "--radius", "80",
                     "--pivot-raise", "2"},
                    2,
                    "--pivot-raise tilts a pivoted arm"},
        RefusalCase{"a pivot raise that tips the VTA below 0",
                    "good.wav",
                    {"--rpm", "33", "--amplitude", "0.05", "--alignment", "baerwald", "--mounting",
                     "222", "--radius", "80", "--vta", "2", "--pivot-raise", "-20"},
                    2,
                    "the VTA would be"},
        RefusalCase{"a tip of no known shape", "good.wav", withDisc({"--stylus", "conical:15"}), 2,
                    "unknown tip shape \"conical\""},
        RefusalCase{"a tip radius that is no number", "good.wav",
                    withDisc({"--stylus", "spherical:x"}), 2, "is not a number of micrometres"},
        RefusalCase{"an elliptical tip the wrong way round", "good.wav",
                    withDisc({"--stylus", "elliptical:18x7"}), 2, "did you mean elliptical:7x18?"},
        RefusalCase{"a tip with the lateral model", "good.wav",
                    withDisc({"--model", "lateral", "--stylus", "spherical:17.8"}), 2,
                    "the tip's shape belongs to the stylus model"},
        RefusalCase{"a tip far wider than the slow groove's samples",
                    "good.wav",
                    {"--rpm", "1", "--amplitude", "0.05", "--angle", "2", "--radius", "20",
                     "--stylus", "spherical:1000"},
                    2,
                    "--stylus spherical:1000: the tip covers more than"},
        RefusalCase{"bits 8", "good.wav", withDisc({"--bits", "8"}), 2, "--bits"},
        RefusalCase{"threads 0", "good.wav", withDisc({"--threads", "0"}), 2, "--threads"},
        RefusalCase{"output float.flac", "side.flac", withDisc({"--bits", "32f"}), 2,
                    "FLAC file cannot hold 32-bit float"},
        RefusalCase{"output folder", "good.wav", kDiscArguments, 1, "Is a directory"},
        RefusalCase{"output nowhere/out.wav", "good.wav", kDiscArguments, 1,
                    "No such file or directory"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
        return testCaseName(info.index, info.param.description);
    });

// A write that fails (here: beyond the file size limit) leaves the old output as it was.
TEST(RenderCommandTest, AFailedWriteKeepsTheExistingOutput) {
    for (const std::vector<std::string>& bits :
         {std::vector<std::string>{}, std::vector<std::string>{"--bits", "32f"}}) {
        TemporaryDirectory folder;
        ASSERT_TRUE(
            writeTestAudio(folder.file("in.wav"),
                           integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 44100, 1e4)));
        const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
        writeBytes(folder.file("out.wav"), old);
        ProcessOptions options;
        options.fileSizeLimit = 200000;  // the input fits; the output does not
        const ProcessResult run =
            renderRun(folder.file("in.wav"), folder.file("out.wav"), bits, options);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
        EXPECT_EQ(readBytes(folder.file("out.wav")), old);
        EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
    }
}

// A file its owner made read-only is not replaced, although the folder would allow it.
TEST(RenderCommandTest, AFileTheUserMayNotWriteIsKept) {
    if (!ordinaryUserAvailable()) {
        GTEST_SKIP() << "no ordinary user to run as";
    }
    TemporaryDirectory folder;
    std::filesystem::permissions(folder.path, std::filesystem::perms::all);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"),
                               integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 441, 1e4)));
    const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
    writeBytes(folder.file("out.wav"), old);
    std::filesystem::permissions(folder.file("out.wav"), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::group_read |
                                                             std::filesystem::perms::others_read);
    const std::string input = folder.file("in.wav");
    const std::string output = folder.file("out.wav");
    EXPECT_TRUE(holdsForAnOrdinaryUser([&input, &output] {
        const ProcessResult run = renderRun(input, output);
        return run.exitCode == 1 && run.err.find("Permission denied") != std::string::npos;
    }));
    EXPECT_EQ(readBytes(output), old);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
}

// A signal while rendering removes the temporary file, keeps the old output and ends the
// program with 128 + the signal's number.
TEST(RenderCommandTest, ASignalLeavesNoTraceAndTheOldOutput) {
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                                   44100, 2, 60 * 44100, 1e4)));
    const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
    writeBytes(folder.file("out.wav"), old);
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        std::vector<std::string> arguments = {CARTRIVEX_CLI, "render", folder.file("in.wav"),
                                              folder.file("out.wav")};
        arguments.insert(arguments.end(), kDiscArguments.begin(), kDiscArguments.end());
        RunningProcess process(arguments);
        // Once the temporary file is there, the rendering has begun.
        for (int tries = 0; tries < 2000 && folder.entries().size() < 3; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(folder.entries().size(), 3u) << "no temporary file appeared";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        process.sendSignal(number);
        const ProcessResult run = process.wait();
        EXPECT_EQ(run.exitCode, 128 + number) << run.err;
        EXPECT_EQ(readBytes(folder.file("out.wav")), old);
        EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
    }
}

// --json: one object on stdout that says what was read, used and written.
TEST(RenderCommandTest, JsonReportsTheRun) {
    TemporaryDirectory folder;
    const TestAudio input = integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 9600, 32000);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    const ProcessResult run =
        renderRun(folder.file("in.wav"), folder.file("out.wav"), {"--bits", "24", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);

    const std::vector<double> output = chainOutput(chainInput(input), 48000, 2);
    const double gain = chooseOutputGain(peakOf(output), kOutputPeakLimit24);
    EXPECT_EQ(report["input"]["path"], folder.file("in.wav"));
    EXPECT_EQ(report["input"]["format"], "WAV");
    EXPECT_EQ(report["input"]["bits"], 16);
    EXPECT_EQ(report["input"]["rate"], 48000);
    EXPECT_EQ(report["input"]["channels"], 2);
    EXPECT_EQ(report["input"]["frames"], 9600);
    EXPECT_EQ(report["input"]["seconds"], 0.2);
    EXPECT_EQ(report["parameters"]["rpm"], kDisc.revolutionsPerMinute);
    EXPECT_EQ(report["parameters"]["radius"], 65.0);
    EXPECT_EQ(report["parameters"]["amplitude"], 0.05);
    EXPECT_EQ(report["parameters"]["angle"], 4.0);
    EXPECT_EQ(report["peak"], peakOf(output));
    EXPECT_LT(gain, 1.0);
    EXPECT_EQ(report["gain"], gain);
    EXPECT_EQ(report["attenuation_db"], attenuationDecibels(gain));
    EXPECT_EQ(report["output"]["path"], folder.file("out.wav"));
    EXPECT_EQ(report["output"]["format"], "WAV");
    EXPECT_EQ(report["output"]["bits"], 24);
    EXPECT_GE(report["seconds_taken"].get<double>(), 0.0);
    // Not a terminal: no progress bar, only the closing line (which --json replaces).
    EXPECT_EQ(run.err, "");
}

// stderr that is not a terminal gets no progress bar; --quiet leaves it empty.
// Across a side, the tracking tangent and the groove velocity follow the arm at each sample's
// radius: the float output is the chain's with that path, and the JSON names the side.
TEST(RenderCommandTest, ASideFollowsTheArm) {
    TemporaryDirectory folder;
    const TestAudio input =
        integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 6000, 20000.0, 4);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    const std::vector<std::string> common = {CARTRIVEX_CLI,
                                             "render",
                                             folder.file("in.wav"),
                                             folder.file("out.wav"),
                                             "--rpm",
                                             "33",
                                             "--amplitude",
                                             "0.05",
                                             "--bits",
                                             "32f",
                                             "--json"};
    auto run = [&](std::vector<std::string> geometry) {
        std::vector<std::string> arguments = common;
        arguments.insert(arguments.end(), geometry.begin(), geometry.end());
        return runProcess(arguments);
    };
    const ProcessResult side =
        run({"--alignment", "baerwald", "--mounting", "222", "--from", "146", "--to", "60.3"});
    ASSERT_EQ(side.exitCode, 0) << side.err;
    const nlohmann::json report = nlohmann::json::parse(side.out);
    EXPECT_EQ(report["parameters"]["from_mm"], 146.0);
    EXPECT_EQ(report["parameters"]["to_mm"], 60.3);
    EXPECT_NEAR(report["parameters"]["arm"]["effective_length_mm"].get<double>(), 239.3, 0.01);
    EXPECT_NEAR(report["parameters"]["error_at_start_deg"].get<double>(), 1.80, 0.01);

    GroovePath path;
    path.arm.kind = Tonearm::Kind::Pivoted;
    path.arm.effectiveLength = report["parameters"]["arm"]["effective_length_mm"];
    path.arm.pivotToSpindle = 222;
    path.arm.offsetDegrees = report["parameters"]["arm"]["offset_deg"];
    path.fromRadius = 146;
    path.toRadius = 60.3;
    const std::vector<double> expected = chainOutput(chainInput(input), 44100, 1, &path);
    const TestAudio output = readTestAudio(folder.file("out.wav"));
    ASSERT_EQ(output.floats.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(output.floats[k], static_cast<float>(expected[k] / 32768.0)) << "sample " << k;
    }

    // A tangential tracker across the same side has no error anywhere: the output is the one
    // with the angle 0 at any radius.
    ASSERT_EQ(run({"--linear", "--from", "146", "--to", "60.3"}).exitCode, 0);
    const TestAudio linear = readTestAudio(folder.file("out.wav"));
    ASSERT_EQ(run({"--angle", "0", "--radius", "100"}).exitCode, 0);
    EXPECT_EQ(linear.floats, readTestAudio(folder.file("out.wav")).floats);
    EXPECT_NE(linear.floats, output.floats);
}

// The stylus model across a side with a raised pivot: the float output is the chain's with the
// raised VTA, the report names the model and its angles, and the two walls distort differently.
TEST(RenderCommandTest, TheStylusModelReadsBothWallsWithTheRaisedVta) {
    TemporaryDirectory folder;
    const TestAudio input =
        integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 6000, 20000.0, 5);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    const ProcessResult run = runProcess({CARTRIVEX_CLI,
                                          "render",
                                          folder.file("in.wav"),
                                          folder.file("out.wav"),
                                          "--rpm",
                                          "33",
                                          "--amplitude",
                                          "0.05",
                                          "--bits",
                                          "32f",
                                          "--json",
                                          "--alignment",
                                          "baerwald",
                                          "--mounting",
                                          "222",
                                          "--from",
                                          "146",
                                          "--to",
                                          "60.3",
                                          "--vta",
                                          "22",
                                          "--cutting-angle",
                                          "15",
                                          "--pivot-raise",
                                          "3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json parameters = nlohmann::json::parse(run.out)["parameters"];
    EXPECT_EQ(parameters["model"], "stylus");
    EXPECT_EQ(parameters["cutting_angle_deg"], 15.0);
    EXPECT_EQ(parameters["pivot_raise_mm"], 3.0);
    EXPECT_EQ(parameters["vta_before_raise_deg"], 22.0);
    const double length = parameters["arm"]["effective_length_mm"];
    const double vta = raisedVerticalTrackingDegrees(22, 3, length);
    EXPECT_EQ(parameters["vta_deg"], vta);
    EXPECT_NEAR(vta, 22 + std::atan(3 / 239.3) * 180 / 3.14159265359, 1e-3);

    GroovePath path;
    path.arm.kind = Tonearm::Kind::Pivoted;
    path.arm.effectiveLength = length;
    path.arm.pivotToSpindle = 222;
    path.arm.offsetDegrees = parameters["arm"]["offset_deg"];
    path.fromRadius = 146;
    path.toRadius = 60.3;
    const StylusAngles angles{vta, 15};
    const std::vector<double> expected = chainOutput(chainInput(input), 44100, 2, &path, &angles);
    const TestAudio output = readTestAudio(folder.file("out.wav"));
    ASSERT_EQ(output.floats.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(output.floats[k], static_cast<float>(expected[k] / 32768.0)) << "sample " << k;
    }
    // The lateral model with the same arm moves both channels by the mid alone.
    const std::vector<double> lateral = chainOutput(chainInput(input), 44100, 2, &path);
    EXPECT_NE(lateral, expected);
}

// A tip with a shape across a side: the float output is the chain's with that tip, the report
// names it, and each shape plays otherwise than a point and than the other.
TEST(RenderCommandTest, TheTipsShapeIsTracedAsTheChainTracesIt) {
    TemporaryDirectory folder;
    const TestAudio input =
        integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 3000, 20000.0, 7);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    GroovePath path;
    path.arm.kind = Tonearm::Kind::Pivoted;
    path.fromRadius = 146;
    path.toRadius = 60.3;
    const StylusAngles angles{20, 20};
    std::vector<std::vector<double>> played;
    for (const char* text : {"spherical:17.8", "elliptical:7x18", "point"}) {
        const ProcessResult run = runProcess({CARTRIVEX_CLI,
                                              "render",
                                              folder.file("in.wav"),
                                              folder.file("out.wav"),
                                              "--rpm",
                                              "33",
                                              "--amplitude",
                                              "0.05",
                                              "--bits",
                                              "32f",
                                              "--json",
                                              "--alignment",
                                              "baerwald",
                                              "--mounting",
                                              "222",
                                              "--from",
                                              "146",
                                              "--to",
                                              "60.3",
                                              "--stylus",
                                              text});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const nlohmann::json parameters = nlohmann::json::parse(run.out)["parameters"];
        if (std::string(text) == "point") {
            // A point alone asks for nothing beyond the lateral model.
            EXPECT_EQ(parameters["model"], "lateral");
            EXPECT_FALSE(parameters.contains("stylus"));
        } else {
            EXPECT_EQ(parameters["model"], "stylus");
            EXPECT_EQ(parameters["stylus"], text);
        }
        path.arm.effectiveLength = parameters["arm"]["effective_length_mm"];
        path.arm.pivotToSpindle = 222;
        path.arm.offsetDegrees = parameters["arm"]["offset_deg"];
        std::string message;
        const StylusTip tip = parseStylusTip(text, message).value();
        const bool stylus = !tip.point();
        const std::vector<double> expected =
            chainOutput(chainInput(input), 44100, 2, &path, stylus ? &angles : nullptr, &tip);
        const TestAudio output = readTestAudio(folder.file("out.wav"));
        ASSERT_EQ(output.floats.size(), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k) {
            ASSERT_EQ(output.floats[k], static_cast<float>(expected[k] / 32768.0))
                << text << ", sample " << k;
        }
        played.push_back(expected);
    }
    EXPECT_NE(played[0], played[2]);
    EXPECT_NE(played[1], played[2]);
    EXPECT_NE(played[0], played[1]);
}

TEST(RenderCommandTest, NoProgressBarOffATerminal) {
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                                   44100, 2, 4410, 1e4)));
    const ProcessResult plain = renderRun(folder.file("in.wav"), folder.file("out.wav"));
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos);
    EXPECT_EQ(plain.err.find('%'), std::string::npos);
    EXPECT_NE(plain.err.find("written"), std::string::npos) << plain.err;
    const ProcessResult quiet =
        renderRun(folder.file("in.wav"), folder.file("out.wav"), {"--quiet"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out, "");
}

// The input may be the output: it is read whole before the result replaces it.
TEST(RenderCommandTest, InputMayBeTheOutput) {
    TemporaryDirectory folder;
    const TestAudio input = integerAudio(SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000, 2, 9600, 2e4);
    ASSERT_TRUE(writeTestAudio(folder.file("a.flac"), input));
    ASSERT_TRUE(writeTestAudio(folder.file("b.flac"), input));
    ASSERT_EQ(renderRun(folder.file("a.flac"), folder.file("a.flac")).exitCode, 0);
    ASSERT_EQ(renderRun(folder.file("b.flac"), folder.file("c.flac")).exitCode, 0);
    EXPECT_EQ(readTestAudio(folder.file("a.flac")).integers,
              readTestAudio(folder.file("c.flac")).integers);
    EXPECT_NE(readTestAudio(folder.file("a.flac")).integers, input.integers);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"a.flac", "b.flac", "c.flac"}));
}

TEST(RenderOptionsTest, SpeedsFollowTheDialoguesRule) {
    const struct {
        double given;
        double used;
    } cases[] = {{33.0, stored(100.0L / 3.0L)},
                 {45.0, 45.0},
                 {78.0, 78.26},
                 {16.0, 16.0},
                 {33.5, 33.5},
                 {78.26, 78.26}};
    for (const auto& c : cases) {
        EXPECT_EQ(revolutionsPerMinuteFor(c.given), c.used) << c.given;
    }
}

TEST(RenderOptionsTest, ProgressLineShowsPercentageSpeedAndTimeLeft) {
    const struct {
        double fraction;
        double speed;
        double secondsLeft;
        std::vector<std::string> shown;
        std::vector<std::string> absent;
    } cases[] = {
        {0.4, 75.25, 12.0, {" 40%", "75.2x real time", "0:12 left", "[#########-"}, {}},
        {1.0, 61.0, 0.0, {"100%", "0:00 left", "########]"}, {"-"}},
        {0.0, 0.0, 0.0, {"  0%"}, {"real time", "left"}},
        {0.5, 2.0, 3725.0, {"1:02:05 left"}, {}},
    };
    for (const auto& c : cases) {
        const std::string line = progressLine("rendering", c.fraction, c.speed, c.secondsLeft);
        for (const std::string& text : c.shown) {
            EXPECT_NE(line.find(text), std::string::npos) << line << " lacks " << text;
        }
        for (const std::string& text : c.absent) {
            EXPECT_EQ(line.find(text), std::string::npos) << line << " has " << text;
        }
    }
}

// From a pipe the length is not known: the line shows the audio done and the speed.
TEST(RenderOptionsTest, OpenEndedProgressLineShowsTheAudioDone) {
    const struct {
        double seconds;
        double speed;
        const char* line;
    } cases[] = {
        {125.4, 75.25, "rendering  2:05 of audio     75.2x real time"},
        {0.0, 0.0, "rendering  0:00 of audio"},
        {3725.0, 2.0, "rendering  1:02:05 of audio      2.0x real time"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(openEndedProgressLine("rendering", c.seconds, c.speed), c.line);
    }
}

// The 24-bit quantiser: the 16-bit steps at 256 times the scale, the dither one 24-bit step.
TEST(RenderOptionsTest, TwentyFourBitSamplesAreRoundedInTheirOwnSteps) {
    const double infinity = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        double gain;
        double r1;
        double r2;
        std::int32_t sample;
    } cases[] = {
        {1.0, 1.0, 0.5, 0.5, 256},                // a 16-bit step is 256 steps
        {-32768.0, 1.0, 0.5, 0.5, -8388608 + 1},  // held within ±8388607
        {1.0 / 256, 1.0, 0.75, 0.75, 2},          // one step plus 0.5 of dither: ties to even
        {0.0, 1.0, 0.25, 0.25, 0},                // -0.5 rounds to even 0
        {3.0 / 256, 1.0, 0.75, 0.75, 4},          // 3.5 rounds to 4
        {100.0, 0.5, 0.5, 0.5, 12800},            // the gain applies before the scaling
        {std::nan(""), 1.0, 0.5, 0.5, 0},
        {infinity, 1.0, 0.5, 0.5, 8388607},
        {-infinity, 1.0, 0.5, 0.5, -8388607},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quantiseSample24(c.value, c.gain, c.r1, c.r2), c.sample) << c.value;
    }
    EXPECT_EQ(chooseOutputGain(32767.9921875, kOutputPeakLimit24), 1.0);
    EXPECT_EQ(chooseOutputGain(32768.0, kOutputPeakLimit24), stored(32767.9921875L / 32768.0L));
}

}  // namespace
