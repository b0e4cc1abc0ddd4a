#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "wave/wave_info.hpp"

// Why a file is refused: it cannot be opened, or the first of the header's checks it fails, in
// the order they are made.
enum class WaveError {
    None,
    FileNotFound,  // the file could not be opened at all
    NotWave,       // the form type is not "WAVE"
    NotPcm,        // the format code is not 1
    NotStereo,     // not two channels
    Not16Bit,      // not 16 bits a sample
    WrongRate,     // not 44100 Hz
    TooLong,       // longer than 10 seconds
    NoSampleData,  // no whole frame, or a header cut short
};

// Outcome of reading a header: accepted, or why not.
struct HeaderCheck {
    WaveError error = WaveError::None;
    WaveInfo info;

    bool accepted() const { return error == WaveError::None; }
};

// Can the typed name be opened for reading as a file?
bool checkInputFile(const std::string& path);

// Reads up to `count` bytes from `offset` into `into` and returns how many it read, fewer only
// where the bytes end.
using WaveByteReader =
    std::function<std::size_t(std::uint64_t offset, std::uint8_t* into, std::size_t count)>;

// Decodes and checks the header of a file of `size` bytes that `read` gives. When bytes 36 to
// 39 are "data", the fields are taken from their fixed offsets in the first 44 bytes (missing
// bytes read as 0) and nothing further is read. Otherwise the chunk list is walked from byte 12
// for the format and data chunks, and the fields come from the format chunk, the data length
// and `dataOffset` from the data chunk. The same checks, in the same order, decide either way.
HeaderCheck decodeWaveHeader(std::uint64_t size, const WaveByteReader& read);

// The same, over the first `available` bytes of a file held in memory.
HeaderCheck decodeWaveHeader(const std::uint8_t* bytes, std::size_t available);

// Opens the file and checks its header.
HeaderCheck readWaveHeader(const std::string& path);

struct LoadedInput {
    bool loaded = false;  // false: the file could no longer be opened or read
    std::string reason;   // the system's reason when not loaded
    // The header the output is written behind: the file's own first 44 bytes when its samples
    // start at byte 44, else a canonical header that describes the 2N output samples.
    HeaderBytes headerBytes{};
    std::vector<std::int16_t> inputSamples;  // 2N values, left then right; zeros past the end
};

// Reads the header bytes and 2N samples from `info.dataOffset` in one read each.
LoadedInput loadSamples(const std::string& path, const WaveInfo& info);
