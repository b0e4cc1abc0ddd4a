#include "wave/wave_reader.hpp"

#include <sys/stat.h>

#include <bit>
#include <utility>

#include "wave/input_file.hpp"

bool checkInputFile(const std::string& path) {
    const InputFile file(path);
    return file.isOpen();
}

HeaderCheck readWaveHeader(const std::string& path) {
    InputFile file(path);
    struct stat status {};
    if (!file.isOpen() || ::fstat(file.descriptor, &status) != 0) {
        return HeaderCheck{WaveError::FileNotFound, WaveInfo{}};
    }
    return decodeWaveHeader(static_cast<std::uint64_t>(status.st_size),
                            [&file](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
                                return file.readAt(static_cast<long long>(offset), into, count);
                            });
}

LoadedInput loadSamples(const std::string& path, const WaveInfo& info) {
    LoadedInput input;
    const std::size_t frames = info.frameCount > 0 ? static_cast<std::size_t>(info.frameCount) : 0;
    input.inputSamples.assign(2 * frames, 0);

    InputFile file(path);
    if (!file.isOpen()) {
        input.reason = std::move(file.reason);
        return input;
    }
    // The input's own header describes the output only where the samples follow it directly.
    if (info.dataOffset == kWaveHeaderSize) {
        file.readAt(0, input.headerBytes.data(), input.headerBytes.size());
    } else {
        input.headerBytes = canonicalWaveHeader(static_cast<std::uint32_t>(frames));
    }
    // The file's little-endian samples go straight into the array; past the file's end they
    // stay 0.
    file.readAt(static_cast<long long>(info.dataOffset), input.inputSamples.data(),
                input.inputSamples.size() * sizeof(std::int16_t));
    if constexpr (std::endian::native == std::endian::big) {
        for (std::int16_t& sample : input.inputSamples) {
            const auto bits = static_cast<std::uint16_t>(sample);
            sample = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8 | bits >> 8));
        }
    }
    if (!file.reason.empty()) {
        input.reason = std::move(file.reason);
        return input;
    }
    input.loaded = true;
    return input;
}
