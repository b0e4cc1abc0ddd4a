#pragma once

#include <cstdint>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/tonearm.hpp"
#include "dsp/upsample_stream.hpp"

// The side as it plays: the groove radius moves from `fromRadius` at the first frame to `toRadius`
// at the last, linearly in time, and the tracking error follows the arm. Each high-rate sample
// takes the tracking tangent and the groove velocity of the radius at its own nominal time, as
// deriveGrooveGeometry gives them for that radius and that error.
struct GroovePath {
    Tonearm arm;
    double revolutionsPerMinute = 0.0;
    double fromRadius = 0.0;  // mm
    double toRadius = 0.0;    // mm
    std::int64_t frameCount = 0;
    int sampleRate = 44100;
};

// The radius at high-rate index j: held at the ends outside the frames' span.
double grooveRadiusAt(const GroovePath& path, std::int64_t j);

// The geometry of high-rate index j on the path.
GrooveGeometry grooveGeometryAt(const GroovePath& path, std::int64_t j);

// The interpolation pass over a stream of the high-rate signal whose samples are made on demand
// by the last upsampling stage: only the samples that the search looks at are ever formed. The
// pass keeps its start index, the corrected time and value of the index before it, and the next
// output index; its outputs are those of the pass over the whole signal, bit for bit.
struct TrackingStream {
    long double amplitude = 0.0L;
    long double tangent = 0.0L;
    double velocity = 0.0;
    double samplePeriod = 0.0;
    double highRatePeriod = 0.0;  // T / 144, for estimates only
    bool boundsUsable = false;    // whether timing-error bounds may be used to skip

    bool moving = false;  // the tangent and velocity follow `path` from index to index
    GroovePath path;

    std::int64_t index = 0;       // the start index j
    double previousTime = 0.0;    // corrected time of j − 1 (0.0 before any)
    double previousValue = 0.0;   // U[j − 1] (0 before index 0)
    std::int64_t nextOutput = 0;  // i

    // False while the search has passed over j − 1 without needing its corrected time (an
    // estimate or a bound decided), or its value (a bound decided).
    bool previousTimeKnown = true;
    bool previousValueKnown = true;

    // Where the bound does not help (strong distortion), the samples are formed a window at a
    // time side by side, with double estimates of their corrected times that decide most
    // comparisons without the exact value.
    bool estimable = false;       // the parameters lie in the range the estimates' bound holds for
    double shiftPerSample = 0.0;  // tan a / (32768 v), for estimates only
    std::int64_t denseBegin = 0;
    std::vector<double> denseValues;     // the samples of [denseBegin, denseBegin + size)
    std::vector<double> denseEstimates;  // their estimated corrected times, or empty
    double denseMagnitude = 0.0;         // a bound on |nominal time| + |timing error| there
    std::int64_t denseWindow = 0;        // how many samples the next window forms
    int formThreads = 1;                 // threads that form a window
    std::int64_t exactStepsOutput = -1;  // the output whose exact steps are being counted
    std::int64_t exactSteps = 0;

    std::int64_t cachedIndex = -1;  // the last index formed, with its value and corrected time
    double cachedValue = 0.0;
    double cachedTime = 0.0;
    bool cachedTimeKnown = false;

    std::int64_t skipFailedFor = -1;  // the output for which no skip was found
    // The timing-error bound last made, and the stretch of indices it holds for.
    std::int64_t boundFirst = 0;
    std::int64_t boundLast = -1;
    double bound = 0.0;

    std::int64_t formed = 0;        // high-rate samples formed (for the bench)
    std::int64_t skipped = 0;       // indices passed over by a bound
    std::int64_t halvesJoined = 0;  // blocks whose second half, run on its own thread, was kept
};

TrackingStream startTrackingStream(double fullScaleLateralAmplitude,
                                   const GrooveGeometry& geometry);

TrackingStream startMovingTrackingStream(double fullScaleLateralAmplitude, const GroovePath& path);

// Where the pass finds the high-rate samples: the last upsampling stage, forming them on demand,
// or a whole signal held in memory.
struct HighRateSource {
    const UpsampleStream* stage = nullptr;
    const double* samples = nullptr;  // when there is no stage
    std::int64_t length = 0;
};

// Makes outputs, appending them to `output`, while the samples they need can be formed.
// `highRate` is the last upsampling stage; `passLast` the last index the pass may read, or −1
// while the input goes on; `outputLimit` how many outputs there are (or may be made so far).
// Once the pass has read past passLast, every output left is 0.
void runTrackingStream(TrackingStream& stream, const UpsampleStream& highRate,
                       std::int64_t passLast, std::int64_t outputLimit, SampleBlock& output);

// The same on two threads where the block is long enough: the second half of the outputs starts
// from a guess of where the search will be, made from the timing-error bound, and is kept only
// when the first half's end proves the guess right (the search would have moved past every index
// up to it); otherwise the first half goes on alone. The outputs are the same either way.
void runTrackingStreamSplit(TrackingStream& stream, const UpsampleStream& highRate,
                            std::int64_t passLast, std::int64_t outputLimit, SampleBlock& output,
                            int threadCount);

// The same over a high-rate signal held whole (`length` samples), read up to passLast.
void runTrackingOverSignal(TrackingStream& stream, const double* samples, std::int64_t length,
                           std::int64_t passLast, std::int64_t outputLimit, SampleBlock& output,
                           int threadCount);

// The first index the pass may still read: everything before it may be let go.
inline std::int64_t trackingStreamNeedsFrom(const TrackingStream& stream) {
    return stream.index > 0 ? stream.index - 1 : 0;
}
