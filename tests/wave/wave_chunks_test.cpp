// Files whose data chunk does not follow a 16-byte format chunk at byte 36: the chunk list is
// walked, and the file is read, loaded and written by what its chunks say.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/files.hpp"
#include "tests/support/test_names.hpp"
#include "tests/support/wave_bytes.hpp"
#include "wave/wave_reader.hpp"
#include "wave/wave_writer.hpp"

namespace {

// `frames` stereo frames of distinct samples, none of them 0.
std::vector<std::int16_t> distinctSamples(int frames) {
    std::vector<std::int16_t> samples;
    for (int k = 0; k < 2 * frames; ++k) {
        samples.push_back(static_cast<std::int16_t>(k % 2 == 0 ? 1000 + 3 * k : -2000 - 5 * k));
    }
    return samples;
}

std::vector<std::uint8_t> sampleBytes(const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> bytes;
    appendSamples(bytes, samples);
    return bytes;
}

std::vector<std::uint8_t> text(const std::string& words) {
    return {words.begin(), words.end()};
}

WaveChunk format(std::vector<std::uint8_t> fields = formatFields()) {
    return {"fmt ", std::move(fields)};
}

WaveChunk data(int frames) {
    return {"data", sampleBytes(distinctSamples(frames))};
}

// What an encoder writes between the format and the data: an INFO list naming the software.
WaveChunk list() {
    return {"LIST", text("INFOISFT\x0e\0\0\0Lavf58.76.100\0")};
}

struct ChunkCase {
    const char* name;
    std::vector<WaveChunk> chunks;
    WaveError error;      // None: accepted
    std::int32_t frames;  // when accepted
};

// Shown in test listings and failures as the chunk identifiers and sizes.
void PrintTo(const ChunkCase& c, std::ostream* out) {
    for (const WaveChunk& chunk : c.chunks) {
        *out << "[" << chunk.id << " " << chunk.declaredSize.value_or(chunk.body.size()) << "] ";
    }
}

class WaveChunkTest : public ::testing::TestWithParam<ChunkCase> {};

// Where the samples of an accepted case begin: behind the data chunk's header.
std::uint64_t dataOffsetOf(const std::vector<WaveChunk>& chunks) {
    std::uint64_t offset = 12;
    for (const WaveChunk& chunk : chunks) {
        if (chunk.id == "data") {
            return offset + 8;
        }
        offset += 8 + chunk.body.size() + (chunk.padded ? chunk.body.size() % 2 : 0);
    }
    return 0;
}

TEST_P(WaveChunkTest, FieldsAndLengthComeFromTheChunks) {
    const ChunkCase& c = GetParam();
    const std::vector<std::uint8_t> bytes = chunkedWave(c.chunks);
    const HeaderCheck check = decodeWaveHeader(bytes.data(), bytes.size());
    if (c.error == WaveError::None) {
        ASSERT_TRUE(check.accepted()) << check.error;
        EXPECT_EQ(check.info.frameCount, c.frames);
        EXPECT_EQ(check.info.dataLength, static_cast<std::uint32_t>(4 * c.frames));
        EXPECT_EQ(check.info.duration, c.frames / 44100.0);
        EXPECT_EQ(check.info.dataOffset, dataOffsetOf(c.chunks));
        EXPECT_EQ(check.info.channelCount, 2);
        EXPECT_EQ(check.info.sampleRate, 44100);
        EXPECT_EQ(check.info.bitsPerSample, 16);
    } else {
        EXPECT_EQ(check.error, c.error);
    }
}

WaveChunk declared(WaveChunk chunk, std::uint32_t size) {
    chunk.declaredSize = size;
    return chunk;
}

WaveChunk unpadded(WaveChunk chunk) {
    chunk.padded = false;
    return chunk;
}

std::vector<std::uint8_t> zeros(std::size_t count) {
    return std::vector<std::uint8_t>(count, 0);
}

// Where no whole format chunk is found, the checks read the fixed offsets, here inside a JUNK
// chunk of zeros.
INSTANTIATE_TEST_SUITE_P(
    Layouts, WaveChunkTest,
    ::testing::Values(
        ChunkCase{
            "a LIST chunk before the data", {format(), list(), data(100)}, WaveError::None, 100},
        ChunkCase{"an 18-byte format chunk with cbSize",
                  {format(formatFields(2, 44100, 16, 1, 2)), data(30)},
                  WaveError::None,
                  30},
        ChunkCase{
            "a fact chunk", {format(), {"fact", {30, 0, 0, 0}}, data(30)}, WaveError::None, 30},
        ChunkCase{"an odd-sized chunk and its pad byte",
                  {format(), {"note", text("odd")}, data(7)},
                  WaveError::None,
                  7},
        ChunkCase{"an odd-sized format chunk and its pad byte",
                  {format(formatFields(2, 44100, 16, 1, 1)), data(7)},
                  WaveError::None,
                  7},
        ChunkCase{"a JUNK chunk before the format",
                  {{"JUNK", zeros(28)}, format(), data(9)},
                  WaveError::None,
                  9},
        ChunkCase{"the data before the format", {list(), data(12), format()}, WaveError::None, 12},
        ChunkCase{"chunks after the data", {format(), data(5), list()}, WaveError::None, 5},
        ChunkCase{"a data chunk that runs past the end",
                  {format(), list(), declared(data(10), 4000)},
                  WaveError::None,
                  1000},
        ChunkCase{"a second data chunk is not looked at",
                  {format(), list(), data(3), data(8)},
                  WaveError::None,
                  3},
        ChunkCase{"a LIST chunk that runs past the end",
                  {format(), declared(list(), 1000), data(100)},
                  WaveError::NoSampleData,
                  0},
        ChunkCase{"an odd chunk without its pad byte",
                  {format(), unpadded({"note", text("odd")}), data(7)},
                  WaveError::NoSampleData,
                  0},
        ChunkCase{"no data chunk", {format(), list()}, WaveError::NoSampleData, 0},
        ChunkCase{"an empty data chunk", {format(), list(), data(0)}, WaveError::NoSampleData, 0},
        ChunkCase{"a format chunk that runs past the end",
                  {{"JUNK", zeros(28)}, declared(format(), 400), data(4)},
                  WaveError::NotPcm,
                  0},
        ChunkCase{"no format chunk", {{"JUNK", zeros(28)}, data(4)}, WaveError::NotPcm, 0},
        ChunkCase{"a format chunk too short for its fields",
                  {{"JUNK", zeros(28)}, {"fmt ", zeros(14)}, data(4)},
                  WaveError::NotPcm,
                  0},
        ChunkCase{"extensible format",
                  {format(formatFields(2, 44100, 16, 0xFFFE, 24)), list(), data(4)},
                  WaveError::NotPcm,
                  0},
        ChunkCase{"mono", {format(formatFields(1)), list(), data(4)}, WaveError::NotStereo, 0},
        ChunkCase{"24-bit",
                  {format(formatFields(2, 44100, 24)), list(), data(4)},
                  WaveError::Not16Bit,
                  0},
        ChunkCase{
            "48000 Hz", {format(formatFields(2, 48000)), list(), data(4)}, WaveError::WrongRate, 0},
        ChunkCase{"441001 frames",
                  {format(), list(), declared(data(4), 441001 * 4)},
                  WaveError::TooLong,
                  0},
        ChunkCase{"441000 frames",
                  {format(), list(), declared(data(4), 441000 * 4)},
                  WaveError::None,
                  441000},
        ChunkCase{
            "data length 2", {format(), list(), declared(data(1), 2)}, WaveError::NoSampleData, 0}),
    [](const ::testing::TestParamInfo<ChunkCase>& info) {
        return testCaseName(info.index, info.param.name);
    });

TEST(WaveChunks, FormTypeIsCheckedFirst) {
    std::vector<std::uint8_t> bytes = chunkedWave({format(formatFields(1)), list(), data(4)});
    bytes[8] = 'w';
    EXPECT_EQ(decodeWaveHeader(bytes.data(), bytes.size()).error, WaveError::NotWave);
}

// A canonical file whose data chunk identifier was overwritten has no data chunk to be found.
TEST(WaveChunks, CanonicalFileWithoutItsDataIdentifierHoldsNoSamples) {
    std::vector<std::uint8_t> bytes = canonicalWave(400, 400);
    put32(bytes, 36, 0);
    EXPECT_EQ(decodeWaveHeader(bytes.data(), bytes.size()).error, WaveError::NoSampleData);
    bytes[36] = 'D';
    EXPECT_EQ(decodeWaveHeader(bytes.data(), bytes.size()).error, WaveError::NoSampleData);
}

const std::vector<std::int16_t> kListSamples = distinctSamples(100);

std::vector<std::uint8_t> listFile() {
    return chunkedWave({format(), list(), {"data", sampleBytes(kListSamples)}});
}

TEST(WaveChunks, EveryCutOfAFileWithAListChunkIsReadOrRefused) {
    const std::vector<std::uint8_t> whole = listFile();
    const std::uint64_t dataOffset = dataOffsetOf({format(), list(), data(100)});
    TemporaryDirectory dir;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + length);
        const HeaderCheck check = decodeWaveHeader(cut.data(), cut.size());
        if (length < dataOffset) {
            EXPECT_TRUE(isHeaderRefusal(check.error)) << length << ": " << check.error;
            continue;
        }
        ASSERT_TRUE(check.accepted()) << length << ": " << check.error;
        EXPECT_EQ(check.info.frameCount, 100) << length;
        EXPECT_EQ(check.info.dataOffset, dataOffset) << length;

        // Loaded: the samples the cut holds, then zeros.
        const std::string path = dir.file("cut.wav");
        writeBytes(path, cut);
        const LoadedInput input = loadSamples(path, readWaveHeader(path).info);
        ASSERT_TRUE(input.loaded) << length;
        std::vector<std::uint8_t> expected(whole.begin() + static_cast<long>(dataOffset),
                                           whole.begin() + static_cast<long>(length));
        expected.resize(400, 0);
        EXPECT_EQ(sampleBytes(input.inputSamples), expected) << length;
    }
}

TEST(WaveChunks, SamplesComeFromTheDataChunkAndTheOutputHeaderDescribesThem) {
    TemporaryDirectory dir;
    writeBytes(dir.file("list.wav"), listFile());
    const HeaderCheck check = readWaveHeader(dir.file("list.wav"));
    ASSERT_TRUE(check.accepted()) << check.error;
    EXPECT_EQ(check.info.frameCount, 100);

    const LoadedInput input = loadSamples(dir.file("list.wav"), check.info);
    ASSERT_TRUE(input.loaded);
    EXPECT_EQ(input.inputSamples, kListSamples);
    // The header a canonical file of the same samples has.
    const std::vector<std::uint8_t> canonical = waveFile(kListSamples);
    EXPECT_TRUE(std::equal(input.headerBytes.begin(), input.headerBytes.end(), canonical.begin()));

    // Written and read again: a canonical file of 44 + 4N bytes with the samples written.
    std::vector<std::int16_t> output = kListSamples;
    std::reverse(output.begin(), output.end());
    ASSERT_TRUE(writeOutputWave(dir.file("out.wav"), input.headerBytes, output).written);
    EXPECT_EQ(readBytes(dir.file("out.wav")), waveFile(output));
    const HeaderCheck again = readWaveHeader(dir.file("out.wav"));
    ASSERT_TRUE(again.accepted());
    EXPECT_EQ(again.info.frameCount, 100);
    EXPECT_EQ(again.info.dataOffset, 44u);
}

TEST(WaveChunks, CanonicalHeaderHoldsTheTrueSizes) {
    for (const std::uint32_t frames : {0u, 1u, 441000u}) {
        const HeaderBytes header = canonicalWaveHeader(frames);
        const std::vector<std::uint8_t> expected = canonicalWave(4 * frames);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), expected.begin())) << frames;
    }
}

}  // namespace
