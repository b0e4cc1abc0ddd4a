// Any bytes: either the facts of an acceptable file or the first failed check, and
// nothing read past the bytes given (libFuzzer's buffer is exactly `size` long).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wave/wave_reader.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool isHeaderRefusal(WaveError error) {
    return error != WaveError::None && error != WaveError::FileNotFound;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const HeaderCheck check = decodeWaveHeader(data, size);
    if (!check.accepted()) {
        require(isHeaderRefusal(check.error));
        return 0;
    }

    // Accepted: a whole header is there, and the facts are the ones its bytes hold.
    require(size >= 44);
    require(std::memcmp(data + 8, "WAVE", 4) == 0);
    const WaveInfo& info = check.info;
    require(info.formatTag == 1 && info.channelCount == 2 && info.sampleRate == 44100 &&
            info.bitsPerSample == 16);
    require(info.frameCount >= 1 && info.frameCount <= 441000);
    require(std::abs(static_cast<double>(info.frameCount) - info.dataLength / 4.0) <= 0.5);
    require(info.duration == static_cast<double>(info.frameCount) / 44100.0);

    if (std::memcmp(data + 36, "data", 4) == 0) {
        // The canonical layout: the length is the one at byte 40, and bytes past the header
        // are never looked at.
        const std::uint32_t dataLength =
            static_cast<std::uint32_t>(data[40]) | static_cast<std::uint32_t>(data[41]) << 8 |
            static_cast<std::uint32_t>(data[42]) << 16 | static_cast<std::uint32_t>(data[43]) << 24;
        require(info.dataLength == dataLength && info.dataOffset == 44);
        const HeaderCheck headerOnly = decodeWaveHeader(data, 44);
        require(headerOnly.accepted() && headerOnly.info.frameCount == info.frameCount);
    } else {
        // A walked chunk list: the data chunk's header lies whole inside the bytes, and its
        // length is the one that header holds.
        require(info.dataOffset >= 20 && info.dataOffset <= size);
        require(std::memcmp(data + info.dataOffset - 8, "data", 4) == 0);
        const std::uint8_t* length = data + info.dataOffset - 4;
        require(info.dataLength == (static_cast<std::uint32_t>(length[0]) |
                                    static_cast<std::uint32_t>(length[1]) << 8 |
                                    static_cast<std::uint32_t>(length[2]) << 16 |
                                    static_cast<std::uint32_t>(length[3]) << 24));
    }
    return 0;
}
