#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/audio_test_files.hpp"
#include "tests/support/files.hpp"
#include "tests/support/process_run.hpp"
#include "tests/support/render_runs.hpp"
#include "tests/support/test_names.hpp"
#include "tests/support/wave_bytes.hpp"

// Render's files as people have them: the output's format from its name, lossy inputs and
// outputs, standard input and output through real pipes, and files cut short.

namespace {

// The render command line for the shell, with the tests' disc: "cartrivex-cli render IN OUT ...".
std::string renderLine(const std::string& input, const std::string& output,
                       const std::string& extra = "") {
    std::string line = shellWord(CARTRIVEX_CLI) + " render " + input + " " + output;
    for (const std::string& argument : kDiscArguments) {
        line += " " + argument;
    }
    return extra.empty() ? line : line + " " + extra;
}

std::string quoted(const TemporaryDirectory& folder, const std::string& name) {
    return shellWord(folder.file(name));
}

// Skips a test that needs a program the project's test packages install.
#define REQUIRE_PROGRAM(name)                                                \
    if (!programAvailable(name)) {                                           \
        GTEST_SKIP() << name << " is not installed (make deps installs it)"; \
    }

// Signal to noise of `actual` against `expected`, in dB.
double snrDecibels(const std::vector<double>& expected, const std::vector<double>& actual) {
    double signal = 0.0;
    double noise = 0.0;
    for (std::size_t k = 0; k < expected.size() && k < actual.size(); ++k) {
        signal += expected[k] * expected[k];
        noise += (actual[k] - expected[k]) * (actual[k] - expected[k]);
    }
    return 10.0 * std::log10(signal / noise);
}

std::vector<double> scaled(const std::vector<double>& values, double gain) {
    std::vector<double> result;
    for (const double value : values) {
        result.push_back(gain * value);
    }
    return result;
}

// Two tones without noise, for lossy codecs, which keep tones and drop noise: 16-bit samples
// peaking near `loudness`.
TestAudio toneAudio(int rate, int channels, std::int64_t frames, double loudness) {
    TestAudio audio;
    audio.sampleRate = rate;
    audio.channelCount = channels;
    audio.frameCount = frames;
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const double t = static_cast<double>(i) / rate;
            const double value =
                loudness * (0.6 * std::sin(2 * std::numbers::pi * 440.0 * (c + 1) * t) +
                            0.4 * std::sin(2 * std::numbers::pi * 2500.0 * t));
            audio.integers.push_back(static_cast<int>(std::lround(value)) * 65536);
        }
    }
    return audio;
}

struct ExtensionCase {
    const char* extension;
    int format;           // what libsndfile reads back
    const char* soxType;  // what `sox --i -t` says, "" where sox cannot read it
};

class RenderExtensionTest : public ::testing::TestWithParam<ExtensionCase> {};

// The output's format is its extension's: libsndfile and sox read it back as that format, with
// the input's length, rate and channels; the lossless ones hold the 16-bit samples the chain and
// the quantiser give, the lossy ones a close encoding of the float output.
TEST_P(RenderExtensionTest, WritesTheFormatItsNameSays) {
    const ExtensionCase& c = GetParam();
    TemporaryDirectory folder;
    const TestAudio input = toneAudio(48000, 2, 12000, 20000.0);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    const std::string output = std::string("out.") + c.extension;
    const ProcessResult run = renderRun(folder.file("in.wav"), folder.file(output));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.wav", output}));

    SF_INFO info;
    const std::vector<double> written = readValues(folder.file(output), info);
    EXPECT_EQ(info.format, c.format);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, 12000);
    const std::vector<double> chain = chainOutput(chainInput(input), 48000, 2);
    if ((c.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
        const ExpectedOutput expected = expectedOutput(chain, 16);
        ASSERT_EQ(written.size(), expected.steps.size());
        for (std::size_t k = 0; k < written.size(); ++k) {
            ASSERT_EQ(written[k], expected.steps[k]) << "sample " << k;
        }
    } else {
        EXPECT_GT(snrDecibels(chain, written), 20.0);
    }

    if (c.soxType[0] != '\0' && programAvailable("sox")) {
        const ProcessResult sox = runShell("sox --i -t " + quoted(folder, output));
        EXPECT_EQ(sox.out, std::string(c.soxType) + "\n") << sox.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, RenderExtensionTest,
    ::testing::Values(ExtensionCase{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, "wav"},
                      ExtensionCase{"w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, "w64"},
                      ExtensionCase{"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, "wav"},
                      ExtensionCase{"aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "aiff"},
                      ExtensionCase{"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "aiff"},
                      ExtensionCase{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "flac"},
                      ExtensionCase{"caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, "caf"},
                      ExtensionCase{"au", SF_FORMAT_AU | SF_FORMAT_PCM_16, "au"},
                      ExtensionCase{"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "vorbis"},
                      ExtensionCase{"oga", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "vorbis"},
                      ExtensionCase{"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, ""},
                      ExtensionCase{"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "mp3"}),
    [](const ::testing::TestParamInfo<ExtensionCase>& info) {
        return testCaseName(info.index, info.param.extension);
    });

// A loud input encoded lossily: scaled by the 16-bit output's gain so that nothing clips, and
// --quality reaches the encoder (a lower quality, a smaller file).
TEST(RenderLossyTest, LoudInputsAreScaledAndQualityIsTheEncoders) {
    TemporaryDirectory folder;
    const TestAudio input = toneAudio(48000, 2, 24000, 32700.0);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    const std::vector<double> chain = chainOutput(chainInput(input), 48000, 2);
    const double gain = chooseOutputGain(peakOf(chain), kOutputPeakLimit);
    ASSERT_LT(gain, 1.0) << "the case needs a loud input";
    for (const char* extension : {"ogg", "opus", "mp3"}) {
        std::uintmax_t sizes[2] = {};
        for (const int best : {0, 1}) {
            const double quality = best == 1 ? 1.0 : 0.1;
            const std::string output = std::string("q") + std::to_string(best) + "." + extension;
            const ProcessResult run = renderRun(folder.file("in.wav"), folder.file(output),
                                                {"--quality", best == 1 ? "1" : "0.1", "--json"});
            ASSERT_EQ(run.exitCode, 0) << run.err;
            const nlohmann::json report = nlohmann::json::parse(run.out);
            EXPECT_EQ(report["gain"], gain) << extension;
            EXPECT_EQ(report["output"]["bits"], nullptr) << extension;
            EXPECT_EQ(report["output"]["quality"], quality) << extension;
            sizes[best] = std::filesystem::file_size(folder.file(output));
            if (best == 1) {
                SF_INFO info;
                const std::vector<double> decoded = readValues(folder.file(output), info);
                EXPECT_GT(snrDecibels(scaled(chain, gain), decoded), 20.0) << extension;
            }
        }
        EXPECT_LT(sizes[0], sizes[1]) << extension;
    }
}

struct LossyInputCase {
    const char* input;
    const char* output;
    int outputFormat;
    int rate;
};

class RenderLossyInputTest : public ::testing::TestWithParam<LossyInputCase> {};

// An Ogg Vorbis or MP3 input as sox makes it, or an Opus one as libsndfile does, renders with no
// options beyond the disc's: a lossy input has no bit depth, so WAV and FLAC outputs get 24-bit
// samples of what it decodes to.
TEST_P(RenderLossyInputTest, RendersWhatItDecodesToAs24Bit) {
    REQUIRE_PROGRAM("sox");
    const LossyInputCase& c = GetParam();
    TemporaryDirectory folder;
    TestAudio source =
        integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, c.rate, 2, c.rate / 2, 16000.0, 9);
    if (std::string(c.input).ends_with(".opus")) {
        source.format = SF_FORMAT_OGG | SF_FORMAT_OPUS;
        ASSERT_TRUE(writeTestAudio(folder.file(c.input), source));
    } else {
        ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), source));
        const ProcessResult made =
            runShell("sox " + quoted(folder, "in.wav") + " " + quoted(folder, c.input));
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    const ProcessResult run = renderRun(folder.file(c.input), folder.file(c.output));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;

    SF_INFO inputInfo;
    const std::vector<double> decoded = readValues(folder.file(c.input), inputInfo);
    const TestAudio output = readTestAudio(folder.file(c.output));
    EXPECT_EQ(output.format, c.outputFormat);
    const ExpectedOutput expected = expectedOutput(chainOutput(decoded, c.rate, 2), 24);
    EXPECT_EQ(stepsOf(output, 24), expected.steps);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RenderLossyInputTest,
    ::testing::Values(
        LossyInputCase{"in.ogg", "out.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100},
        LossyInputCase{"in.ogg", "out.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100},
        LossyInputCase{"in.mp3", "out.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100},
        LossyInputCase{"in.mp3", "out.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100},
        LossyInputCase{"in.opus", "out.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000}),
    [](const ::testing::TestParamInfo<LossyInputCase>& info) {
        return testCaseName(info.index, std::string(info.param.input) + " to " + info.param.output);
    });

struct PipeInputCase {
    int format;
    const char* refusal;  // nullptr where the pipe gives what the file gives
};

// Each format is read as a file; from a pipe it gives the same output, byte for byte, or is
// refused where libsndfile cannot read it whole from a pipe.
TEST(RenderPipeTest, FormatsReadFromAPipe) {
    TemporaryDirectory folder;
    const PipeInputCase cases[] = {
        {SF_FORMAT_WAV | SF_FORMAT_PCM_24, nullptr},
        {SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, nullptr},
        {SF_FORMAT_W64 | SF_FORMAT_PCM_16, nullptr},
        {SF_FORMAT_AIFF | SF_FORMAT_PCM_24, nullptr},
        {SF_FORMAT_AU | SF_FORMAT_PCM_16, nullptr},
        {SF_FORMAT_OGG | SF_FORMAT_VORBIS, nullptr},
        {SF_FORMAT_OGG | SF_FORMAT_OPUS, nullptr},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "it holds a FLAC stream"},
        {SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, "it holds an MP3 stream"},
        {SF_FORMAT_CAF | SF_FORMAT_PCM_16, "it holds a CAF stream"},
        {SF_FORMAT_RF64 | SF_FORMAT_PCM_24, "it holds an RF64 stream"},
    };
    for (const PipeInputCase& c : cases) {
        SCOPED_TRACE(c.format);
        TestAudio input = isFloatFormat(c.format)
                              ? floatAudio(c.format, 48000, 2, 9000, 12000.0)
                              : integerAudio(c.format, 48000, 2, 9000, 12000.0, 12);
        ASSERT_TRUE(writeTestAudio(folder.file("in"), input));
        const ProcessResult file = renderRun(folder.file("in"), folder.file("file.wav"));
        ASSERT_EQ(file.exitCode, 0) << file.err;
        const ProcessResult piped = runShell("cat " + quoted(folder, "in") + " | " +
                                             renderLine("-", quoted(folder, "piped.wav")));
        if (c.refusal != nullptr) {
            EXPECT_EQ(piped.exitCode, 1);
            EXPECT_NE(piped.err.find(std::string("cannot read standard input: ") + c.refusal +
                                     ", which libsndfile cannot read reliably from a pipe"),
                      std::string::npos)
                << piped.err;
            continue;
        }
        ASSERT_EQ(piped.exitCode, 0) << piped.err;
        EXPECT_EQ(withoutPeakTime(readBytes(folder.file("piped.wav"))),
                  withoutPeakTime(readBytes(folder.file("file.wav"))));
    }
}

// The bytes of a WAV file written to a pipe: the same, with the RIFF and data sizes unknown.
std::vector<std::uint8_t> asStream(std::vector<std::uint8_t> bytes) {
    put32(bytes, 4, 0xFFFFFFFF);
    put32(bytes, 40, 0xFFFFFFFF);
    return bytes;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// INPUT - and OUTPUT - through real pipes give what the files give: from a pipe, the same bytes;
// to a pipe, the same bytes but for the sizes, which say "unknown" there.
TEST(RenderPipeTest, PipesGiveWhatFilesGive) {
    REQUIRE_PROGRAM("sox");
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                                   44100, 2, 30000, 32000.0, 2)));
    for (const std::string bits : {"16", "24", "32f"}) {
        SCOPED_TRACE(bits);
        const std::string options = "--bits " + bits;
        ASSERT_EQ(
            renderRun(folder.file("in.wav"), folder.file("file.wav"), {"--bits", bits}).exitCode,
            0);
        const std::vector<std::uint8_t> file = readBytes(folder.file("file.wav"));

        const ProcessResult fromPipe =
            runShell("sox " + quoted(folder, "in.wav") + " -t wav - | " +
                     renderLine("-", quoted(folder, "piped.wav"), options));
        ASSERT_EQ(fromPipe.exitCode, 0) << fromPipe.err;
        EXPECT_EQ(withoutPeakTime(readBytes(folder.file("piped.wav"))), withoutPeakTime(file));

        const ProcessResult toPipe =
            runProcess({"/bin/sh", "-c", renderLine(quoted(folder, "in.wav"), "-", options)});
        ASSERT_EQ(toPipe.exitCode, 0) << toPipe.err;
        EXPECT_NE(toPipe.err.find("standard output: 0.68 s of audio written"), std::string::npos)
            << toPipe.err;
        if (bits != "32f") {
            EXPECT_EQ(bytesOf(toPipe.out), asStream(file));
        } else {
            // libsndfile's float header has fact and peak chunks; the stream's has not.
            writeBytes(folder.file("stream.wav"), bytesOf(toPipe.out));
            EXPECT_EQ(readTestAudio(folder.file("stream.wav")).floats,
                      readTestAudio(folder.file("file.wav")).floats);
        }

        // sox reads the stream to its end. (It holds samples as 32-bit integers, so it would clip
        // the float output's peaks above full scale.)
        if (bits == "32f") {
            continue;
        }
        const ProcessResult both = runShell("sox " + quoted(folder, "in.wav") + " -t wav - | " +
                                            renderLine("-", "-", options) + " | sox -V1 -t wav - " +
                                            quoted(folder, "both.wav"));
        ASSERT_EQ(both.exitCode, 0) << both.err;
        SF_INFO bothInfo;
        SF_INFO fileInfo;
        EXPECT_EQ(readValues(folder.file("both.wav"), bothInfo),
                  readValues(folder.file("file.wav"), fileInfo));
    }
}

// ffmpeg writes and reads WAV on pipes with the sizes unknown, as the stream has them.
TEST(RenderPipeTest, FfmpegPipesInAndOut) {
    REQUIRE_PROGRAM("ffmpeg");
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(
        folder.file("in.flac"),
        integerAudio(SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000, 2, 24000, 20000.0, 6)));
    ASSERT_EQ(renderRun(folder.file("in.flac"), folder.file("file.flac")).exitCode, 0);
    const ProcessResult in =
        runShell("ffmpeg -v error -i " + quoted(folder, "in.flac") + " -c:a pcm_s24le -f wav - | " +
                 renderLine("-", quoted(folder, "in-ffmpeg.flac")));
    ASSERT_EQ(in.exitCode, 0) << in.err;
    const ProcessResult out =
        runShell(renderLine(quoted(folder, "in.flac"), "-") + " | ffmpeg -v error -f wav -i - " +
                 quoted(folder, "out-ffmpeg.flac"));
    ASSERT_EQ(out.exitCode, 0) << out.err;
    const std::vector<int> file = readTestAudio(folder.file("file.flac")).integers;
    EXPECT_EQ(readTestAudio(folder.file("in-ffmpeg.flac")).integers, file);
    EXPECT_EQ(readTestAudio(folder.file("out-ffmpeg.flac")).integers, file);
}

// Every format a pipe can take goes there, and what reads it back from the pipe gets the audio.
TEST(RenderPipeTest, OtherFormatsStreamToStandardOutput) {
    REQUIRE_PROGRAM("sox");
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                                   48000, 1, 24000, 10000.0, 8)));
    const struct {
        const char* type;
        const char* soxType;
    } cases[] = {{"au", "au"}, {"ogg", "ogg"}, {"mp3", "mp3"}, {"wav", "wav"}};
    for (const auto& c : cases) {
        const ProcessResult run =
            runShell(renderLine(quoted(folder, "in.wav"), "-", std::string("--type ") + c.type) +
                     " | sox -V1 -t " + c.soxType + " - -n stat 2>&1 | grep Length");
        EXPECT_EQ(run.exitCode, 0) << c.type << run.err;
        // The MP3 encoder pads its last frame; the others hold the input's 0.5 s exactly.
        EXPECT_NE(run.out.find(c.type == std::string("mp3") ? "0.5" : "0.500000"),
                  std::string::npos)
            << c.type << ": " << run.out;
    }
    // Opus (48 kHz only): ffmpeg reads it back from the pipe.
    if (programAvailable("ffprobe")) {
        const ProcessResult opus =
            runShell(renderLine(quoted(folder, "in.wav"), "-", "--type opus") +
                     " | ffprobe -v error -show_entries stream=codec_name,sample_rate -of csv -");
        EXPECT_EQ(opus.out, "stream,opus,48000\n") << opus.err;
    }
}

// With OUTPUT -, standard output carries nothing but the audio: --json goes to stderr.
TEST(RenderPipeTest, JsonGoesToStderrWhenTheAudioGoesToStdout) {
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                                   44100, 2, 4410, 10000.0, 4)));
    const ProcessResult run = renderRun(folder.file("in.wav"), "-", {"--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.err);
    EXPECT_EQ(report["output"]["path"], "-");
    EXPECT_EQ(report["input"]["frames"], 4410);
    writeBytes(folder.file("out.wav"), bytesOf(run.out));
    EXPECT_EQ(readTestAudio(folder.file("out.wav")).frameCount, 4410);
}

struct PipeRefusalCase {
    const char* description;
    std::string command;  // run in the test's folder, which holds in.wav
    int exitCode;
    const char* message;
};

class RenderPipeRefusalTest : public ::testing::TestWithParam<PipeRefusalCase> {};

// Each refusal says why and what would work, writes nothing and leaves stdout empty.
TEST_P(RenderPipeRefusalTest, SaysWhatWouldWork) {
    REQUIRE_PROGRAM("sox");
    const PipeRefusalCase& c = GetParam();
    TemporaryDirectory folder;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                                   44100, 2, 4410, 10000.0, 4)));
    ProcessOptions options;
    options.workingDirectory = folder.path;
    const ProcessResult run = runShell(c.command, options);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"in.wav"});
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RenderPipeRefusalTest,
    ::testing::Values(
        PipeRefusalCase{"flac from a pipe", "sox in.wav -t flac - | " + renderLine("-", "out.wav"),
                        1,
                        "cannot read standard input: it holds a FLAC stream, which libsndfile "
                        "cannot read reliably from a pipe: pass the file itself, or pipe WAV"},
        PipeRefusalCase{"flac to a pipe", renderLine("in.wav", "-", "--type flac"), 2,
                        "a FLAC file cannot be written to a pipe"},
        PipeRefusalCase{"a side from a pipe",
                        "sox in.wav -t wav - | " + shellWord(CARTRIVEX_CLI) +
                            " render - out.wav --rpm 33 --amplitude 0.05 --angle 2 --from 146 "
                            "--to 60",
                        2,
                        "--from and --to spread the side over the input's length, which a pipe "
                        "does not tell"},
        PipeRefusalCase{"opus at 44.1 kHz", renderLine("in.wav", "out.opus"), 2,
                        "an Opus file cannot hold 44100 Hz audio"},
        PipeRefusalCase{"bits into mp3", renderLine("in.wav", "out.mp3", "--bits 24"), 2,
                        "an MP3 file holds compressed audio, not 24-bit samples"},
        PipeRefusalCase{"quality of a wav", renderLine("in.wav", "out.wav", "--quality 0.5"), 2,
                        "--quality sets the encoding of an Ogg Vorbis, Opus or MP3 output"},
        PipeRefusalCase{"quality 0 of an mp3", renderLine("in.wav", "out.mp3", "--quality 0"), 2,
                        "--quality 0: libsndfile's MP3 encoder does not take it"},
        PipeRefusalCase{"quality above 1", renderLine("in.wav", "out.ogg", "--quality 1.5"), 2,
                        "--quality"},
        PipeRefusalCase{"unknown type", renderLine("in.wav", "out.wav", "--type mp4"), 2,
                        "--type"}),
    [](const ::testing::TestParamInfo<PipeRefusalCase>& info) {
        return testCaseName(info.index, info.param.description);
    });

// A signal while writing to standard output ends the program with 128 + its number and leaves
// no scratch file in $TMPDIR.
TEST(RenderPipeTest, ASignalLeavesNoScratchFile) {
    TemporaryDirectory folder;
    TemporaryDirectory scratch;
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                                                                   44100, 2, 60 * 44100, 1e4)));
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        std::vector<std::string> arguments = {"/usr/bin/env",        "TMPDIR=" + scratch.path,
                                              CARTRIVEX_CLI,         "render",
                                              folder.file("in.wav"), "-"};
        arguments.insert(arguments.end(), kDiscArguments.begin(), kDiscArguments.end());
        RunningProcess process(arguments);
        // Once the scratch file is open in $TMPDIR, the rendering has begun.
        const std::string descriptors = "/proc/" + std::to_string(process.pid()) + "/fd";
        bool open = false;
        for (int tries = 0; tries < 2000 && !open; ++tries) {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(descriptors, error)) {
                open = open || std::filesystem::read_symlink(entry.path(), error)
                                   .string()
                                   .starts_with(scratch.path);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_TRUE(open) << "no scratch file was opened";
        process.sendSignal(number);
        const ProcessResult run = process.wait();
        EXPECT_EQ(run.exitCode, 128 + number) << run.err;
        EXPECT_EQ(scratch.entries(), std::vector<std::string>{});
    }
}

struct CutCase {
    const char* description;
    int format;
    double keep;          // the share of the file's bytes that is kept
    const char* warning;  // what the warning says
};

class RenderCutFileTest : public ::testing::TestWithParam<CutCase> {};

// A file cut short is rendered to where it ends, with a warning that says how much is missing;
// the whole file gives no warning.
TEST_P(RenderCutFileTest, RendersToTheCutAndSaysWhatIsMissing) {
    const CutCase& c = GetParam();
    TemporaryDirectory folder;
    constexpr std::int64_t kFrames = 44100;
    TestAudio input = integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, kFrames, 1e4, 11);
    input.format = c.format;
    ASSERT_TRUE(writeTestAudio(folder.file("whole"), input));
    const ProcessResult whole = renderRun(folder.file("whole"), folder.file("whole.wav"));
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    EXPECT_EQ(whole.err.find("warning"), std::string::npos) << whole.err;

    std::vector<std::uint8_t> bytes = readBytes(folder.file("whole"));
    bytes.resize(static_cast<std::size_t>(static_cast<double>(bytes.size()) * c.keep));
    writeBytes(folder.file("cut"), bytes);
    const ProcessResult run = renderRun(folder.file("cut"), folder.file("cut.wav"));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const TestAudio output = readTestAudio(folder.file("cut.wav"));
    EXPECT_GT(output.frameCount, 0);
    EXPECT_LT(output.frameCount, kFrames);
    const std::string text = "cartrivex-cli render: warning: " + folder.file("cut") + c.warning;
    EXPECT_NE(run.err.find(text), std::string::npos) << run.err << "\nlacks\n" << text;
    if (std::string(c.warning).find("promises") != std::string::npos) {
        const std::int64_t missing = kFrames - output.frameCount;
        char held[64];
        char lacking[128];
        std::snprintf(held, sizeof held, "%.2f s (%lld frames)", output.frameCount / 44100.0,
                      static_cast<long long>(output.frameCount));
        std::snprintf(lacking, sizeof lacking,
                      "; the missing %.2f s (%lld frames) are not in the output\n",
                      missing / 44100.0, static_cast<long long>(missing));
        EXPECT_NE(run.err.find(text + held), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(lacking), std::string::npos) << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, RenderCutFileTest,
    ::testing::Values(
        CutCase{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0.6,
                " is cut short: its header promises 1.00 s (44100 frames), but it holds only "},
        CutCase{"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24, 0.3,
                " is cut short: its header promises 1.00 s (44100 frames), but it holds only "},
        CutCase{"w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16, 0.5,
                " is cut short: its header promises 1.00 s (44100 frames), but it holds only "},
        CutCase{"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 0.9,
                " is cut short: its header promises 1.00 s (44100 frames), but it holds only "},
        CutCase{"au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 0.2,
                " is cut short: its header promises 1.00 s (44100 frames), but it holds only "},
        CutCase{"flac cut mid-frame", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0.55,
                " is cut short or damaged: its header promises 1.00 s (44100 frames), but only "
                "the first "},
        CutCase{"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.7,
                " is cut short: its Ogg stream has no end; how much is missing is not known\n"}),
    [](const ::testing::TestParamInfo<CutCase>& info) {
        return testCaseName(info.index, info.param.description);
    });

}  // namespace
