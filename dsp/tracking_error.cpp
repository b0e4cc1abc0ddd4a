#include "dsp/tracking_error.hpp"

#include <algorithm>

#include "dsp/tracking_stream.hpp"

SampleBuffer calculateInterpolatedOutput(SampleBuffer highRateLateral, std::int32_t frameCount,
                                         double fullScaleLateralAmplitude,
                                         const GrooveGeometry& geometry, int threadCount) {
    const std::int64_t frames = std::max<std::int32_t>(frameCount, 0);
    // The pass reads the last stage's stuffed length, limited to the signal handed over.
    const std::int64_t length = static_cast<std::int64_t>(highRateLateral.size());
    const std::int64_t passLast =
        std::min(highRateLength(frames) - kUpsampleStages.back().tapCount - 1, length - 1);
    TrackingStream pass = startTrackingStream(fullScaleLateralAmplitude, geometry);
    SampleBlock distorted;
    distorted.reserve(static_cast<std::size_t>(frames));
    runTrackingOverSignal(pass, highRateLateral.data(), length, passLast < 0 ? -1 : passLast,
                          frames, distorted, threadCount);
    if (passLast < 0) {
        distorted.assign(static_cast<std::size_t>(frames), 0.0);
    }
    highRateLateral.release();
    SampleBuffer output(static_cast<std::size_t>(frames));
    std::copy(distorted.begin(), distorted.end(), output.begin());
    return output;
}
