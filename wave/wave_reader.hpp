#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wave/wave_info.hpp"

// Outcome of reading a header: accepted, or the title and text of the first failed check.
struct HeaderCheck {
    bool accepted = false;
    bool fileNotFound = false;  // the file could not be opened at all (the file-not-found box)
    WaveInfo info;
    std::string title;
    std::string message;
};

// Can the typed name be opened for reading as a file?
bool checkInputFile(const std::string& path);

// Decodes and checks a header from the first `available` bytes of a file (missing bytes read
// as 0; more than 44 are not looked at).
HeaderCheck decodeWaveHeader(const std::uint8_t* bytes, std::size_t available);

// Opens the file, reads its first 44 bytes and checks them.
HeaderCheck readWaveHeader(const std::string& path);

struct LoadedInput {
    bool loaded = false;  // false: the file could no longer be opened or read
    std::string reason;   // the system's reason when not loaded
    HeaderBytes headerBytes{};
    std::vector<std::int16_t> inputSamples;  // 2N values, left then right; zeros past the end
};

// Reads the 44 header bytes and 2N samples from offset 44 in one read each.
LoadedInput loadSamples(const std::string& path, const WaveInfo& info);
