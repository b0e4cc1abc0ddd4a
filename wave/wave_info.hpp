#pragma once

#include <array>
#include <cstdint>

inline constexpr int kWaveHeaderSize = 44;
using HeaderBytes = std::array<std::uint8_t, kWaveHeaderSize>;

// The accepted input file's facts, as its 44-byte header gives them, or, where its data chunk
// is not at byte 44, as its format and data chunks give them.
struct WaveInfo {
    std::int16_t formatTag = 0;     // audio format code at offset 20; 1 is PCM
    std::uint8_t channelCount = 0;  // the low byte at offset 22 alone
    std::int32_t sampleRate = 0;
    std::int16_t bitsPerSample = 0;
    std::uint32_t dataLength = 0;  // byte count of the sample data, as the header says
    std::int32_t frameCount = 0;   // from dataLength alone, not from the file's size
    double duration = 0.0;         // seconds
    HeaderBytes headerBytes{};     // filled when the samples are loaded
    std::uint64_t dataOffset = kWaveHeaderSize;  // where the sample data starts in the file
};

// The 44-byte header of a canonical 16-bit stereo 44100 Hz PCM file of `frameCount` frames.
HeaderBytes canonicalWaveHeader(std::uint32_t frameCount);
