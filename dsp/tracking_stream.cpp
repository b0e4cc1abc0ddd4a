#include "dsp/tracking_stream.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include <emmintrin.h>

#include "dsp/extended.hpp"
#include "dsp/worker_pool.hpp"

// Skipping ahead. Let B be a double with |Δt_j| <= B for every j of a stretch. The corrected time
// is t_j = stored(nom_j − Δt_j), nom_j = ((j − 10447)·T)/144 in extended precision, and both
// roundings (to extended, then to double) are monotonic, so t_j <= stored(nom_j + B), the latter
// formed the same way. nom_j grows with j (a product with T > 0 and a quotient by 144, each
// rounded monotonically), so if stored(nom_J + B) <= t_out then every j of the stretch up to J
// has t_j <= t_out: the search would move past all of them, J included. J's value and corrected
// time are formed only if the crossing turns out to be J + 1, whose interpolation needs them; the
// search goes on at J + 1 without them. B follows from a bound M on |U_j| by the same roundings:
// |y| <= stored(M·a/32768), |p| <= stored(|tan|·|y|max), |Δt| <= stored(|p|max/|v|), each step
// monotonic in its operand. Ties are safe: a corrected time equal to t_out counts as reached
// either way. Where any of these is not finite, nothing is skipped and every index is formed.

// Estimates. The corrected time of j is estimated in double as (j − 10447)·(T/144) − U_j·tan a /
// (32768 v), the two factors rounded once each. With the amplitude and tangent 0 or within
// 2^-200 .. 2^200 in magnitude, the velocity and period within that range, and every sample of a
// window finite and at most 2^300, no intermediate of either the exact or the estimated value
// overflows, and each rounding errs by half an ulp of its result or, where a sample is tiny
// enough to underflow, by 2^-1075 at most. Summed over the steps, the estimate is within
// 2^-49 (|nominal time| + |timing error|) + 2^-669 of the exact corrected time, and the rounded
// output instant within 2^-52 of its own magnitude. A comparison counts as decided only beyond
// 2^-44 of these magnitudes plus 2^-600, which leaves ample room for the roundings of the margin
// itself. The same estimate decides for a single index outside a window: one whose estimate lies
// surely before the output instant is passed over on its value alone. Elsewhere every comparison
// is made on exact values.

namespace {

constexpr std::int64_t kStretch = 1024;
// Windows start small and grow while the search keeps needing them, up to the largest.
constexpr std::int64_t kDenseWindow = 4096;
constexpr std::int64_t kLargestDenseWindow = std::int64_t{1} << 17;
// Exact steps for one output after which the samples ahead are formed a window at a time.
constexpr std::int64_t kDenseAfter = 24;
constexpr long double kParameterMagnitudeLow = 0x1p-200L;
constexpr long double kParameterMagnitudeHigh = 0x1p200L;
constexpr double kSampleMagnitudeHigh = 0x1p300;
constexpr double kDecisionMargin = 0x1p-44;
constexpr double kDecisionFloor = 0x1p-600;

bool inRange(long double value) {
    const long double magnitude = std::fabs(value);
    return magnitude >= kParameterMagnitudeLow && magnitude <= kParameterMagnitudeHigh;
}

bool inRangeOrZero(long double value) {
    return value == 0.0L || inRange(value);
}

bool sourceReady(const HighRateSource& source, std::int64_t n) {
    return source.stage != nullptr ? upsampleOutputReady(*source.stage, n)
                                   : n >= 0 && n < source.length;
}

double sourceAt(const HighRateSource& source, std::int64_t n) {
    return source.stage != nullptr ? upsampleOutputAt(*source.stage, n) : source.samples[n];
}

// A bound on |U| over [first, last]: from the stage's input, or the largest of the samples held.
double sourceBound(const HighRateSource& source, std::int64_t first, std::int64_t last) {
    if (source.stage != nullptr) {
        return upsampleOutputBound(*source.stage, first, last);
    }
    double largest = 0.0;
    for (std::int64_t n = first; n <= last; ++n) {
        const double magnitude = std::fabs(source.samples[n]);
        if (!(magnitude <= largest)) {
            largest =
                std::isfinite(magnitude) ? magnitude : std::numeric_limits<double>::infinity();
        }
    }
    return largest;
}

void sourceForm(const HighRateSource& source, std::int64_t first, std::int64_t count, double* out,
                int threadCount) {
    if (source.stage != nullptr) {
        formUpsampleOutputs(*source.stage, first, count, out, threadCount);
    } else {
        std::copy_n(source.samples + first, count, out);
    }
}

bool inDense(const TrackingStream& s, std::int64_t j) {
    return j >= s.denseBegin && j < s.denseBegin + static_cast<std::int64_t>(s.denseValues.size());
}

double formValue(const TrackingStream& s, const HighRateSource& highRate, std::int64_t j) {
    return inDense(s, j) ? s.denseValues[static_cast<std::size_t>(j - s.denseBegin)]
                         : sourceAt(highRate, j);
}

// Forms the samples from j on, as many as are ready up to a window, with their estimates.
struct EstimateRange {
    double largest = 0.0;
    bool rangeLeft = false;
};

// The estimates of window elements [begin, end) two at a time, with the largest magnitude and
// whether any sample left the range (a NaN compares as out of range).
EstimateRange estimateWindow(const TrackingStream& s, double firstOffset, std::int64_t begin,
                             std::int64_t end, const double* values, double* estimates) {
    const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d high = _mm_set1_pd(kSampleMagnitudeHigh);
    const __m128d period = _mm_set1_pd(s.highRatePeriod);
    const __m128d shift = _mm_set1_pd(s.shiftPerSample);
    const __m128d two = _mm_set1_pd(2.0);
    const double first = firstOffset + static_cast<double>(begin);
    __m128d offset = _mm_set_pd(first + 1.0, first);
    __m128d largestPair = _mm_setzero_pd();
    __m128d outOfRange = _mm_setzero_pd();
    std::int64_t k = begin;
    for (; k + 2 <= end; k += 2) {
        const __m128d value = _mm_loadu_pd(values + k);
        const __m128d magnitude = _mm_and_pd(value, magnitudeMask);
        outOfRange = _mm_or_pd(outOfRange, _mm_cmpnle_pd(magnitude, high));
        largestPair = _mm_max_pd(largestPair, magnitude);
        _mm_storeu_pd(estimates + k,
                      _mm_sub_pd(_mm_mul_pd(offset, period), _mm_mul_pd(value, shift)));
        offset = _mm_add_pd(offset, two);
    }
    double lanes[2];
    _mm_storeu_pd(lanes, largestPair);
    EstimateRange range{std::max(lanes[0], lanes[1]), _mm_movemask_pd(outOfRange) != 0};
    for (; k < end; ++k) {
        range.rangeLeft = range.rangeLeft || !(std::fabs(values[k]) <= kSampleMagnitudeHigh);
        range.largest = std::max(range.largest, std::fabs(values[k]));
        estimates[k] = (firstOffset + static_cast<double>(k)) * s.highRatePeriod -
                       values[k] * s.shiftPerSample;
    }
    return range;
}

// Forms the samples from j on, as many as are ready up to a window, with their estimates; on
// several threads, each forming and estimating a part of the window.
void formDense(TrackingStream& s, const HighRateSource& highRate, std::int64_t j,
               std::int64_t passLast) {
    // A window asked for right where the last one ended means the bound is not helping here.
    const bool following =
        j == s.denseBegin + static_cast<std::int64_t>(s.denseValues.size()) && j > 0;
    s.denseWindow = following ? std::min(2 * s.denseWindow, kLargestDenseWindow) : kDenseWindow;
    std::int64_t end = j + s.denseWindow;
    if (passLast >= 0) {
        end = std::min(end, passLast + 1);
    }
    while (end > j + 1 && !sourceReady(highRate, end - 1)) {
        end = j + 1 + (end - j - 1) / 2;
    }
    const std::int64_t count = end - j;
    s.denseBegin = j;
    s.denseValues.resize(static_cast<std::size_t>(count));
    s.denseEstimates.resize(s.estimable ? static_cast<std::size_t>(count) : 0);
    s.formed += count;
    // Index differences stay far below 2^53, so they count exactly in doubles.
    const double firstOffset = static_cast<double>(j - kUpsampleAlignmentDelay);
    double* values = s.denseValues.data();
    double* estimates = s.denseEstimates.data();
    EstimateRange whole;
    std::mutex merging;
    constexpr std::int64_t kPart = 8192;
    runChunks(count, kPart, count >= 2 * kPart ? s.formThreads : 1,
              [&](std::int64_t begin, std::int64_t partEnd) {
                  sourceForm(highRate, j + begin, partEnd - begin, values + begin, 1);
                  if (!s.estimable) {
                      return;
                  }
                  const ExtendedPrecisionScope precision;
                  const EstimateRange part =
                      estimateWindow(s, firstOffset, begin, partEnd, values, estimates);
                  const std::lock_guard<std::mutex> lock(merging);
                  whole.largest = std::max(whole.largest, part.largest);
                  whole.rangeLeft = whole.rangeLeft || part.rangeLeft;
              });
    if (!s.estimable || whole.rangeLeft) {
        s.denseEstimates.clear();
        return;
    }
    // |nominal time| is largest at one end of the window.
    const double lastOffset = firstOffset + static_cast<double>(count - 1);
    s.denseMagnitude = std::max(std::fabs(firstOffset * s.highRatePeriod),
                                std::fabs(lastOffset * s.highRatePeriod)) +
                       whole.largest * std::fabs(s.shiftPerSample);
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

// The value of index j, counted as formed unless a window already holds it.
double formCounted(TrackingStream& s, const HighRateSource& highRate, std::int64_t j) {
    if (!inDense(s, j)) {
        ++s.formed;
    }
    return formValue(s, highRate, j);
}

// Forms the value of index j, keeping it (and, once made, its corrected time) for the next look.
void formIndexValue(TrackingStream& s, const HighRateSource& highRate, std::int64_t j) {
    if (s.cachedIndex == j) {
        return;
    }
    s.cachedIndex = j;
    s.cachedValue = formCounted(s, highRate, j);
    s.cachedTimeKnown = false;
}

void formIndex(TrackingStream& s, const HighRateSource& highRate, std::int64_t j) {
    formIndexValue(s, highRate, j);
    if (!s.cachedTimeKnown) {
        s.cachedTime = correctedTime(s, s.cachedValue, j);
        s.cachedTimeKnown = true;
    }
}

// Makes the value and the corrected time of index − 1 exact where only the search's having
// passed over it is known.
void makePreviousExact(TrackingStream& s, const HighRateSource& highRate) {
    if (!s.previousValueKnown) {
        s.previousValue = formCounted(s, highRate, s.index - 1);
        s.previousValueKnown = true;
    }
    if (!s.previousTimeKnown) {
        s.previousTime = correctedTime(s, s.previousValue, s.index - 1);
        s.previousTimeKnown = true;
    }
}

// Whether the estimate of value's corrected time at index j surely lies before the output
// instant, by the margin the comment at the top proves.
bool surelyBefore(const TrackingStream& s, double value, std::int64_t j, double roughOutput) {
    if (!s.estimable || !(std::fabs(value) <= kSampleMagnitudeHigh)) {
        return false;
    }
    const double nominal = static_cast<double>(j - kUpsampleAlignmentDelay) * s.highRatePeriod;
    const double shift = value * s.shiftPerSample;
    const double margin =
        (std::fabs(nominal) + std::fabs(shift) + std::fabs(roughOutput)) * kDecisionMargin +
        kDecisionFloor;
    return nominal - shift < roughOutput - margin;
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
std::int64_t skipTarget(TrackingStream& s, const HighRateSource& highRate, std::int64_t stretchEnd,
                        long double outputTime) {
    if (s.index < s.boundFirst || s.index >= s.boundLast) {
        const double largest = sourceBound(highRate, s.index, stretchEnd);
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
    s.estimable = inRangeOrZero(s.amplitude) && inRangeOrZero(s.tangent) && inRange(s.velocity) &&
                  inRange(s.samplePeriod);
    if (s.estimable) {
        s.shiftPerSample = stored(s.tangent * s.amplitude / 32768 / s.velocity);
    }
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
    s.estimable = false;
    // The bounds are made stretch by stretch; only the constant parts need to be usable here.
    s.boundsUsable = std::isfinite(s.amplitude) && std::isfinite(s.samplePeriod) &&
                     s.samplePeriod > 0.0 && s.highRatePeriod > 0.0;
    return s;
}

static void searchOutputs(TrackingStream& s, const HighRateSource& highRate, std::int64_t passLast,
                          std::int64_t outputLimit, SampleBlock& output) {
    while (s.nextOutput < outputLimit) {
        if (passLast >= 0 && s.index > passLast) {
            // The search ran out: this output and every later one stay 0.
            output.insert(output.end(), static_cast<std::size_t>(outputLimit - s.nextOutput), 0.0);
            s.nextOutput = outputLimit;
            return;
        }
        if (!sourceReady(highRate, s.index)) {
            return;
        }
        const long double outputTime = static_cast<long double>(s.samplePeriod) * s.nextOutput;
        if (s.boundsUsable && s.skipFailedFor != s.nextOutput) {
            std::int64_t stretchEnd = s.index + kStretch;
            if (passLast >= 0) {
                stretchEnd = std::min(stretchEnd, passLast);
            }
            while (stretchEnd > s.index && !sourceReady(highRate, stretchEnd)) {
                stretchEnd = s.index + (stretchEnd - s.index) / 2;
            }
            const std::int64_t target = skipTarget(s, highRate, stretchEnd, outputTime);
            if (target > s.index) {
                // The target's value and time are formed only if the crossing follows it.
                s.skipped += target - s.index;
                s.previousValueKnown = false;
                s.previousTimeKnown = false;
                s.index = target + 1;
                continue;
            }
            s.skipFailedFor = s.nextOutput;
        }
        if (s.exactStepsOutput != s.nextOutput) {
            s.exactStepsOutput = s.nextOutput;
            s.exactSteps = 0;
        }
        const bool windowEnded =
            !s.denseValues.empty() &&
            s.index == s.denseBegin + static_cast<std::int64_t>(s.denseValues.size());
        if (!inDense(s, s.index) && (s.exactSteps > kDenseAfter || windowEnded)) {
            formDense(s, highRate, s.index, passLast);
        }
        if (inDense(s, s.index) && !s.denseEstimates.empty() && s.cachedIndex != s.index) {
            const double roughOutput = stored(outputTime);
            const double margin =
                (s.denseMagnitude + std::fabs(roughOutput)) * kDecisionMargin + kDecisionFloor;
            // Every index whose estimate is surely not later than the output instant is passed
            // over without its exact time.
            const double surelyBefore = roughOutput - margin;
            const double* estimates = s.denseEstimates.data();
            const std::size_t first = static_cast<std::size_t>(s.index - s.denseBegin);
            const std::size_t end = s.denseEstimates.size();
            std::size_t k = first;
            while (k + 4 <= end && estimates[k] < surelyBefore && estimates[k + 1] < surelyBefore &&
                   estimates[k + 2] < surelyBefore && estimates[k + 3] < surelyBefore) {
                k += 4;
            }
            while (k < end && estimates[k] < surelyBefore) {
                ++k;
            }
            if (k > first) {
                s.previousValue = s.denseValues[k - 1];
                s.previousValueKnown = true;
                s.previousTimeKnown = false;
                s.index = s.denseBegin + static_cast<std::int64_t>(k);
                continue;
            }
        }
        ++s.exactSteps;
        formIndexValue(s, highRate, s.index);
        if (!s.cachedTimeKnown && surelyBefore(s, s.cachedValue, s.index, stored(outputTime))) {
            s.previousValue = s.cachedValue;
            s.previousValueKnown = true;
            s.previousTimeKnown = false;
            ++s.index;
            continue;
        }
        formIndex(s, highRate, s.index);
        if (outputTime >= static_cast<long double>(s.cachedTime)) {
            s.previousTime = s.cachedTime;
            s.previousTimeKnown = true;
            s.previousValue = s.cachedValue;
            s.previousValueKnown = true;
            ++s.index;
            continue;
        }
        makePreviousExact(s, highRate);
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

static void runSearch(TrackingStream& s, const HighRateSource& highRate, std::int64_t passLast,
                      std::int64_t outputLimit, SampleBlock& output) {
    const ExtendedPrecisionScope precision;
    searchOutputs(s, highRate, passLast, outputLimit, output);
    // Between calls the state holds exact values only.
    makePreviousExact(s, highRate);
}

namespace {

// Outputs below which a block is not worth a second thread.
constexpr std::int64_t kSplitOutputs = 2048;

// Prepares `second` to start at output `middle` as if the search had moved past every index up to
// a guessed J; returns J, or −1 where no guess can be made.
std::int64_t startSecondHalf(TrackingStream& second, const HighRateSource& highRate,
                             std::int64_t middle) {
    const long double outputTime = static_cast<long double>(second.samplePeriod) * middle;
    const std::int64_t nominal = kUpsampleFactor * middle + kUpsampleAlignmentDelay;
    const std::int64_t first = std::max(second.index, nominal - kStretch);
    std::int64_t last = nominal + kStretch;
    while (last > first && !sourceReady(highRate, last)) {
        last = first + (last - first) / 2;
    }
    if (last <= first) {
        return -1;
    }
    const double bound = timingErrorBound(second, sourceBound(highRate, first, last), first, last);
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
    second.previousTimeKnown = true;
    second.previousValue = second.cachedValue;
    second.previousValueKnown = true;
    second.index = guess + 1;
    second.nextOutput = middle;
    second.skipFailedFor = -1;
    second.boundFirst = 0;
    second.boundLast = -1;
    return guess;
}

// Whether the search that reached output `middle` at the state of `first` would, for that output,
// move past every index up to `guess` and so arrive where the second half started.
bool halvesJoin(const TrackingStream& first, const HighRateSource& highRate, std::int64_t middle,
                std::int64_t guess, double guessTime, double guessValue) {
    if (first.nextOutput != middle || first.index > guess + 1) {
        return false;
    }
    if (first.index == guess + 1) {
        return first.previousTime == guessTime && first.previousValue == guessValue;
    }
    const long double outputTime = static_cast<long double>(first.samplePeriod) * middle;
    const double bound =
        timingErrorBound(first, sourceBound(highRate, first.index, guess), first.index, guess);
    return std::isfinite(bound) && stored(nominalTime(first, guess) + bound) <= outputTime;
}

}  // namespace

static void runSplitSearch(TrackingStream& s, const HighRateSource& highRate, std::int64_t passLast,
                           std::int64_t outputLimit, SampleBlock& output, int threadCount) {
    const std::int64_t remaining = outputLimit - s.nextOutput;
    s.formThreads = threadCount;
    if (threadCount < 2 || !s.boundsUsable || remaining < kSplitOutputs) {
        runSearch(s, highRate, passLast, outputLimit, output);
        return;
    }
    const ExtendedPrecisionScope precision;
    const std::int64_t middle = s.nextOutput + remaining / 2;
    const std::int64_t formedBefore = s.formed;
    const std::int64_t skippedBefore = s.skipped;
    TrackingStream second = s;
    const std::int64_t guess = startSecondHalf(second, highRate, middle);
    if (guess < 0) {
        runSearch(s, highRate, passLast, outputLimit, output);
        return;
    }
    // Each half forms its windows on its own thread.
    s.formThreads = 1;
    second.formThreads = 1;
    const double guessTime = second.previousTime;
    const double guessValue = second.previousValue;
    SampleBlock secondOutput;
    runChunks(2, 1, 2, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t half = begin; half < end; ++half) {
            if (half == 0) {
                runSearch(s, highRate, passLast, middle, output);
            } else {
                runSearch(second, highRate, passLast, outputLimit, secondOutput);
            }
        }
    });
    s.formThreads = threadCount;
    second.formThreads = threadCount;
    if (halvesJoin(s, highRate, middle, guess, guessTime, guessValue)) {
        output.insert(output.end(), secondOutput.begin(), secondOutput.end());
        // The second half started from the counts the first one started from.
        second.formed += s.formed - formedBefore;
        second.skipped += s.skipped - skippedBefore;
        second.halvesJoined = s.halvesJoined + 1;
        s = second;
        return;
    }
    // The guess was wrong: the first half goes on alone, as if there had been no second.
    runSearch(s, highRate, passLast, outputLimit, output);
}

void runTrackingStream(TrackingStream& stream, const UpsampleStream& highRate,
                       std::int64_t passLast, std::int64_t outputLimit, SampleBlock& output) {
    runSearch(stream, HighRateSource{&highRate, nullptr, 0}, passLast, outputLimit, output);
}

void runTrackingStreamSplit(TrackingStream& stream, const UpsampleStream& highRate,
                            std::int64_t passLast, std::int64_t outputLimit, SampleBlock& output,
                            int threadCount) {
    runSplitSearch(stream, HighRateSource{&highRate, nullptr, 0}, passLast, outputLimit, output,
                   threadCount);
}

void runTrackingOverSignal(TrackingStream& stream, const double* samples, std::int64_t length,
                           std::int64_t passLast, std::int64_t outputLimit, SampleBlock& output,
                           int threadCount) {
    runSplitSearch(stream, HighRateSource{nullptr, samples, length}, passLast, outputLimit, output,
                   threadCount);
}
