#include <gtest/gtest.h>

#include <functional>

#include "tests/support/files.hpp"
#include "tests/support/wave_bytes.hpp"
#include "wave/wave_reader.hpp"

namespace {

HeaderCheck decode(const std::vector<std::uint8_t>& bytes) {
    return decodeWaveHeader(bytes.data(), bytes.size());
}

struct CheckCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> change;
    WaveError error;  // None: accepted
};

TEST(WaveHeaderChecks, FirstFailedCheckIsReportedWithItsText) {
    const std::vector<CheckCase> cases = {
        {"canonical", [](auto&) {}, WaveError::None},
        {"form type in lower case", [](auto& b) { b[8] = 'w'; }, WaveError::NotWave},
        {"form type WAV blank", [](auto& b) { b[11] = ' '; }, WaveError::NotWave},
        {"form type missing", [](auto& b) { put32(b, 8, 0); }, WaveError::NotWave},
        {"not a wave and not pcm", [](auto& b) { b[9] = 'V', put16(b, 20, 3); },
         WaveError::NotWave},
        {"extensible format reads as -2", [](auto& b) { put16(b, 20, 65534); }, WaveError::NotPcm},
        {"format 0", [](auto& b) { put16(b, 20, 0); }, WaveError::NotPcm},
        {"format 257", [](auto& b) { put16(b, 20, 257); }, WaveError::NotPcm},
        {"mono", [](auto& b) { put16(b, 22, 1); }, WaveError::NotStereo},
        {"mono 8-bit", [](auto& b) { put16(b, 22, 1), put16(b, 34, 8); }, WaveError::NotStereo},
        {"channel bytes 2, 1 read as 2", [](auto& b) { put16(b, 22, 258); }, WaveError::None},
        {"channel bytes 0, 2", [](auto& b) { put16(b, 22, 512); }, WaveError::NotStereo},
        {"8-bit", [](auto& b) { put16(b, 34, 8); }, WaveError::Not16Bit},
        {"24-bit", [](auto& b) { put16(b, 34, 24); }, WaveError::Not16Bit},
        {"24-bit at 48000 Hz", [](auto& b) { put16(b, 34, 24), put32(b, 24, 48000); },
         WaveError::Not16Bit},
        {"48000 Hz", [](auto& b) { put32(b, 24, 48000); }, WaveError::WrongRate},
        {"44101 Hz", [](auto& b) { put32(b, 24, 44101); }, WaveError::WrongRate},
        {"rate with a high byte set", [](auto& b) { put32(b, 24, 44100 + (1u << 24)); },
         WaveError::WrongRate},
        {"48000 Hz and too long", [](auto& b) { put32(b, 24, 48000), put32(b, 40, ~0u); },
         WaveError::WrongRate},
        {"441000 frames", [](auto& b) { put32(b, 40, 441000 * 4); }, WaveError::None},
        {"441001 frames", [](auto& b) { put32(b, 40, 441001 * 4); }, WaveError::TooLong},
        {"2147483648 bytes", [](auto& b) { put32(b, 40, 2147483648u); }, WaveError::TooLong},
        {"largest data length", [](auto& b) { put32(b, 40, ~0u); }, WaveError::TooLong},
        {"data length 0", [](auto& b) { put32(b, 40, 0); }, WaveError::NoSampleData},
        {"data length 1", [](auto& b) { put32(b, 40, 1); }, WaveError::NoSampleData},
        {"data length 2", [](auto& b) { put32(b, 40, 2); }, WaveError::NoSampleData},
        {"data length 3", [](auto& b) { put32(b, 40, 3); }, WaveError::None},
        {"unexamined fields", [](auto& b) { put32(b, 0, 0), put32(b, 28, 7), put16(b, 32, 9); },
         WaveError::None},
    };
    for (const CheckCase& c : cases) {
        std::vector<std::uint8_t> bytes = canonicalWave(400);
        c.change(bytes);
        const HeaderCheck check = decode(bytes);
        EXPECT_EQ(check.error, c.error) << c.name;
        EXPECT_EQ(check.accepted(), c.error == WaveError::None) << c.name;
    }
}

TEST(WaveHeaderChecks, FieldsAreDecodedAtTheirOffsets) {
    std::vector<std::uint8_t> bytes = canonicalWave(176400 + 3);
    bytes[23] = 0x7F;  // never read
    const HeaderCheck accepted = decode(bytes);
    ASSERT_TRUE(accepted.accepted());
    EXPECT_EQ(accepted.info.formatTag, 1);
    EXPECT_EQ(accepted.info.channelCount, 2);
    EXPECT_EQ(accepted.info.sampleRate, 44100);
    EXPECT_EQ(accepted.info.bitsPerSample, 16);
    EXPECT_EQ(accepted.info.dataLength, 176403u);
    EXPECT_EQ(accepted.info.frameCount, 44101);
    EXPECT_DOUBLE_EQ(accepted.info.duration, 44101.0 / 44100.0);
}

TEST(WaveHeaderChecks, FrameCountRoundsHalfToEvenAndDurationFollows) {
    struct FrameCase {
        std::uint32_t dataLength;
        std::int32_t frames;
    };
    const FrameCase cases[] = {
        {3, 1},
        {4, 1},
        {5, 1},
        {6, 2},
        {7, 2},
        {10, 2},
        {11, 3},
        {14, 4},
        {18, 4},
        {22, 6},
        {44100 * 4, 44100},
        {1764000, 441000},
        {1764001, 441000},
        {1764002, 441000},
        {1763998, 441000},
        {1763994, 440998},
    };
    for (const FrameCase& c : cases) {
        const HeaderCheck check = decode(canonicalWave(c.dataLength));
        ASSERT_TRUE(check.accepted()) << c.dataLength;
        EXPECT_EQ(check.info.frameCount, c.frames) << c.dataLength;
        EXPECT_EQ(check.info.duration, static_cast<double>(c.frames) / 44100.0) << c.dataLength;
    }
    // 441000.75 frames round up to 441001: too long.
    EXPECT_EQ(decode(canonicalWave(1764003)).error, WaveError::TooLong);
    EXPECT_EQ(decode(canonicalWave(1764000)).info.duration, 10.0);
    EXPECT_EQ(decode(canonicalWave(22050 * 4)).info.duration, 0.5);
}

TEST(WaveHeaderChecks, EveryCutOfAValidFileIsReadOrRefused) {
    const std::vector<std::uint8_t> whole = canonicalWave(300 * 4, 300 * 4);
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        // A copy of exactly the cut's size: the sanitizer build catches any read past it.
        const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + length);
        const HeaderCheck check = decodeWaveHeader(cut.data(), cut.size());
        if (length < 44) {
            EXPECT_TRUE(isHeaderRefusal(check.error)) << length << ": " << check.error;
        } else {
            EXPECT_TRUE(check.accepted()) << length;
            EXPECT_EQ(check.info.frameCount, 300) << length;
        }
    }
    EXPECT_EQ(decodeWaveHeader(nullptr, 0).error, WaveError::NotWave);
}

TEST(WaveHeaderChecks, HeaderEndingInsideItsDataLengthIsRefused) {
    // Bytes 40 to 42 alone would say 3, 16 or 1764000 bytes of data; bytes 43 and beyond are
    // missing, and so are the samples.
    const std::uint32_t lengths[] = {3, 16, 0x40, 1764000};
    for (const std::uint32_t dataLength : lengths) {
        const std::vector<std::uint8_t> bytes = canonicalWave(dataLength);
        for (std::size_t available = 41; available < 44; ++available) {
            const HeaderCheck check = decodeWaveHeader(bytes.data(), available);
            EXPECT_FALSE(check.accepted()) << dataLength << " " << available;
            EXPECT_EQ(check.error, WaveError::NoSampleData) << dataLength << " " << available;
        }
    }
    // A partial length that is already too long reports the duration first.
    const std::vector<std::uint8_t> longer = canonicalWave(0x00FFFFFF);
    EXPECT_EQ(decodeWaveHeader(longer.data(), 43).error, WaveError::TooLong);
}

}  // namespace
