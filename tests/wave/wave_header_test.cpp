#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "tests/support/files.hpp"
#include "tests/support/wave_bytes.hpp"
#include "wave/wave_messages.hpp"
#include "wave/wave_reader.hpp"

namespace {

HeaderCheck decode(const std::vector<std::uint8_t>& bytes) {
    return decodeWaveHeader(bytes.data(), bytes.size());
}

struct CheckCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> change;
    const char* message;  // nullptr: accepted
};

TEST(WaveHeaderChecks, FirstFailedCheckIsReportedWithItsText) {
    const std::vector<CheckCase> cases = {
        {"canonical", [](auto&) {}, nullptr},
        {"form type in lower case", [](auto& b) { b[8] = 'w'; }, kNotWaveText},
        {"form type WAV blank", [](auto& b) { b[11] = ' '; }, kNotWaveText},
        {"form type missing", [](auto& b) { put32(b, 8, 0); }, kNotWaveText},
        {"not a wave and not pcm", [](auto& b) { b[9] = 'V', put16(b, 20, 3); }, kNotWaveText},
        {"extensible format reads as -2", [](auto& b) { put16(b, 20, 65534); }, kNotPcmText},
        {"format 0", [](auto& b) { put16(b, 20, 0); }, kNotPcmText},
        {"format 257", [](auto& b) { put16(b, 20, 257); }, kNotPcmText},
        {"mono", [](auto& b) { put16(b, 22, 1); }, kNotStereoText},
        {"mono 8-bit", [](auto& b) { put16(b, 22, 1), put16(b, 34, 8); }, kNotStereoText},
        {"channel bytes 2, 1 read as 2", [](auto& b) { put16(b, 22, 258); }, nullptr},
        {"channel bytes 0, 2", [](auto& b) { put16(b, 22, 512); }, kNotStereoText},
        {"8-bit", [](auto& b) { put16(b, 34, 8); }, kNot16BitText},
        {"24-bit", [](auto& b) { put16(b, 34, 24); }, kNot16BitText},
        {"24-bit at 48000 Hz", [](auto& b) { put16(b, 34, 24), put32(b, 24, 48000); },
         kNot16BitText},
        {"48000 Hz", [](auto& b) { put32(b, 24, 48000); }, kWrongRateText},
        {"44101 Hz", [](auto& b) { put32(b, 24, 44101); }, kWrongRateText},
        {"rate with a high byte set", [](auto& b) { put32(b, 24, 44100 + (1u << 24)); },
         kWrongRateText},
        {"48000 Hz and too long", [](auto& b) { put32(b, 24, 48000), put32(b, 40, ~0u); },
         kWrongRateText},
        {"441000 frames", [](auto& b) { put32(b, 40, 441000 * 4); }, nullptr},
        {"441001 frames", [](auto& b) { put32(b, 40, 441001 * 4); }, kTooLongText},
        {"2147483648 bytes", [](auto& b) { put32(b, 40, 2147483648u); }, kTooLongText},
        {"largest data length", [](auto& b) { put32(b, 40, ~0u); }, kTooLongText},
        {"data length 0", [](auto& b) { put32(b, 40, 0); }, kNoSampleDataText},
        {"data length 1", [](auto& b) { put32(b, 40, 1); }, kNoSampleDataText},
        {"data length 2", [](auto& b) { put32(b, 40, 2); }, kNoSampleDataText},
        {"data length 3", [](auto& b) { put32(b, 40, 3); }, nullptr},
        {"unexamined fields", [](auto& b) { put32(b, 0, 0), put32(b, 28, 7), put16(b, 32, 9); },
         nullptr},
    };
    for (const CheckCase& c : cases) {
        std::vector<std::uint8_t> bytes = canonicalWave(400);
        c.change(bytes);
        const HeaderCheck check = decode(bytes);
        if (c.message == nullptr) {
            EXPECT_TRUE(check.accepted) << c.name << ": " << check.message;
            EXPECT_TRUE(check.message.empty()) << c.name;
        } else {
            EXPECT_FALSE(check.accepted) << c.name;
            EXPECT_EQ(check.title, "  ERROR") << c.name;
            EXPECT_EQ(check.message, c.message) << c.name;
        }
        EXPECT_FALSE(check.fileNotFound) << c.name;
    }
}

TEST(WaveHeaderChecks, MessageTextsAreTheSystemsOwn) {
    EXPECT_STREQ(kNotWaveText, "This is not a Wave file ");
    EXPECT_STREQ(kNotPcmText, "This is not a PCM format Wave file ");
    EXPECT_STREQ(kNotStereoText, "This is not a stereo Wave file ");
    EXPECT_STREQ(kNot16BitText, "This is not a 16-bit Wave file ");
    EXPECT_STREQ(kWrongRateText, "This file does not have a sampling rate of 44.1kHz ");
    EXPECT_STREQ(kTooLongText, "File duration is limited to 10 seconds. This file is too long ");
    EXPECT_STREQ(kNoSampleDataText, "This file holds no sample data ");
    EXPECT_STREQ(kFileNotFoundTitle, "              ERROR");
    EXPECT_EQ(std::string(kFileNotFoundText),
              std::string("          File not found.") + '\\' + "nPlease enter a valid filename");
}

TEST(WaveHeaderChecks, FieldsAreDecodedAtTheirOffsets) {
    std::vector<std::uint8_t> bytes = canonicalWave(176400 + 3);
    bytes[23] = 0x7F;  // never read
    const HeaderCheck accepted = decode(bytes);
    ASSERT_TRUE(accepted.accepted);
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
        ASSERT_TRUE(check.accepted) << c.dataLength;
        EXPECT_EQ(check.info.frameCount, c.frames) << c.dataLength;
        EXPECT_EQ(check.info.duration, static_cast<double>(c.frames) / 44100.0) << c.dataLength;
    }
    // 441000.75 frames round up to 441001: too long.
    EXPECT_EQ(decode(canonicalWave(1764003)).message, kTooLongText);
    EXPECT_EQ(decode(canonicalWave(1764000)).info.duration, 10.0);
    EXPECT_EQ(decode(canonicalWave(22050 * 4)).info.duration, 0.5);
}

TEST(WaveHeaderChecks, EveryCutOfAValidFileIsReadOrRefused) {
    const std::set<std::string> known = {kNotWaveText,     kNotPcmText,    kNotStereoText,
                                         kNot16BitText,    kWrongRateText, kTooLongText,
                                         kNoSampleDataText};
    const std::vector<std::uint8_t> whole = canonicalWave(300 * 4, 300 * 4);
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        // A copy of exactly the cut's size: the sanitizer build catches any read past it.
        const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + length);
        const HeaderCheck check = decodeWaveHeader(cut.data(), cut.size());
        if (length < 44) {
            EXPECT_FALSE(check.accepted) << length;
            EXPECT_EQ(check.title, kCheckFailedTitle) << length;
            EXPECT_EQ(known.count(check.message), 1u) << length << ": " << check.message;
        } else {
            EXPECT_TRUE(check.accepted) << length;
            EXPECT_EQ(check.info.frameCount, 300) << length;
        }
    }
    EXPECT_EQ(decodeWaveHeader(nullptr, 0).message, kNotWaveText);
}

TEST(WaveHeaderChecks, HeaderEndingInsideItsDataLengthIsRefused) {
    // Bytes 40 to 42 alone would say 3, 16 or 1764000 bytes of data; bytes 43 and beyond are
    // missing, and so are the samples.
    const std::uint32_t lengths[] = {3, 16, 0x40, 1764000};
    for (const std::uint32_t dataLength : lengths) {
        const std::vector<std::uint8_t> bytes = canonicalWave(dataLength);
        for (std::size_t available = 41; available < 44; ++available) {
            const HeaderCheck check = decodeWaveHeader(bytes.data(), available);
            EXPECT_FALSE(check.accepted) << dataLength << " " << available;
            EXPECT_EQ(check.message, kNoSampleDataText) << dataLength << " " << available;
        }
    }
    // A partial length that is already too long reports the duration first.
    const std::vector<std::uint8_t> longer = canonicalWave(0x00FFFFFF);
    EXPECT_EQ(decodeWaveHeader(longer.data(), 43).message, kTooLongText);
}

}  // namespace
