#include "tests/support/wave_bytes.hpp"

#include <algorithm>

void put16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void appendSamples(std::vector<std::uint8_t>& bytes, const std::vector<std::int16_t>& samples) {
    for (const std::int16_t sample : samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::uint8_t>(bits & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
    }
}

namespace {

void putTag(std::vector<std::uint8_t>& bytes, std::size_t offset, const std::string& tag) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(i < tag.size() ? tag[i] : ' ');
    }
}

// The 44 header bytes of a 16-bit PCM file.
std::vector<std::uint8_t> header(int channels, int rate, std::uint32_t dataLength) {
    std::vector<std::uint8_t> bytes(44, 0);
    putTag(bytes, 0, "RIFF");
    put32(bytes, 4, 36 + dataLength);
    putTag(bytes, 8, "WAVE");
    putTag(bytes, 12, "fmt ");
    put32(bytes, 16, 16);
    put16(bytes, 20, 1);
    put16(bytes, 22, static_cast<std::uint16_t>(channels));
    put32(bytes, 24, static_cast<std::uint32_t>(rate));
    put32(bytes, 28, static_cast<std::uint32_t>(rate * channels * 2));
    put16(bytes, 32, static_cast<std::uint16_t>(channels * 2));
    put16(bytes, 34, 16);
    putTag(bytes, 36, "data");
    put32(bytes, 40, dataLength);
    return bytes;
}

}  // namespace

std::vector<std::uint8_t> canonicalWave(std::uint32_t dataLength, std::size_t sampleBytes) {
    std::vector<std::uint8_t> bytes = header(2, 44100, dataLength);
    for (std::size_t i = 0; i < sampleBytes; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i + 1));
    }
    return bytes;
}

std::vector<std::uint8_t> waveFile(const std::vector<std::int16_t>& samples, int channels,
                                   int rate) {
    std::vector<std::uint8_t> bytes =
        header(channels, rate, static_cast<std::uint32_t>(samples.size() * 2));
    appendSamples(bytes, samples);
    return bytes;
}

std::vector<std::uint8_t> formatFields(int channels, int rate, int bits, int formatTag,
                                       std::size_t extra) {
    std::vector<std::uint8_t> bytes(16 + extra, 0);
    const int align = channels * bits / 8;
    put16(bytes, 0, static_cast<std::uint16_t>(formatTag));
    put16(bytes, 2, static_cast<std::uint16_t>(channels));
    put32(bytes, 4, static_cast<std::uint32_t>(rate));
    put32(bytes, 8, static_cast<std::uint32_t>(rate * align));
    put16(bytes, 12, static_cast<std::uint16_t>(align));
    put16(bytes, 14, static_cast<std::uint16_t>(bits));
    return bytes;
}

std::vector<std::uint8_t> chunkedWave(const std::vector<WaveChunk>& chunks) {
    std::vector<std::uint8_t> bytes(12, 0);
    putTag(bytes, 0, "RIFF");
    putTag(bytes, 8, "WAVE");
    for (const WaveChunk& chunk : chunks) {
        const std::size_t at = bytes.size();
        bytes.resize(at + 8);
        putTag(bytes, at, chunk.id);
        put32(bytes, at + 4,
              chunk.declaredSize.value_or(static_cast<std::uint32_t>(chunk.body.size())));
        bytes.insert(bytes.end(), chunk.body.begin(), chunk.body.end());
        if (chunk.padded && chunk.body.size() % 2 == 1) {
            bytes.push_back(0);
        }
    }
    put32(bytes, 4, static_cast<std::uint32_t>(bytes.size() - 8));
    return bytes;
}

std::vector<std::uint8_t> withoutPeakTime(std::vector<std::uint8_t> bytes) {
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::uint32_t size = static_cast<std::uint32_t>(bytes[at + 4]) |
                                   static_cast<std::uint32_t>(bytes[at + 5]) << 8 |
                                   static_cast<std::uint32_t>(bytes[at + 6]) << 16 |
                                   static_cast<std::uint32_t>(bytes[at + 7]) << 24;
        if (std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes.begin() + static_cast<std::ptrdiff_t>(at + 4), "PEAK") &&
            size >= 8 && at + 16 <= bytes.size()) {
            put32(bytes, at + 12, 0);
        }
        at += 8 + static_cast<std::size_t>(size) + (size & 1);
    }
    return bytes;
}

bool isHeaderRefusal(WaveError error) {
    return error != WaveError::None && error != WaveError::FileNotFound;
}

std::ostream& operator<<(std::ostream& out, WaveError error) {
    static const char* const kNames[] = {"None",      "FileNotFound", "NotWave",
                                         "NotPcm",    "NotStereo",    "Not16Bit",
                                         "WrongRate", "TooLong",      "NoSampleData"};
    return out << kNames[static_cast<int>(error)];
}
