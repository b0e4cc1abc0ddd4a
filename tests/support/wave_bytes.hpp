#pragma once

// Wave files built byte by byte, for the tests that read, check and write them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "wave/wave_reader.hpp"

void put16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value);
void put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value);

// Appends the samples as a wave file stores them: two bytes each, low byte first.
void appendSamples(std::vector<std::uint8_t>& bytes, const std::vector<std::int16_t>& samples);

// A canonical 16-bit stereo 44100 Hz header whose data length is `dataLength`, followed by
// `sampleBytes` bytes of sample data counting up from 1.
std::vector<std::uint8_t> canonicalWave(std::uint32_t dataLength, std::size_t sampleBytes = 0);

// A whole canonical 16-bit PCM file holding `samples` (interleaved), its sizes all true.
std::vector<std::uint8_t> waveFile(const std::vector<std::int16_t>& samples, int channels = 2,
                                   int rate = 44100);

// One chunk of a chunk list: its identifier, its bytes, and the size its header gives (the
// true size unless `declaredSize` says otherwise). `padded` adds the pad byte behind an odd
// size.
struct WaveChunk {
    std::string id;
    std::vector<std::uint8_t> body;
    std::optional<std::uint32_t> declaredSize = std::nullopt;
    bool padded = true;
};

// The 16 bytes of a PCM format chunk's fields, with `extra` bytes after them.
std::vector<std::uint8_t> formatFields(int channels = 2, int rate = 44100, int bits = 16,
                                       int formatTag = 1, std::size_t extra = 0);

// "RIFF", the size of what follows, "WAVE" and the chunks in order.
std::vector<std::uint8_t> chunkedWave(const std::vector<WaveChunk>& chunks);

// The bytes of a WAV file with the time stamp of its PEAK chunk (the second it was written, which
// libsndfile adds to float files) set to 0, so that two renders of it compare equal.
std::vector<std::uint8_t> withoutPeakTime(std::vector<std::uint8_t> bytes);

// Whether `error` is one of the header's checks failing (not acceptance, not a missing file).
bool isHeaderRefusal(WaveError error);

// The error's name, in failure messages.
std::ostream& operator<<(std::ostream& out, WaveError error);
