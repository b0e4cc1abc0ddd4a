#include "audio/header_length.hpp"

#include <cstring>

#include <sndfile.h>

namespace {

// More chunks than any real file has before its samples: a damaged header ends the walk.
constexpr int kMostChunks = 4096;
constexpr std::uint32_t kUnknownSize32 = 0xFFFFFFFFu;

struct Bytes {
    const ByteReader& read;

    bool at(std::uint64_t offset, unsigned char* data, std::size_t size) const {
        return read(offset, data, size) == size;
    }
};

std::uint64_t littleEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int k = count - 1; k >= 0; --k) {
        value = value << 8 | bytes[k];
    }
    return value;
}

std::uint64_t bigEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int k = 0; k < count; ++k) {
        value = value << 8 | bytes[k];
    }
    return value;
}

std::int64_t framesOfBytes(std::uint64_t bytes, int bytesPerFrame) {
    if (bytesPerFrame <= 0 || bytes > static_cast<std::uint64_t>(INT64_MAX)) {
        return -1;
    }
    return static_cast<std::int64_t>(bytes / static_cast<std::uint64_t>(bytesPerFrame));
}

// RIFF and RIFX (WAV, extensible WAV) and their 64-bit forms RF64 and BW64, whose data size is
// in the ds64 chunk that comes first.
std::int64_t riffFrames(const Bytes& bytes, int bytesPerFrame) {
    unsigned char head[12];
    if (!bytes.at(0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0) {
        return -1;
    }
    const bool big = std::memcmp(head, "RIFX", 4) == 0;
    const bool wide = std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0;
    if (!big && !wide && std::memcmp(head, "RIFF", 4) != 0) {
        return -1;
    }
    std::int64_t wideDataSize = -1;
    std::uint64_t offset = 12;
    for (int chunk = 0; chunk < kMostChunks; ++chunk) {
        unsigned char header[8];
        if (!bytes.at(offset, header, sizeof header)) {
            return -1;
        }
        const std::uint64_t size = big ? bigEndian(header + 4, 4) : littleEndian(header + 4, 4);
        if (wide && std::memcmp(header, "ds64", 4) == 0) {
            unsigned char sizes[16];
            if (size < sizeof sizes || !bytes.at(offset + 8, sizes, sizeof sizes)) {
                return -1;
            }
            const std::uint64_t dataSize = littleEndian(sizes + 8, 8);
            wideDataSize = dataSize > static_cast<std::uint64_t>(INT64_MAX)
                               ? -1
                               : static_cast<std::int64_t>(dataSize);
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (size == kUnknownSize32) {
                return wide && wideDataSize >= 0 ? framesOfBytes(wideDataSize, bytesPerFrame) : -1;
            }
            return framesOfBytes(size, bytesPerFrame);
        }
        offset += 8 + size + (size & 1);
    }
    return -1;
}

// Sony Wave64: 16-byte GUIDs for names, 64-bit sizes that count the chunk's own 24-byte header,
// chunks aligned to 8 bytes.
std::int64_t wave64Frames(const Bytes& bytes, int bytesPerFrame) {
    static const unsigned char kRiff[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                            0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    static const unsigned char kTail[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1,
                                            0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    unsigned char head[40];
    if (!bytes.at(0, head, sizeof head) || std::memcmp(head, kRiff, 16) != 0 ||
        std::memcmp(head + 24, "wave", 4) != 0 || std::memcmp(head + 28, kTail, 12) != 0) {
        return -1;
    }
    constexpr std::uint64_t kChunkHeader = 24;
    std::uint64_t offset = 40;
    for (int chunk = 0; chunk < kMostChunks; ++chunk) {
        unsigned char header[kChunkHeader];
        if (!bytes.at(offset, header, sizeof header)) {
            return -1;
        }
        const std::uint64_t size = littleEndian(header + 16, 8);
        if (size < kChunkHeader || size > static_cast<std::uint64_t>(INT64_MAX)) {
            return -1;
        }
        if (std::memcmp(header, "data", 4) == 0 && std::memcmp(header + 4, kTail, 12) == 0) {
            return framesOfBytes(size - kChunkHeader, bytesPerFrame);
        }
        offset += (size + 7) / 8 * 8;
    }
    return -1;
}

// AIFF and AIFC: the COMM chunk counts the frames, whatever the samples' encoding.
std::int64_t aiffFrames(const Bytes& bytes) {
    unsigned char head[12];
    if (!bytes.at(0, head, sizeof head) || std::memcmp(head, "FORM", 4) != 0 ||
        (std::memcmp(head + 8, "AIFF", 4) != 0 && std::memcmp(head + 8, "AIFC", 4) != 0)) {
        return -1;
    }
    std::uint64_t offset = 12;
    for (int chunk = 0; chunk < kMostChunks; ++chunk) {
        unsigned char header[8];
        if (!bytes.at(offset, header, sizeof header)) {
            return -1;
        }
        const std::uint64_t size = bigEndian(header + 4, 4);
        if (std::memcmp(header, "COMM", 4) == 0) {
            unsigned char common[6];
            if (size < sizeof common || !bytes.at(offset + 8, common, sizeof common)) {
                return -1;
            }
            return static_cast<std::int64_t>(bigEndian(common + 2, 4));
        }
        offset += 8 + size + (size & 1);
    }
    return -1;
}

// Sun/NeXT AU: the data size is the third header field, all ones when it was not known.
std::int64_t auFrames(const Bytes& bytes, int bytesPerFrame) {
    unsigned char head[12];
    if (!bytes.at(0, head, sizeof head)) {
        return -1;
    }
    std::uint64_t size = 0;
    if (std::memcmp(head, ".snd", 4) == 0) {
        size = bigEndian(head + 8, 4);
    } else if (std::memcmp(head, "dns.", 4) == 0) {
        size = littleEndian(head + 8, 4);
    } else {
        return -1;
    }
    return size == kUnknownSize32 ? -1 : framesOfBytes(size, bytesPerFrame);
}

}  // namespace

std::int64_t promisedFrames(int container, int bytesPerFrame, const ByteReader& read) {
    const Bytes bytes{read};
    switch (container) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_RF64:
            return riffFrames(bytes, bytesPerFrame);
        case SF_FORMAT_W64:
            return wave64Frames(bytes, bytesPerFrame);
        case SF_FORMAT_AIFF:
            return aiffFrames(bytes);
        case SF_FORMAT_AU:
            return auFrames(bytes, bytesPerFrame);
        default:
            return -1;
    }
}
