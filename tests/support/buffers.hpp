#pragma once

// Signals and file facts as the chain's stages take them.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dsp/sample_buffer.hpp"
#include "wave/wave_info.hpp"

// A buffer holding `values`.
inline SampleBuffer bufferOf(const std::vector<double>& values) {
    SampleBuffer buffer(values.size());
    std::copy(values.begin(), values.end(), buffer.begin());
    return buffer;
}

// The facts of an accepted 16-bit stereo 44100 Hz input of `frames` frames.
inline WaveInfo acceptedWaveInfo(std::int32_t frames) {
    WaveInfo info;
    info.formatTag = 1;
    info.channelCount = 2;
    info.sampleRate = 44100;
    info.bitsPerSample = 16;
    info.dataLength = static_cast<std::uint32_t>(frames) * 4;
    info.frameCount = frames;
    info.duration = static_cast<double>(frames) / 44100.0;
    return info;
}
