#include "wave/wave_writer.hpp"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

#include "files/safe_output.hpp"

namespace {

// The interactive program's temporary files are ".cartrivex-" and six random characters; a device
// or FIFO it is given is written into, as it comes.
const OutputRules kWaveOutputRules{".cartrivex-", true};

// The header, then the samples low byte first.
int writeContents(int fd, const HeaderBytes& headerBytes,
                  const std::vector<std::int16_t>& outputSamples) {
    if (const int error = writeAll(fd, headerBytes.data(), headerBytes.size())) {
        return error;
    }
    if constexpr (std::endian::native == std::endian::little) {
        return writeAll(fd, outputSamples.data(), outputSamples.size() * sizeof(std::int16_t));
    } else {
        std::vector<unsigned char> bytes(outputSamples.size() * 2);
        for (std::size_t k = 0; k < outputSamples.size(); ++k) {
            const auto value = static_cast<std::uint16_t>(outputSamples[k]);
            bytes[2 * k] = static_cast<unsigned char>(value & 0xFF);
            bytes[2 * k + 1] = static_cast<unsigned char>(value >> 8);
        }
        return writeAll(fd, bytes.data(), bytes.size());
    }
}

}  // namespace

int writeAll(int fd, const void* data, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ssize_t put = ::write(fd, bytes, count);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes += put;
        count -= static_cast<std::size_t>(put);
    }
    return 0;
}

WriteResult writeOutputWave(const std::string& path, const HeaderBytes& headerBytes,
                            const std::vector<std::int16_t>& outputSamples) {
    WriteResult result;
    SafeOutput output(kWaveOutputRules);
    if (!output.begin(path, result.reason)) {
        return result;
    }
    if (const int error = writeContents(output.fd(), headerBytes, outputSamples)) {
        output.abandon();
        result.reason = std::strerror(error);
        return result;
    }
    result.written = output.commit(result.reason);
    return result;
}
