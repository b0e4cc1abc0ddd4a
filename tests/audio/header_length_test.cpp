#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_file.hpp"
#include "audio/header_length.hpp"
#include "tests/support/audio_test_files.hpp"
#include "tests/support/files.hpp"
#include "tests/support/test_names.hpp"
#include "tests/support/wave_bytes.hpp"

namespace {

ByteReader readerOf(const std::vector<std::uint8_t>& bytes) {
    return [&bytes](std::uint64_t offset, unsigned char* data, std::size_t size) -> std::size_t {
        if (offset >= bytes.size()) {
            return 0;
        }
        const std::size_t count = std::min<std::size_t>(size, bytes.size() - offset);
        std::memcpy(data, bytes.data() + offset, count);
        return count;
    };
}

// The bytes of a file libsndfile writes in `format` with `frames` frames of silence.
std::vector<std::uint8_t> fileBytes(int format, int channels, std::int64_t frames) {
    TemporaryDirectory folder;
    TestAudio audio;
    audio.format = format;
    audio.channelCount = channels;
    audio.frameCount = frames;
    audio.integers.assign(static_cast<std::size_t>(frames * channels), 0);
    audio.floats.assign(audio.integers.size(), 0.0f);
    EXPECT_TRUE(writeTestAudio(folder.file("file"), audio));
    return readBytes(folder.file("file"));
}

struct ContainerCase {
    const char* description;
    int format;
    int channels;
    int bytesPerFrame;
};

class PromisedFramesTest : public ::testing::TestWithParam<ContainerCase> {};

// The whole file promises its frames; cut at every length, the header still promises them
// wherever it is whole and says nothing where it is not, never anything else.
TEST_P(PromisedFramesTest, TheHeadersCountSurvivesEveryCutThatKeepsTheHeader) {
    const ContainerCase& c = GetParam();
    constexpr std::int64_t kFrames = 300;
    const std::vector<std::uint8_t> whole = fileBytes(c.format, c.channels, kFrames);
    const int container = c.format & SF_FORMAT_TYPEMASK;
    ASSERT_EQ(promisedFrames(container, c.bytesPerFrame, readerOf(whole)), kFrames);

    const std::size_t dataBytes = static_cast<std::size_t>(kFrames * c.bytesPerFrame);
    ASSERT_GT(whole.size(), dataBytes);
    bool sawPromise = false;
    for (std::size_t length = 0; length < whole.size(); ++length) {
        const std::vector<std::uint8_t> cut(whole.begin(),
                                            whole.begin() + static_cast<std::ptrdiff_t>(length));
        const std::int64_t promised = promisedFrames(container, c.bytesPerFrame, readerOf(cut));
        EXPECT_TRUE(promised == kFrames || promised == -1) << length << ": " << promised;
        sawPromise = sawPromise || promised == kFrames;
    }
    EXPECT_TRUE(sawPromise) << "no cut file kept its header";
    // A file cut in the middle of its samples keeps the promise.
    const std::vector<std::uint8_t> half(whole.begin(),
                                         whole.end() - static_cast<std::ptrdiff_t>(dataBytes / 2));
    EXPECT_EQ(promisedFrames(container, c.bytesPerFrame, readerOf(half)), kFrames);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, PromisedFramesTest,
    ::testing::Values(ContainerCase{"wav 16 stereo", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 4},
                      ContainerCase{"wav float mono", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 4},
                      ContainerCase{"rifx 24", SF_FORMAT_WAV | SF_FORMAT_PCM_24 | SF_ENDIAN_BIG, 2,
                                    6},
                      ContainerCase{"extensible 24", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 2, 6},
                      ContainerCase{"rf64 16", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 2, 4},
                      ContainerCase{"w64 24", SF_FORMAT_W64 | SF_FORMAT_PCM_24, 2, 6},
                      ContainerCase{"aiff 16", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 4},
                      ContainerCase{"aifc float", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 1, 4},
                      ContainerCase{"au 16", SF_FORMAT_AU | SF_FORMAT_PCM_16, 2, 4},
                      ContainerCase{"au little-endian 24",
                                    SF_FORMAT_AU | SF_FORMAT_PCM_24 | SF_ENDIAN_LITTLE, 1, 3}),
    [](const ::testing::TestParamInfo<ContainerCase>& info) {
        return testCaseName(info.index, info.param.description);
    });

std::vector<std::uint8_t> withBytes(std::vector<std::uint8_t> bytes, std::size_t offset,
                                    std::uint32_t value) {
    put32(bytes, offset, value);
    return bytes;
}

// Headers that do not promise a length: sizes written as unknown, compressed samples in a
// container that counts bytes, other containers, and what is no header at all.
TEST(PromisedFramesTest, NoPromiseWhereTheHeaderGivesNone) {
    const std::vector<std::uint8_t> wave = waveFile(std::vector<std::int16_t>(200, 7));
    const std::vector<std::uint8_t> stream = [] {
        const std::vector<unsigned char> header = waveStreamHeader(SF_FORMAT_PCM_16, 44100, 2);
        return std::vector<std::uint8_t>(header.begin(), header.end());
    }();
    std::vector<std::uint8_t> au = fileBytes(SF_FORMAT_AU | SF_FORMAT_PCM_16, 2, 100);
    au[8] = au[9] = au[10] = au[11] = 0xFF;
    const struct {
        const char* description;
        int container;
        int bytesPerFrame;
        std::vector<std::uint8_t> bytes;
        std::int64_t promised;
    } cases[] = {
        {"a plain file", SF_FORMAT_WAV, 4, wave, 100},
        {"data size unknown", SF_FORMAT_WAV, 4, withBytes(wave, 40, 0xFFFFFFFF), -1},
        {"a stream's header", SF_FORMAT_WAV, 4, stream, -1},
        {"compressed samples", SF_FORMAT_WAV, 0, wave, -1},
        {"au size unknown", SF_FORMAT_AU, 4, au, -1},
        {"flac", SF_FORMAT_FLAC, 4, wave, -1},
        {"not riff", SF_FORMAT_WAV, 4, withBytes(wave, 0, 0x12345678), -1},
        {"not wave", SF_FORMAT_WAV, 4, withBytes(wave, 8, 0x12345678), -1},
        {"aiff asked of a wav", SF_FORMAT_AIFF, 4, wave, -1},
        {"empty", SF_FORMAT_W64, 4, {}, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(promisedFrames(c.container, c.bytesPerFrame, readerOf(c.bytes)), c.promised)
            << c.description;
    }
}

// Chunks before the samples are walked over, an odd one with its pad byte, and a size that
// points past the end of the file ends the walk without a promise.
TEST(PromisedFramesTest, ChunksBeforeTheSamplesAreWalkedOver) {
    const std::vector<std::uint8_t> samples(400, 1);
    const std::vector<std::uint8_t> odd(5, 'x');
    const std::vector<std::uint8_t> withChunks =
        chunkedWave({{"LIST", odd}, {"fmt ", formatFields()}, {"junk", {}}, {"data", samples}});
    EXPECT_EQ(promisedFrames(SF_FORMAT_WAV, 4, readerOf(withChunks)), 100);
    const std::vector<std::uint8_t> unpadded = chunkedWave(
        {{"LIST", odd, std::nullopt, false}, {"fmt ", formatFields()}, {"data", samples}});
    EXPECT_EQ(promisedFrames(SF_FORMAT_WAV, 4, readerOf(unpadded)), -1);
    const std::vector<std::uint8_t> beyond =
        chunkedWave({{"fmt ", formatFields(), 0x7FFFFFF0}, {"data", samples}});
    EXPECT_EQ(promisedFrames(SF_FORMAT_WAV, 4, readerOf(beyond)), -1);
}

}  // namespace
