#pragma once

#include <cstdint>
#include <vector>

#include "dsp/sample_buffer.hpp"

struct MidSideComponents {
    SampleBuffer midComponent;   // (L + R) / 2: the lateral modulation component
    SampleBuffer sideComponent;  // (L - R) / 2: passes the chain untouched
};

// Takes the interleaved left/right samples over and releases them once both components are
// filled. The halves are exact.
MidSideComponents convertToMidSide(std::vector<std::int16_t> inputSamples, std::int32_t frameCount);

struct StereoOutput {
    SampleBuffer stereoOutput;  // 2N values, left at 2i, right at 2i + 1, not yet scaled
    double peakMagnitude = 0.0;
};

// Recombines the restored lateral component with the side component and finds the largest
// magnitude among the stored values, left before right.
StereoOutput convertToLeftRight(const SampleBuffer& restoredLateral,
                                const SampleBuffer& sideComponent, std::int32_t frameCount);
