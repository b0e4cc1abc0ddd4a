#include <cmath>
#include <cstring>

#include "wave/wave_reader.hpp"

namespace {

constexpr std::int32_t kRequiredRate = 44100;
constexpr double kLongestDuration = 10.0;

// The chunk list starts behind "RIFF", its size and "WAVE".
constexpr std::uint64_t kFirstChunk = 12;
constexpr std::size_t kChunkHeaderSize = 8;
// The part of a format chunk that holds the fields looked at: format code, channels, rate,
// byte rate, block align, bits per sample.
constexpr std::size_t kFormatFieldsSize = 16;
// Real files hold a handful of chunks; a walk this long is given up rather than followed over
// a file of empty chunks.
constexpr int kMostChunks = 65536;

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::int16_t littleEndianSigned16(const std::uint8_t* bytes) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0]) |
                                     static_cast<std::uint16_t>(bytes[1]) << 8);
}

void put16(HeaderBytes& header, int offset, std::uint16_t value) {
    header[offset] = static_cast<std::uint8_t>(value & 0xFF);
    header[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(HeaderBytes& header, int offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        header[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void putTag(HeaderBytes& header, int offset, const char* tag) {
    std::memcpy(header.data() + offset, tag, 4);
}

HeaderCheck refused(WaveError error) {
    return HeaderCheck{error, WaveInfo{}};
}

// Where the format and data chunks lie, as far as the chunk list shows them.
struct ChunkPlaces {
    bool formatFound = false;
    std::array<std::uint8_t, kFormatFieldsSize> formatFields{};
    bool dataFound = false;
    std::uint64_t dataOffset = 0;  // of the first sample byte
    std::uint32_t dataLength = 0;
};

// Follows the chunks from byte 12, each an identifier, a 32-bit size and its bytes, padded to
// an even length. The walk ends where both chunks are found, where a chunk header is not whole,
// or at a chunk that runs past the end of the file, after which nothing can be found. A data
// chunk longer than the file is still found (its missing samples read as 0, as in a file cut
// short); a format chunk is taken only when it is whole and holds the fields.
ChunkPlaces findChunks(std::uint64_t size, const WaveByteReader& read) {
    ChunkPlaces places;
    std::uint64_t offset = kFirstChunk;
    for (int walked = 0; walked < kMostChunks; ++walked) {
        std::uint8_t head[kChunkHeaderSize];
        if (offset > size || size - offset < kChunkHeaderSize ||
            read(offset, head, kChunkHeaderSize) != kChunkHeaderSize) {
            break;
        }
        const std::uint32_t length = littleEndian32(head + 4);
        const std::uint64_t body = offset + kChunkHeaderSize;
        if (!places.dataFound && std::memcmp(head, "data", 4) == 0) {
            places.dataFound = true;
            places.dataOffset = body;
            places.dataLength = length;
        }
        if (places.formatFound && places.dataFound) {
            break;
        }
        if (length > size - body) {
            break;
        }
        if (!places.formatFound && std::memcmp(head, "fmt ", 4) == 0 &&
            length >= kFormatFieldsSize) {
            places.formatFound =
                read(body, places.formatFields.data(), kFormatFieldsSize) == kFormatFieldsSize;
            if (places.formatFound && places.dataFound) {
                break;
            }
        }
        offset = body + length + (length & 1u);
    }
    return places;
}

}  // namespace

HeaderCheck decodeWaveHeader(std::uint64_t size, const WaveByteReader& read) {
    HeaderBytes header{};
    const std::size_t present =
        size > 0 ? read(0, header.data(), size < header.size() ? size : header.size()) : 0;

    // The canonical layout: every field at its fixed offset, the samples from byte 44.
    const std::uint8_t* format = header.data() + 20;
    WaveInfo info;
    info.dataLength = littleEndian32(header.data() + 40);
    info.dataOffset = kWaveHeaderSize;

    // Any other layout: the fields from the format chunk and the samples from the data chunk,
    // wherever the chunk list puts them. A file without a data chunk holds no samples; one
    // without a usable format chunk is judged by the bytes at the fixed offsets.
    ChunkPlaces places;
    if (std::memcmp(header.data() + 36, "data", 4) != 0) {
        places = findChunks(size, read);
        if (places.formatFound) {
            format = places.formatFields.data();
        }
        info.dataLength = places.dataFound ? places.dataLength : 0;
        info.dataOffset = places.dataFound ? places.dataOffset : 0;
    }

    info.formatTag = littleEndianSigned16(format);
    info.channelCount = format[2];  // the high byte of the channel count is never looked at
    info.sampleRate = static_cast<std::int32_t>(littleEndian32(format + 4));
    info.bitsPerSample = littleEndianSigned16(format + 14);

    if (std::memcmp(header.data() + 8, "WAVE", 4) != 0) {
        return refused(WaveError::NotWave);
    }
    if (info.formatTag != 1) {
        return refused(WaveError::NotPcm);
    }
    if (info.channelCount != 2) {
        return refused(WaveError::NotStereo);
    }
    if (info.bitsPerSample != 16) {
        return refused(WaveError::Not16Bit);
    }
    if (info.sampleRate != kRequiredRate) {
        return refused(WaveError::WrongRate);
    }

    // Whole frames of the data length, an exact half going to the even neighbour. The quotient
    // is at most 2^30, so it is exact in a double and fits the frame count.
    const double frames = static_cast<double>(info.dataLength) * 8.0 /
                          (static_cast<double>(info.bitsPerSample) * info.channelCount);
    info.frameCount = static_cast<std::int32_t>(std::nearbyint(frames));
    info.duration = static_cast<double>(info.frameCount) / info.sampleRate;
    if (!(info.duration <= kLongestDuration)) {
        return refused(WaveError::TooLong);
    }
    // Nothing to process: a data length below 3 bytes, no data chunk, or a file that ends inside
    // its header (whose data length is then only partly present and has no samples behind it).
    if (info.frameCount == 0 || present < header.size()) {
        return refused(WaveError::NoSampleData);
    }

    return HeaderCheck{WaveError::None, info};
}

HeaderCheck decodeWaveHeader(const std::uint8_t* bytes, std::size_t available) {
    return decodeWaveHeader(
        available, [bytes, available](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
            if (offset >= available) {
                return std::size_t{0};
            }
            const std::size_t from = static_cast<std::size_t>(offset);
            const std::size_t taken = count < available - from ? count : available - from;
            std::memcpy(into, bytes + from, taken);
            return taken;
        });
}

HeaderBytes canonicalWaveHeader(std::uint32_t frameCount) {
    const std::uint32_t dataBytes = 4 * frameCount;
    HeaderBytes header{};
    putTag(header, 0, "RIFF");
    put32(header, 4, 36 + dataBytes);
    putTag(header, 8, "WAVE");
    putTag(header, 12, "fmt ");
    put32(header, 16, 16);
    put16(header, 20, 1);
    put16(header, 22, 2);
    put32(header, 24, static_cast<std::uint32_t>(kRequiredRate));
    put32(header, 28, static_cast<std::uint32_t>(kRequiredRate) * 4);
    put16(header, 32, 4);
    put16(header, 34, 16);
    putTag(header, 36, "data");
    put32(header, 40, dataBytes);
    return header;
}
