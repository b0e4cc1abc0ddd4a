#include "audio/file_render.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/expected_renders.hpp"
#include "tests/support/files.hpp"

namespace {

// The phases and the frames done as the render tells them.
struct Phase {
    std::string label;
    std::int64_t total = 0;
    std::vector<std::int64_t> done;
};

class RecordedProgress : public RenderProgress {
  public:
    void start(const std::string& label, std::int64_t totalFrames, int) override {
        phases.push_back({label, totalFrames, {}});
    }
    void update(std::int64_t doneFrames) override { phases.back().done.push_back(doneFrames); }

    std::vector<Phase> phases;
};

struct Rendered {
    bool rendered = false;
    std::string message;
    RenderResult result;
    AudioFormat format;  // as written
    RecordedProgress progress;
};

// Renders the file at `input` into `output` with the tests' disc, as --bits `bits` asks.
Rendered render(const std::string& input, const std::string& output, const std::string& bits) {
    Rendered run;
    AudioReader reader;
    EXPECT_TRUE(reader.open(input, run.message)) << run.message;
    OutputPlan plan;
    EXPECT_TRUE(planOutput({output, "", bits, std::nullopt}, reader.info(), plan, run.message))
        << run.message;
    AudioOutput target;
    if (!target.begin(output, run.message)) {
        return run;
    }
    ChainSettings settings;
    settings.sampleRate = reader.info().sampleRate;
    settings.channelCount = reader.info().channelCount;
    settings.disc = kDisc;
    settings.coefficients = &projectCoefficients();
    StreamingChain chain(settings);
    run.rendered = renderFile(reader, chain, target, plan, std::nullopt, run.progress,
                              {"the input", "the output"}, run.result, run.message);
    run.format = target.format();
    return run;
}

struct FileRenderCase {
    const char* bits;
    int channels;
    int encoding;  // what the output holds
};

class FileRenderTest : public ::testing::TestWithParam<FileRenderCase> {};

// The output holds what the chain and the quantiser give for the input, the whole output scaled
// by one gain from its peak; float is written as it comes, the others through the scratch file,
// and the progress says so.
TEST_P(FileRenderTest, WritesWhatTheChainAndTheQuantiserGive) {
    const FileRenderCase& c = GetParam();
    TemporaryDirectory folder;
    const std::int64_t frames = 40000;  // more than two blocks
    const TestAudio input =
        integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, c.channels, frames, 32000.0);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));

    const Rendered run = render(folder.file("in.wav"), folder.file("out.wav"), c.bits);
    ASSERT_TRUE(run.rendered) << run.message;
    EXPECT_EQ(run.format.encoding, c.encoding);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));

    const std::vector<double> chain = chainOutput(chainInput(input), 48000, c.channels);
    const int bits = c.encoding == SF_FORMAT_PCM_16 ? 16 : c.encoding == SF_FORMAT_PCM_24 ? 24 : 32;
    const ExpectedOutput expected = expectedOutput(chain, bits);
    const TestAudio output = readTestAudio(folder.file("out.wav"));
    ASSERT_EQ(output.frameCount, frames);
    if (bits == 32) {
        EXPECT_EQ(output.floats, expected.floats);
    } else {
        EXPECT_EQ(stepsOf(output, bits), expected.steps);
    }
    EXPECT_EQ(run.result.frames, frames);
    EXPECT_EQ(run.result.peak, peakOf(chain));
    EXPECT_EQ(run.result.gain, gainFor(bits == 16   ? OutputKind::Sixteen
                                       : bits == 24 ? OutputKind::TwentyFour
                                                    : OutputKind::Float,
                                       peakOf(chain)));
    EXPECT_EQ(run.result.gain < 1.0, bits != 32);  // the input is loud enough to clip

    const std::vector<std::string> labels =
        bits == 32 ? std::vector<std::string>{"rendering"}
                   : std::vector<std::string>{"rendering", "writing  "};
    ASSERT_EQ(run.progress.phases.size(), labels.size());
    for (std::size_t p = 0; p < labels.size(); ++p) {
        const Phase& phase = run.progress.phases[p];
        EXPECT_EQ(phase.label, labels[p]);
        EXPECT_EQ(phase.total, frames);
        ASSERT_FALSE(phase.done.empty());
        EXPECT_TRUE(std::is_sorted(phase.done.begin(), phase.done.end()));
        EXPECT_EQ(phase.done.back(), frames);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileRenderTest,
                         ::testing::Values(FileRenderCase{"16", 2, SF_FORMAT_PCM_16},
                                           FileRenderCase{"24", 1, SF_FORMAT_PCM_24},
                                           FileRenderCase{"32f", 2, SF_FORMAT_FLOAT}));

// A scratch file that cannot be made stops the render with the folder named, before anything
// is written; a failed render leaves an old output as it was.
TEST(FileRenderFailureTest, SaysWhatCouldNotBeWrittenAndKeepsTheOldOutput) {
    TemporaryDirectory folder;
    const TestAudio input = integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 1000, 1000.0);
    ASSERT_TRUE(writeTestAudio(folder.file("in.wav"), input));
    const char* previous = std::getenv("TMPDIR");
    const std::string kept = previous != nullptr ? previous : "";
    ::setenv("TMPDIR", folder.file("missing").c_str(), 1);
    const Rendered piped = render(folder.file("in.wav"), "-", "16");
    previous != nullptr ? ::setenv("TMPDIR", kept.c_str(), 1) : ::unsetenv("TMPDIR");
    EXPECT_FALSE(piped.rendered);
    EXPECT_EQ(piped.message, "cannot write a scratch file in " + folder.file("missing") +
                                 ": No such file or directory");

    // An output whose folder is a file is refused with the system's reason.
    writeBytes(folder.file("out.wav"), {'o', 'l', 'd'});
    const Rendered refused = render(folder.file("in.wav"), folder.file("out.wav") + "/x", "16");
    EXPECT_FALSE(refused.rendered);
    EXPECT_EQ(refused.message, "Not a directory");
    EXPECT_EQ(readBytes(folder.file("out.wav")), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
}

}  // namespace
