#include <cmath>
#include <cstring>

#include "wave/wave_messages.hpp"
#include "wave/wave_reader.hpp"

namespace {

constexpr std::int32_t kRequiredRate = 44100;
constexpr double kLongestDuration = 10.0;

std::uint32_t littleEndian32(const HeaderBytes& header, int offset) {
    return static_cast<std::uint32_t>(header[offset]) |
           static_cast<std::uint32_t>(header[offset + 1]) << 8 |
           static_cast<std::uint32_t>(header[offset + 2]) << 16 |
           static_cast<std::uint32_t>(header[offset + 3]) << 24;
}

std::int16_t littleEndianSigned16(const HeaderBytes& header, int offset) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(header[offset]) |
                                     static_cast<std::uint16_t>(header[offset + 1]) << 8);
}

HeaderCheck refused(const char* text) {
    HeaderCheck check;
    check.title = kCheckFailedTitle;
    check.message = text;
    return check;
}

}  // namespace

HeaderCheck decodeWaveHeader(const std::uint8_t* bytes, std::size_t available) {
    HeaderBytes header{};
    const std::size_t present = available < header.size() ? available : header.size();
    if (present > 0) {
        std::memcpy(header.data(), bytes, present);
    }

    WaveInfo info;
    info.formatTag = littleEndianSigned16(header, 20);
    info.channelCount = header[22];  // the high byte at 23 is never looked at
    info.sampleRate = static_cast<std::int32_t>(littleEndian32(header, 24));
    info.bitsPerSample = littleEndianSigned16(header, 34);
    info.dataLength = littleEndian32(header, 40);

    if (std::memcmp(header.data() + 8, "WAVE", 4) != 0) {
        return refused(kNotWaveText);
    }
    if (info.formatTag != 1) {
        return refused(kNotPcmText);
    }
    if (info.channelCount != 2) {
        return refused(kNotStereoText);
    }
    if (info.bitsPerSample != 16) {
        return refused(kNot16BitText);
    }
    if (info.sampleRate != kRequiredRate) {
        return refused(kWrongRateText);
    }

    // Whole frames of the data length, an exact half going to the even neighbour. The quotient
    // is at most 2^30, so it is exact in a double and fits the frame count.
    const double frames = static_cast<double>(info.dataLength) * 8.0 /
                          (static_cast<double>(info.bitsPerSample) * info.channelCount);
    info.frameCount = static_cast<std::int32_t>(std::nearbyint(frames));
    info.duration = static_cast<double>(info.frameCount) / info.sampleRate;
    if (!(info.duration <= kLongestDuration)) {
        return refused(kTooLongText);
    }
    // Nothing to process: a data length below 3 bytes, or a file that ends inside its header
    // (whose data length is then only partly present and has no samples behind it).
    if (info.frameCount == 0 || available < header.size()) {
        return refused(kNoSampleDataText);
    }

    HeaderCheck check;
    check.accepted = true;
    check.info = info;
    return check;
}
