#include "dsp/tracking_stream.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

#include "dsp/extended.hpp"

// Skipping ahead. Let B be a double with |Δt_j| <= B for every j of a stretch. The corrected time
// is t_j = stored(nom_j − Δt_j), nom_j = ((j − 10447)·T)/144 in extended precision, and both
// roundings (to extended, then to double) are monotonic, so t_j <= stored(nom_j + B), the latter
// formed the same way. nom_j grows with j (a product with T > 0 and a quotient by 144, each
// rounded monotonically), so if stored(nom_J + B) <= t_out then every j of the stretch up to J
// has t_j <= t_out: the search would move past all of them, and only the corrected time and the
// value of J itself are needed. B follows from a bound M on |U_j| by the same roundings:
// |y| <= stored(M·a/32768), |p| <= stored(|tan|·|y|max), |Δt| <= stored(|p|max/|v|), each step
// monotonic in its operand. Ties are safe: a corrected time equal to t_out counts as reached
// either way. Where any of these is not finite, nothing is skipped and every index is formed.

namespace {

constexpr std::int64_t kStretch = 1024;

double formValue(const UpsampleStream& highRate, std::int64_t j) {
    return upsampleOutputAt(highRate, j);
}

long double nominalTime(const TrackingStream& s, std::int64_t j) {
    return static_cast<long double>(j - kUpsampleAlignmentDelay) * s.samplePeriod / kUpsampleFactor;
}

double correctedTime(const TrackingStream& s, double value, std::int64_t j) {
    long double tangent = s.tangent;
    long double velocity = s.velocity;
    if (s.moving) {
        const GrooveGeometry geometry = grooveGeometryAt(s.path, j);
        tangent = geometry.trackingTangent;
        velocity = geometry.grooveVelocity;
    }
    // Dividing by 32768 = 2^15 is exact in the extended range, so it is a multiplication.
    const double displacement = stored(value * s.amplitude * 0x1p-15L);
    const double shift = stored(tangent * displacement);
    const double timingError = stored(shift / velocity);
    return stored(nominalTime(s, j) - timingError);
}

void formIndex(TrackingStream& s, const UpsampleStream& highRate, std::int64_t j) {
    if (s.cachedIndex == j) {
        return;
    }
    s.cachedIndex = j;
    s.cachedValue = formValue(highRate, j);
    s.cachedTime = correctedTime(s, s.cachedValue, j);
    ++s.formed;
}

// The bound on |Δt| over the stretch [first, last] whose samples are at most `largest` in
// magnitude. On a moving path the radius changes by far less than a micrometre over a stretch,
// so the error's tangent there lies within its values at the two ends but for a curvature term
// some ten orders of magnitude below the slack added to it, and the velocity, monotonic in the
// radius, is least at one end.
double timingErrorBound(const TrackingStream& s, double largest, std::int64_t first,
                        std::int64_t last) {
    long double tangent = std::fabs(s.tangent);
    long double velocity = std::fabs(static_cast<long double>(s.velocity));
    if (s.moving) {
        const GrooveGeometry a = grooveGeometryAt(s.path, first);
        const GrooveGeometry b = grooveGeometryAt(s.path, last);
        tangent = std::max(std::fabs(a.trackingTangent), std::fabs(b.trackingTangent)) *
                      (1.0L + 0x1p-20L) +
                  0x1p-30L;
        velocity = std::min(std::fabs(static_cast<long double>(a.grooveVelocity)),
                            std::fabs(static_cast<long double>(b.grooveVelocity)));
        if (!(velocity > 0.0L)) {
            return std::numeric_limits<double>::infinity();
        }
    }
    const double displacement = stored(largest * std::fabs(s.amplitude) * 0x1p-15L);
    const double shift = stored(tangent * displacement);
    return stored(shift / velocity);
}

// The last index from which the search, looking for t_out, surely moves on; or −1. The bound
// is made for a stretch from the start index on and used again while the search stays in it.
std::int64_t skipTarget(TrackingStream& s, const UpsampleStream& highRate, std::int64_t stretchEnd,
                        long double outputTime) {
    if (s.index < s.boundFirst || s.index >= s.boundLast) {
        const double largest = upsampleOutputBound(highRate, s.index, stretchEnd);
        s.bound = timingErrorBound(s, largest, s.index, stretchEnd);
        s.boundFirst = s.index;
        s.boundLast = stretchEnd;
    }
    stretchEnd = s.boundLast;
    const double bound = s.bound;
    if (!std::isfinite(bound)) {
        return -1;
    }
    const double estimate =
        (static_cast<double>(outputTime) - bound) / s.highRatePeriod + kUpsampleAlignmentDelay;
    if (!(estimate > static_cast<double>(s.index) + 2)) {
        return -1;
    }
    std::int64_t target =
        std::min<std::int64_t>(static_cast<std::int64_t>(estimate) - 1, stretchEnd);
    for (int tries = 0; tries < 4 && target > s.index; ++tries, --target) {
        if (stored(nominalTime(s, target) + bound) <= outputTime) {
            return target;
        }
    }
    return -1;
}

}  // namespace

TrackingStream startTrackingStream(double fullScaleLateralAmplitude,
                                   const GrooveGeometry& geometry) {
    TrackingStream s;
    s.amplitude = fullScaleLateralAmplitude;
    s.tangent = geometry.trackingTangent;
    s.velocity = geometry.grooveVelocity;
    s.samplePeriod = geometry.samplePeriod;
    s.highRatePeriod = stored(static_cast<long double>(geometry.samplePeriod) / kUpsampleFactor);
    s.boundsUsable = std::isfinite(s.amplitude) && std::isfinite(s.tangent) &&
                     std::isfinite(s.velocity) && s.velocity != 0.0 &&
                     std::isfinite(s.samplePeriod) && s.samplePeriod > 0.0 &&
                     s.highRatePeriod > 0.0;
    return s;
}

double grooveRadiusAt(const GroovePath& path, std::int64_t j) {
    const std::int64_t span = kUpsampleFactor * (path.frameCount - 1);
    double fraction = 0.0;
    if (span > 0) {
        fraction = static_cast<double>(j - kUpsampleAlignmentDelay) / static_cast<double>(span);
        fraction = std::clamp(fraction, 0.0, 1.0);
    }
    return path.fromRadius + (path.toRadius - path.fromRadius) * fraction;
}

GrooveGeometry grooveGeometryAt(const GroovePath& path, std::int64_t j) {
    const double radius = grooveRadiusAt(path, j);
    DiscParameters disc;
    disc.revolutionsPerMinute = path.revolutionsPerMinute;
    disc.grooveRadius = radius;
    disc.trackingErrorDegrees = trackingErrorDegrees(path.arm, radius);
    return deriveGrooveGeometry(disc, path.sampleRate);
}

TrackingStream startMovingTrackingStream(double fullScaleLateralAmplitude, const GroovePath& path) {
    const GrooveGeometry start = grooveGeometryAt(path, 0);
    TrackingStream s = startTrackingStream(fullScaleLateralAmplitude, start);
    s.moving = true;
    s.path = path;
    // The bounds are made stretch by stretch; only the constant parts need to be usable here.
    s.boundsUsable = std::isfinite(s.amplitude) && std::isfinite(s.samplePeriod) &&
                     s.samplePeriod > 0.0 && s.highRatePeriod > 0.0;
    return s;
}

void runTrackingStream(TrackingStream& s, const UpsampleStream& highRate, std::int64_t passLast,
                       std::int64_t outputLimit, SampleBlock& output) {
    const ExtendedPrecisionScope precision;
    while (s.nextOutput < outputLimit) {
        if (passLast >= 0 && s.index > passLast) {
            // The search ran out: this output and every later one stay 0.
            output.insert(output.end(), static_cast<std::size_t>(outputLimit - s.nextOutput), 0.0);
            s.nextOutput = outputLimit;
            return;
        }
        if (!upsampleOutputReady(highRate, s.index)) {
            return;
        }
        const long double outputTime = static_cast<long double>(s.samplePeriod) * s.nextOutput;
        if (s.boundsUsable && s.skipFailedFor != s.nextOutput) {
            std::int64_t stretchEnd = s.index + kStretch;
            if (passLast >= 0) {
                stretchEnd = std::min(stretchEnd, passLast);
            }
            while (stretchEnd > s.index && !upsampleOutputReady(highRate, stretchEnd)) {
                stretchEnd = s.index + (stretchEnd - s.index) / 2;
            }
            const std::int64_t target = skipTarget(s, highRate, stretchEnd, outputTime);
            if (target > s.index) {
                formIndex(s, highRate, target);
                s.skipped += target - s.index;
                s.previousTime = s.cachedTime;
                s.previousValue = s.cachedValue;
                s.index = target + 1;
                continue;
            }
            s.skipFailedFor = s.nextOutput;
        }
        formIndex(s, highRate, s.index);
        if (outputTime >= static_cast<long double>(s.cachedTime)) {
            s.previousTime = s.cachedTime;
            s.previousValue = s.cachedValue;
            ++s.index;
            continue;
        }
        // Every operand extended, so that no difference is rounded to double on the way.
        const long double before = s.previousValue;
        const long double previousTime = s.previousTime;
        const long double time = s.cachedTime;
        output.push_back(stored((s.cachedValue - before) *
                                    ((outputTime - previousTime) / (time - previousTime)) +
                                before));
        ++s.nextOutput;
    }
}

namespace {

// Outputs below which a block is not worth a second thread.
constexpr std::int64_t kSplitOutputs = 2048;

// Prepares `second` to start at output `middle` as if the search had moved past every index up to
// a guessed J; returns J, or −1 where no guess can be made.
std::int64_t startSecondHalf(TrackingStream& second, const UpsampleStream& highRate,
                             std::int64_t middle) {
    const long double outputTime = static_cast<long double>(second.samplePeriod) * middle;
    const std::int64_t nominal = kUpsampleFactor * middle + kUpsampleAlignmentDelay;
    const std::int64_t first = std::max(second.index, nominal - kStretch);
    std::int64_t last = nominal + kStretch;
    while (last > first && !upsampleOutputReady(highRate, last)) {
        last = first + (last - first) / 2;
    }
    if (last <= first) {
        return -1;
    }
    const double bound =
        timingErrorBound(second, upsampleOutputBound(highRate, first, last), first, last);
    if (!std::isfinite(bound)) {
        return -1;
    }
    const double estimate =
        (static_cast<double>(outputTime) - bound) / second.highRatePeriod + kUpsampleAlignmentDelay;
    if (!(estimate > static_cast<double>(first) + 2)) {
        return -1;
    }
    const std::int64_t guess =
        std::min<std::int64_t>(static_cast<std::int64_t>(estimate) - 2, last);
    if (guess <= first || stored(nominalTime(second, guess) + bound) > outputTime) {
        return -1;
    }
    second.cachedIndex = -1;
    formIndex(second, highRate, guess);
    second.previousTime = second.cachedTime;
    second.previousValue = second.cachedValue;
    second.index = guess + 1;
    second.nextOutput = middle;
    second.skipFailedFor = -1;
    second.boundFirst = 0;
    second.boundLast = -1;
    return guess;
}

// Whether the search that reached output `middle` at the state of `first` would, for that output,
// move past every index up to `guess` and so arrive where the second half started.
bool halvesJoin(const TrackingStream& first, const UpsampleStream& highRate, std::int64_t middle,
                std::int64_t guess, double guessTime, double guessValue) {
    if (first.nextOutput != middle || first.index > guess + 1) {
        return false;
    }
    if (first.index == guess + 1) {
        return first.previousTime == guessTime && first.previousValue == guessValue;
    }
    const long double outputTime = static_cast<long double>(first.samplePeriod) * middle;
    const double bound = timingErrorBound(first, upsampleOutputBound(highRate, first.index, guess),
                                          first.index, guess);
    return std::isfinite(bound) && stored(nominalTime(first, guess) + bound) <= outputTime;
}

}  // namespace

void runTrackingStreamSplit(TrackingStream& s, const UpsampleStream& highRate,
                            std::int64_t passLast, std::int64_t outputLimit, SampleBlock& output,
                            int threadCount) {
    const std::int64_t remaining = outputLimit - s.nextOutput;
    if (threadCount < 2 || passLast >= 0 || !s.boundsUsable || remaining < kSplitOutputs) {
        runTrackingStream(s, highRate, passLast, outputLimit, output);
        return;
    }
    const ExtendedPrecisionScope precision;
    const std::int64_t middle = s.nextOutput + remaining / 2;
    TrackingStream second = s;
    const std::int64_t guess = startSecondHalf(second, highRate, middle);
    if (guess < 0) {
        runTrackingStream(s, highRate, passLast, outputLimit, output);
        return;
    }
    const double guessTime = second.previousTime;
    const double guessValue = second.previousValue;
    SampleBlock secondOutput;
    std::thread worker;
    try {
        worker = std::thread(
            [&] { runTrackingStream(second, highRate, passLast, outputLimit, secondOutput); });
    } catch (const std::system_error&) {
        runTrackingStream(s, highRate, passLast, outputLimit, output);
        return;
    }
    runTrackingStream(s, highRate, passLast, middle, output);
    worker.join();
    if (halvesJoin(s, highRate, middle, guess, guessTime, guessValue)) {
        output.insert(output.end(), secondOutput.begin(), secondOutput.end());
        second.formed += s.formed;
        second.skipped += s.skipped;
        second.halvesJoined = s.halvesJoined + 1;
        s = second;
        return;
    }
    // The guess was wrong: the first half goes on alone, as if there had been no second.
    runTrackingStream(s, highRate, passLast, outputLimit, output);
}
