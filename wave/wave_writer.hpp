#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wave/dither_generator.hpp"
#include "wave/output_quantiser.hpp"
#include "wave/wave_info.hpp"

struct WriteResult {
    bool written = false;
    std::string reason;  // the system's reason when not written
};

// Writes the header bytes and the samples (little-endian) to a new file beside `path` and
// renames it over `path`, so an existing file is replaced whole or not at all. A symbolic link
// is followed and the file it names is replaced. An existing target that is not a regular file
// (a device, a FIFO) is written into directly; a directory is refused. A signal handler removes a
// half-written file with SafeOutput::discardPending (files/safe_output.hpp).
WriteResult writeOutputWave(const std::string& path, const HeaderBytes& headerBytes,
                            const std::vector<std::int16_t>& outputSamples);

// Writes all `count` bytes to `fd`, going on after interruptions; 0, or the errno of the write
// that failed.
int writeAll(int fd, const void* data, std::size_t count);
