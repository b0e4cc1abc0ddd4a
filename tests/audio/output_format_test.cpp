#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/output_format.hpp"
#include "tests/support/test_names.hpp"

namespace {

AudioInfo inputOf(int format, int rate = 44100, int channels = 2) {
    AudioInfo input;
    input.format.container = format & SF_FORMAT_TYPEMASK;
    input.format.encoding = format & SF_FORMAT_SUBMASK;
    input.format.endian = format & SF_FORMAT_ENDMASK;
    input.sampleRate = rate;
    input.channelCount = channels;
    input.frameCount = 1000;
    return input;
}

OutputRequest request(const std::string& path, const std::string& type = "",
                      const std::string& bits = "", std::optional<double> quality = std::nullopt) {
    return OutputRequest{path, type, bits, quality};
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kVorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
constexpr int kOpus = SF_FORMAT_OGG | SF_FORMAT_OPUS;
constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;

struct PlanCase {
    const char* description;
    OutputRequest request;
    AudioInfo input;
    int format;  // container | encoding | endian of the plan
    OutputKind kind;
};

class PlanOutputTest : public ::testing::TestWithParam<PlanCase> {};

// The output's format from --type, OUTPUT's extension or the input, and its samples from --bits,
// the input or the format.
TEST_P(PlanOutputTest, ChoosesTheFormatAndTheSamples) {
    const PlanCase& c = GetParam();
    OutputPlan plan;
    std::string message;
    ASSERT_TRUE(planOutput(c.request, c.input, plan, message)) << message;
    EXPECT_EQ(plan.format.sndfileFormat(), c.format);
    EXPECT_EQ(plan.kind, c.kind);
    EXPECT_EQ(plan.standardOutput, c.request.path == "-");
}

INSTANTIATE_TEST_SUITE_P(
    Plans, PlanOutputTest,
    ::testing::Values(
        PlanCase{"flac to wav", request("out.wav"), inputOf(SF_FORMAT_FLAC | SF_FORMAT_PCM_24),
                 SF_FORMAT_WAV | SF_FORMAT_PCM_24, OutputKind::TwentyFour},
        PlanCase{"upper case extension", request("dir.x/OUT.FLAC"), inputOf(kWav16),
                 SF_FORMAT_FLAC | SF_FORMAT_PCM_16, OutputKind::Sixteen},
        PlanCase{"float into flac becomes 24-bit", request("out.flac"),
                 inputOf(SF_FORMAT_WAV | SF_FORMAT_FLOAT), SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                 OutputKind::TwentyFour},
        PlanCase{"32-bit integers as float", request("out.caf"),
                 inputOf(SF_FORMAT_WAV | SF_FORMAT_PCM_32), SF_FORMAT_CAF | SF_FORMAT_FLOAT,
                 OutputKind::Float},
        PlanCase{"aif", request("out.aif"), inputOf(kWav16), SF_FORMAT_AIFF | SF_FORMAT_PCM_16,
                 OutputKind::Sixteen},
        PlanCase{"w64 as 24-bit", request("out.w64", "", "24"), inputOf(kWav16),
                 SF_FORMAT_W64 | SF_FORMAT_PCM_24, OutputKind::TwentyFour},
        PlanCase{"rf64", request("out.rf64"), inputOf(kWav16), SF_FORMAT_RF64 | SF_FORMAT_PCM_16,
                 OutputKind::Sixteen},
        PlanCase{"au", request("out.au", "", "32f"), inputOf(kWav16),
                 SF_FORMAT_AU | SF_FORMAT_FLOAT, OutputKind::Float},
        PlanCase{"ogg", request("out.ogg"), inputOf(kWav16), kVorbis, OutputKind::Encoded},
        PlanCase{"oga with quality", request("out.oga", "", "", 0.0), inputOf(kWav16), kVorbis,
                 OutputKind::Encoded},
        PlanCase{"opus at 48 kHz", request("out.opus"), inputOf(kWav16, 48000), kOpus,
                 OutputKind::Encoded},
        PlanCase{"mp3", request("out.mp3"), inputOf(SF_FORMAT_FLAC | SF_FORMAT_PCM_24), kMp3,
                 OutputKind::Encoded},
        PlanCase{"vorbis input into wav as 24-bit", request("out.wav"), inputOf(kVorbis),
                 SF_FORMAT_WAV | SF_FORMAT_PCM_24, OutputKind::TwentyFour},
        PlanCase{"mp3 input into flac as 24-bit", request("out.flac"), inputOf(kMp3),
                 SF_FORMAT_FLAC | SF_FORMAT_PCM_24, OutputKind::TwentyFour},
        PlanCase{"vorbis input, no extension", request("out"), inputOf(kVorbis), kVorbis,
                 OutputKind::Encoded},
        PlanCase{"mp2 input, unknown extension", request("out.bin"),
                 inputOf(SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_II), kMp3, OutputKind::Encoded},
        PlanCase{"extensible input keeps its header", request("out.wav"),
                 inputOf(SF_FORMAT_WAVEX | SF_FORMAT_PCM_24), SF_FORMAT_WAVEX | SF_FORMAT_PCM_24,
                 OutputKind::TwentyFour},
        PlanCase{"big-endian wav keeps its order", request("out.wav"),
                 inputOf(kWav16 | SF_ENDIAN_BIG), kWav16 | SF_ENDIAN_BIG, OutputKind::Sixteen},
        PlanCase{"big-endian wav into aiff", request("out.aiff"), inputOf(kWav16 | SF_ENDIAN_BIG),
                 SF_FORMAT_AIFF | SF_FORMAT_PCM_16, OutputKind::Sixteen},
        PlanCase{"type over extension", request("out.wav", "AU"), inputOf(kWav16),
                 SF_FORMAT_AU | SF_FORMAT_PCM_16, OutputKind::Sixteen},
        PlanCase{"standard output is wav", request("-"), inputOf(SF_FORMAT_FLAC | SF_FORMAT_PCM_16),
                 kWav16, OutputKind::Sixteen},
        PlanCase{"standard output as mp3", request("-", "mp3"), inputOf(kWav16), kMp3,
                 OutputKind::Encoded},
        PlanCase{"a file named like a folder", request("./-"),
                 inputOf(SF_FORMAT_FLAC | SF_FORMAT_PCM_16), SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                 OutputKind::Sixteen}),
    [](const ::testing::TestParamInfo<PlanCase>& info) {
        return testCaseName(info.index, info.param.description);
    });

struct RefusalCase {
    const char* description;
    OutputRequest request;
    AudioInfo input;
    const char* message;
};

class PlanRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

// A format that cannot hold what is asked is refused with what would work, in whole sentences.
TEST_P(PlanRefusalTest, SaysWhatWouldWork) {
    const RefusalCase& c = GetParam();
    OutputPlan plan;
    std::string message;
    ASSERT_FALSE(planOutput(c.request, c.input, plan, message));
    EXPECT_EQ(message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PlanRefusalTest,
    ::testing::Values(
        RefusalCase{"float into flac", request("out.flac", "", "32f"), inputOf(kWav16),
                    "a FLAC file cannot hold 32-bit float samples: choose --bits 16 or 24, or "
                    "write .wav, .w64, .rf64, .aiff, .caf or .au"},
        RefusalCase{"bits into mp3", request("out.mp3", "", "16"), inputOf(kWav16),
                    "an MP3 file holds compressed audio, not 16-bit samples: leave out --bits to "
                    "encode the float output, or write .wav, .w64, .rf64, .aiff, .flac, .caf or "
                    ".au for 16-bit samples"},
        RefusalCase{"bits into ogg", request("x.oga", "", "32f"), inputOf(kWav16),
                    "an Ogg Vorbis file holds compressed audio, not 32-bit float samples: leave "
                    "out --bits to encode the float output, or write .wav, .w64, .rf64, .aiff, "
                    ".caf or .au for 32-bit float samples"},
        RefusalCase{"opus at 44.1 kHz", request("out.opus"), inputOf(kWav16),
                    "an Opus file cannot hold 44100 Hz audio (Opus only supports sample rates of "
                    "8000, 12000, 16000, 24000, and 48000): write .wav, .w64, .rf64, .aiff, "
                    ".flac, .caf, .au, .ogg or .mp3"},
        RefusalCase{"mp3 at 96 kHz", request("out.mp3"), inputOf(kWav16, 96000),
                    "an MP3 file cannot hold 96000 Hz audio (MPEG-1/2/2.5 only supports sample "
                    "rates of 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, and "
                    "48000): write .wav, .w64, .rf64, .aiff, .flac, .caf, .au or .ogg"},
        RefusalCase{"quality of a wav", request("out.wav", "", "", 0.5), inputOf(kWav16),
                    "--quality sets the encoding of an Ogg Vorbis, Opus or MP3 output; a WAV file "
                    "holds samples as they are"},
        RefusalCase{"quality 0 of an mp3", request("out.mp3", "", "", 0.0), inputOf(kWav16),
                    "--quality 0: libsndfile's MP3 encoder does not take it; give another from 0 "
                    "to 1"},
        RefusalCase{"flac on a pipe", request("-", "flac"), inputOf(kWav16),
                    "a FLAC file cannot be written to a pipe, as its header is completed at the "
                    "end: give --type wav, au, ogg or mp3, or name an OUTPUT file"},
        RefusalCase{"aiff on a pipe at 48 kHz", request("-", "aif"), inputOf(kWav16, 48000),
                    "an AIFF file cannot be written to a pipe, as its header is completed at the "
                    "end: give --type wav, au, ogg, opus or mp3, or name an OUTPUT file"},
        RefusalCase{"bits into ogg on a pipe", request("-", "ogg", "24"), inputOf(kWav16),
                    "an Ogg Vorbis file holds compressed audio, not 24-bit samples: leave out "
                    "--bits to encode the float output, or give --type wav or au for 24-bit "
                    "samples"},
        RefusalCase{"bits the input's container lacks", request("out", "", "24"),
                    inputOf(SF_FORMAT_AVR | SF_FORMAT_PCM_16),
                    "an AVR file cannot hold 24-bit samples: choose --bits 16, or write .wav, "
                    ".w64, .rf64, .aiff, .flac, .caf or .au"},
        RefusalCase{"input's container holds no stereo", request("out.svx"),
                    inputOf(SF_FORMAT_SVX | SF_FORMAT_PCM_16),
                    "an IFF file cannot hold 16-bit samples of two channels at 44100 Hz: write "
                    ".wav, .w64, .rf64, .aiff, .flac, .caf or .au"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
        return testCaseName(info.index, info.param.description);
    });

// Each format by its spoken name: "an" before a vowel sound, whatever the letters.
TEST(FileDescriptionTest, TakesTheArticleOfTheSpokenName) {
    const struct {
        int format;
        const char* description;
    } cases[] = {
        {kWav16, "a WAV file"},
        {SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, "a WAV file"},
        {SF_FORMAT_W64 | SF_FORMAT_PCM_16, "a W64 file"},
        {SF_FORMAT_RF64 | SF_FORMAT_PCM_16, "an RF64 file"},
        {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "an AIFF file"},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "a FLAC file"},
        {SF_FORMAT_CAF | SF_FORMAT_PCM_16, "a CAF file"},
        {SF_FORMAT_AU | SF_FORMAT_ULAW, "an AU file"},
        {kVorbis, "an Ogg Vorbis file"},
        {kOpus, "an Opus file"},
        {SF_FORMAT_OGG | SF_FORMAT_PCM_16, "an Ogg file"},
        {kMp3, "an MP3 file"},
        {SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_II, "an MPEG file"},
        {SF_FORMAT_SD2 | SF_FORMAT_PCM_16, "an SD2 file"},
        {SF_FORMAT_VOC | SF_FORMAT_PCM_16, "a VOC file"},
        {SF_FORMAT_HTK | SF_FORMAT_PCM_16, "an HTK file"},
        {SF_FORMAT_PAF | SF_FORMAT_PCM_16, "a PAF file"},
    };
    for (const auto& c : cases) {
        AudioFormat format;
        format.container = c.format & SF_FORMAT_TYPEMASK;
        format.encoding = c.format & SF_FORMAT_SUBMASK;
        EXPECT_EQ(fileDescription(format), c.description);
    }
}

// Every name --type takes is a format's, and every format answers to each of its names.
TEST(FileDescriptionTest, EveryTypeNameNamesItsFormat) {
    for (const std::string& name : typeNames()) {
        const NamedFormat* named = formatNamed(name);
        ASSERT_NE(named, nullptr) << name;
        EXPECT_NE(std::find(named->names.begin(), named->names.end(), name), named->names.end());
    }
    EXPECT_EQ(formatNamed("mp4"), nullptr);
    EXPECT_EQ(formatNamed(""), nullptr);
    EXPECT_EQ(formatNamed("OPUS"), formatNamed("opus"));
}

}  // namespace
