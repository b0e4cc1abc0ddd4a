#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "tests/support/files.hpp"
#include "tests/support/wave_bytes.hpp"
#include "wave/wave_reader.hpp"

namespace {

TEST(CheckInputFile, AnswersWhetherTheNameOpensAsAFile) {
    TemporaryDirectory dir;
    ASSERT_FALSE(dir.path.empty());
    writeBytes(dir.file("song.wav"), canonicalWave(16, 16));
    writeBytes(dir.file("empty.wav"), {});
    writeBytes(dir.file("star*.wav"), canonicalWave(16, 16));
    writeBytes(dir.file("what?.wav"), canonicalWave(16, 16));
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);

    // Long names are used whole: the 255-character name exists, the 300-character name that
    // begins with it does not.
    const std::string longest(255, 'a');
    writeBytes(dir.file(longest), canonicalWave(16, 16));
    std::string deep = dir.path;
    while (deep.size() < 300) {
        deep += "/" + std::string(60, 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
    }
    writeBytes(deep + "/song.wav", canonicalWave(16, 16));

    const struct {
        std::string path;
        bool opens;
    } cases[] = {
        {dir.file("song.wav"), true},
        {dir.file("empty.wav"), true},
        {dir.file(longest), true},
        {deep + "/song.wav", true},
        {dir.file(longest + std::string(45, 'a')), false},
        {"", false},
        {dir.file("missing.wav"), false},
        {dir.file("star*.wav"), false},
        {dir.file("what?.wav"), false},
        {dir.file("folder"), false},
        {dir.file("pipe"), false},
        {dir.file("song.wav") + std::string(1, '\0') + "x", false},
        {dir.file("song.wav/inner"), false},
        {"/dev/null", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checkInputFile(c.path), c.opens) << c.path.substr(0, 80);
    }
}

TEST(CheckInputFile, UnreadableFileDoesNotOpen) {
    if (!ordinaryUserAvailable()) {
        GTEST_SKIP() << "no ordinary user to check permissions with";
    }
    TemporaryDirectory dir;
    writeBytes(dir.file("locked.wav"), canonicalWave(16, 16));
    ASSERT_EQ(::chmod(dir.file("locked.wav").c_str(), 0200), 0);
    ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
    const std::string path = dir.file("locked.wav");
    EXPECT_TRUE(holdsForAnOrdinaryUser([&] {
        return !checkInputFile(path) && readWaveHeader(path).error == WaveError::FileNotFound;
    }));
    // The same file, readable again, opens: the refusal above came from its permissions.
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_TRUE(holdsForAnOrdinaryUser([&] { return checkInputFile(path); }));
}

TEST(ReadWaveHeader, ReadsTheFileOrSaysItIsNotThere) {
    TemporaryDirectory dir;
    writeBytes(dir.file("song.wav"), canonicalWave(40, 40));
    writeBytes(dir.file("empty.wav"), {});
    std::vector<std::uint8_t> longFormat = canonicalWave(8, 64);
    put32(longFormat, 16, 40);  // a longer format chunk is still read at the fixed offsets
    writeBytes(dir.file("long-format.wav"), longFormat);
    std::vector<std::uint8_t> cut = canonicalWave(8);
    cut.resize(30);
    writeBytes(dir.file("cut.wav"), cut);

    const HeaderCheck song = readWaveHeader(dir.file("song.wav"));
    ASSERT_TRUE(song.accepted());
    EXPECT_EQ(song.info.frameCount, 10);
    EXPECT_EQ(song.info.dataLength, 40u);

    const HeaderCheck longer = readWaveHeader(dir.file("long-format.wav"));
    ASSERT_TRUE(longer.accepted());
    EXPECT_EQ(longer.info.frameCount, 2);

    const HeaderCheck empty = readWaveHeader(dir.file("empty.wav"));
    EXPECT_EQ(empty.error, WaveError::NotWave);

    EXPECT_EQ(readWaveHeader(dir.file("cut.wav")).error, WaveError::Not16Bit);

    for (const std::string& path : {dir.file("missing.wav"), dir.path, std::string()}) {
        const HeaderCheck missing = readWaveHeader(path);
        EXPECT_EQ(missing.error, WaveError::FileNotFound);
    }
}

WaveInfo infoFor(const std::string& path) {
    const HeaderCheck check = readWaveHeader(path);
    EXPECT_TRUE(check.accepted()) << check.error;
    return check.info;
}

TEST(LoadSamples, ReadsHeaderBytesAndLittleEndianFrames) {
    TemporaryDirectory dir;
    std::vector<std::uint8_t> bytes = canonicalWave(12);
    bytes[23] = 0x55;  // kept in the header bytes though never examined
    bytes[4] = 0xEE;
    const std::vector<std::int16_t> samples = {1, -1, 32767, -32768, 258, -300};
    appendSamples(bytes, samples);
    bytes.push_back(0x99);  // beyond the data length: not loaded
    writeBytes(dir.file("song.wav"), bytes);

    const LoadedInput input = loadSamples(dir.file("song.wav"), infoFor(dir.file("song.wav")));
    ASSERT_TRUE(input.loaded);
    EXPECT_TRUE(input.reason.empty());
    EXPECT_TRUE(std::equal(input.headerBytes.begin(), input.headerBytes.end(), bytes.begin()));
    EXPECT_EQ(input.inputSamples, samples);
}

TEST(LoadSamples, FileShorterThanItsHeaderSaysLeavesZeros) {
    TemporaryDirectory dir;
    std::vector<std::uint8_t> bytes = canonicalWave(4000, 10);  // 1000 frames claimed, 10 bytes
    writeBytes(dir.file("short.wav"), bytes);
    const LoadedInput input = loadSamples(dir.file("short.wav"), infoFor(dir.file("short.wav")));
    ASSERT_TRUE(input.loaded);
    ASSERT_EQ(input.inputSamples.size(), 2000u);
    EXPECT_EQ(input.inputSamples[0], 0x0201);
    EXPECT_EQ(input.inputSamples[4], 0x0A09);
    for (std::size_t k = 5; k < input.inputSamples.size(); ++k) {
        ASSERT_EQ(input.inputSamples[k], 0) << k;
    }

    // A 3-byte data length is one frame whose last byte lies past the file's end.
    writeBytes(dir.file("three.wav"), canonicalWave(3, 3));
    const LoadedInput three = loadSamples(dir.file("three.wav"), infoFor(dir.file("three.wav")));
    ASSERT_TRUE(three.loaded);
    EXPECT_EQ(three.inputSamples, (std::vector<std::int16_t>{0x0201, 0x0003}));

    // A header with no samples behind it at all.
    writeBytes(dir.file("bare.wav"), canonicalWave(8));
    const LoadedInput bare = loadSamples(dir.file("bare.wav"), infoFor(dir.file("bare.wav")));
    ASSERT_TRUE(bare.loaded);
    EXPECT_EQ(bare.inputSamples, std::vector<std::int16_t>(4, 0));
}

TEST(LoadSamples, EveryCutOfAValidFileIsRefusedOrLoadsWhatItHolds) {
    TemporaryDirectory dir;
    const std::vector<std::uint8_t> whole = canonicalWave(300 * 4, 300 * 4);
    const WaveInfo info = decodeWaveHeader(whole.data(), whole.size()).info;
    // Every cut inside the header and a sample of those inside the data, the last ones included.
    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= whole.size(); length += length < 48 ? 1 : 37) {
        lengths.push_back(length);
    }
    lengths.insert(lengths.end(), {whole.size() - 2, whole.size() - 1, whole.size()});

    for (const std::size_t length : lengths) {
        const std::string path = dir.file("cut" + std::to_string(length) + ".wav");
        writeBytes(path, std::vector<std::uint8_t>(whole.begin(), whole.begin() + length));
        const HeaderCheck check = readWaveHeader(path);
        if (length < 44) {
            EXPECT_TRUE(isHeaderRefusal(check.error)) << length << ": " << check.error;
        } else {
            EXPECT_TRUE(check.accepted()) << length;
        }

        // Loaded with the whole file's facts, as when the file shrinks after it was accepted:
        // the bytes it still holds, then zeros.
        const LoadedInput input = loadSamples(path, info);
        ASSERT_TRUE(input.loaded) << length << ": " << input.reason;
        ASSERT_EQ(input.inputSamples.size(), 600u) << length;
        std::vector<std::uint8_t> loaded(input.headerBytes.begin(), input.headerBytes.end());
        appendSamples(loaded, input.inputSamples);
        std::vector<std::uint8_t> expected(whole.begin(), whole.begin() + length);
        expected.resize(whole.size(), 0);
        EXPECT_EQ(loaded, expected) << length;
    }
}

TEST(LoadSamples, FileThatNoLongerOpensGivesTheSystemsReason) {
    TemporaryDirectory dir;
    writeBytes(dir.file("song.wav"), canonicalWave(16, 16));
    const WaveInfo info = infoFor(dir.file("song.wav"));
    ASSERT_EQ(std::remove(dir.file("song.wav").c_str()), 0);

    const LoadedInput gone = loadSamples(dir.file("song.wav"), info);
    EXPECT_FALSE(gone.loaded);
    EXPECT_EQ(gone.reason, std::strerror(ENOENT));
    EXPECT_EQ(gone.inputSamples, std::vector<std::int16_t>(8, 0));
    EXPECT_EQ(gone.headerBytes, HeaderBytes{});

    ASSERT_EQ(::mkdir(dir.file("song.wav").c_str(), 0755), 0);
    const LoadedInput folder = loadSamples(dir.file("song.wav"), info);
    EXPECT_FALSE(folder.loaded);
    EXPECT_EQ(folder.reason, std::strerror(EISDIR));
}

}  // namespace
