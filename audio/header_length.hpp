#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// The length an audio file's header promises, read from the header itself. libsndfile measures
// a file that ends before its header says against the file's size and reports only what is
// there; this is what was promised, so that a file cut short (an interrupted copy or download)
// can be told apart from a short one.

// Reads up to `size` bytes at `offset` into `data`; returns how many it read (fewer at the end).
using ByteReader =
    std::function<std::size_t(std::uint64_t offset, unsigned char* data, std::size_t size)>;

// The frames the header of a file in `container` (SF_FORMAT_WAV, ...) promises, with
// `bytesPerFrame` bytes of samples a frame (0 when the samples are compressed). -1 where the
// header does not say: a container without a length in its header, a size written as unknown
// (as on a pipe), compressed samples in a container that gives the length in bytes, or a
// header that cannot be read.
std::int64_t promisedFrames(int container, int bytesPerFrame, const ByteReader& read);
