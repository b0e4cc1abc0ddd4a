#pragma once

#include <cstdint>

#include "dsp/groove_geometry.hpp"
#include "dsp/sample_buffer.hpp"
#include "dsp/upsampler.hpp"

// The high-rate index that lines up with input sample 0.
inline constexpr std::int32_t kAlignmentDelay = static_cast<std::int32_t>(kUpsampleAlignmentDelay);

// Reads the high-rate lateral component back at the input instants along the corrected time
// axis that the tracking error gives; takes `highRateLateral` over and releases it. Returns
// `frameCount` values.
SampleBuffer calculateInterpolatedOutput(SampleBuffer highRateLateral, std::int32_t frameCount,
                                         double fullScaleLateralAmplitude,
                                         const GrooveGeometry& geometry, int threadCount);
