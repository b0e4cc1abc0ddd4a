#include "dsp/tracking_error.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include <emmintrin.h>

#include "dsp/block_workers.hpp"
#include "dsp/extended.hpp"

// The pass finds, for each output instant, the first high-rate index at or after the previous
// one whose corrected time is strictly later. The corrected time of an index takes two extended
// divisions to form exactly, so the search runs on a cheap double estimate of it instead, whose
// error has a proven bound, and forms the exact value only where the estimate cannot decide the
// comparison and for the two indices that the interpolation itself needs. The estimates are made
// ahead of the search, a window at a time, on all threads; each one depends on its index alone.

static constexpr std::int64_t kUpsampleFactor = 144;
static constexpr std::int64_t kWindowLength = std::int64_t{1} << 17;
// NaN elements after a window's estimates, where every scan stops.
static constexpr std::int64_t kStopLength = 4;

// How far an estimate can be from the exact corrected time. With the amplitude and tangent 0 or
// within 2^-200 .. 2^200 in magnitude, the velocity and period within that range, and every
// sample of a window finite and at most 2^300, no intermediate of either the exact or the
// estimated value overflows, and each rounding errs by half an ulp of its result or, where a
// sample is tiny enough to underflow, by 2^-1075 at most. Summed over the steps, the estimate is
// within 2^-49 (|nominal time| + |timing error|) + 2^-669 of the exact corrected time, and the
// rounded output instant within 2^-52 of its own magnitude. A comparison counts as decided only
// beyond 2^-44 of these magnitudes plus 2^-600, which leaves ample room for the roundings of the
// margin itself. Windows or parameters outside these ranges are decided by exact values alone.
static constexpr long double kParameterMagnitudeLow = 0x1p-200L;
static constexpr long double kParameterMagnitudeHigh = 0x1p200L;
static constexpr double kSampleMagnitudeHigh = 0x1p300;
static constexpr double kDecisionMargin = 0x1p-44;
static constexpr double kDecisionFloor = 0x1p-600;

namespace {

struct TimeAxis {
    const double* lateral = nullptr;
    long double amplitude = 0.0L;
    long double tangent = 0.0L;
    long double velocity = 0.0L;
    long double samplePeriod = 0.0L;
    bool estimable = false;
    double highRatePeriod = 0.0;  // T / 144
    double shiftPerSample = 0.0;  // tan a / (32768 v): timing error per unit of sample value
};

bool inRangeOrZero(long double value) {
    const long double magnitude = std::fabs(value);
    return value == 0.0L ||
           (magnitude >= kParameterMagnitudeLow && magnitude <= kParameterMagnitudeHigh);
}

bool inRange(long double value) {
    const long double magnitude = std::fabs(value);
    return magnitude >= kParameterMagnitudeLow && magnitude <= kParameterMagnitudeHigh;
}

TimeAxis makeTimeAxis(const double* lateral, double amplitude, const GrooveGeometry& geometry) {
    TimeAxis axis;
    axis.lateral = lateral;
    axis.amplitude = amplitude;
    axis.tangent = geometry.trackingTangent;
    axis.velocity = geometry.grooveVelocity;
    axis.samplePeriod = geometry.samplePeriod;
    axis.estimable = inRangeOrZero(axis.amplitude) && inRangeOrZero(axis.tangent) &&
                     inRange(axis.velocity) && inRange(axis.samplePeriod);
    if (axis.estimable) {
        axis.highRatePeriod = stored(axis.samplePeriod / kUpsampleFactor);
        axis.shiftPerSample = stored(axis.tangent * axis.amplitude / 32768 / axis.velocity);
    }
    return axis;
}

// The corrected time of high-rate index j, exactly as defined: displacement, shift along the
// groove and timing error each stored, then the nominal time less the timing error, stored.
double correctedTime(const TimeAxis& axis, std::int64_t j) {
    // Dividing by 32768 = 2^15 is exact in the extended range, so it is a multiplication.
    const double displacement = stored(axis.lateral[j] * axis.amplitude * 0x1p-15L);
    const double shift = stored(axis.tangent * displacement);
    const double timingError = stored(shift / axis.velocity);
    return stored(static_cast<long double>(j - kAlignmentDelay) * axis.samplePeriod /
                      kUpsampleFactor -
                  timingError);
}

// Estimates of the corrected times of [begin, end) into `estimates`, two at a time, returning
// a bound on |nominal time| + |timing error| over them; or NaN throughout (and 0) where the
// samples or parameters leave the ranges the error bound holds for.
double estimateCorrectedTimes(const TimeAxis& axis, std::int64_t begin, std::int64_t end,
                              double* estimates) {
    const double notEstimated = std::numeric_limits<double>::quiet_NaN();
    const std::int64_t count = end - begin;
    if (!axis.estimable || count <= 0) {
        std::fill(estimates, estimates + std::max<std::int64_t>(count, 0), notEstimated);
        return 0.0;
    }
    const double* lateral = axis.lateral + begin;
    const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d high = _mm_set1_pd(kSampleMagnitudeHigh);
    const __m128d period = _mm_set1_pd(axis.highRatePeriod);
    const __m128d shiftPerSample = _mm_set1_pd(axis.shiftPerSample);
    const __m128d two = _mm_set1_pd(2.0);
    // Index differences stay far below 2^53, so they count exactly in doubles.
    const double firstOffset = static_cast<double>(begin - kAlignmentDelay);
    __m128d offset = _mm_set_pd(firstOffset + 1.0, firstOffset);
    __m128d outOfRange = _mm_setzero_pd();  // NaN, infinite or above 2^300
    __m128d largestSample = _mm_setzero_pd();
    std::int64_t k = 0;
    for (; k + 2 <= count; k += 2) {
        const __m128d sample = _mm_loadu_pd(lateral + k);
        const __m128d magnitude = _mm_and_pd(sample, magnitudeMask);
        outOfRange = _mm_or_pd(outOfRange, _mm_cmpnle_pd(magnitude, high));
        largestSample = _mm_max_pd(largestSample, magnitude);
        const __m128d nominal = _mm_mul_pd(offset, period);
        const __m128d timingError = _mm_mul_pd(sample, shiftPerSample);
        _mm_storeu_pd(estimates + k, _mm_sub_pd(nominal, timingError));
        offset = _mm_add_pd(offset, two);
    }
    double lanes[2];
    _mm_storeu_pd(lanes, largestSample);
    double largest = std::max(lanes[0], lanes[1]);
    bool rangeLeft = _mm_movemask_pd(outOfRange) != 0;
    for (; k < count; ++k) {
        const double sample = lateral[k];
        rangeLeft = rangeLeft || !(std::fabs(sample) <= kSampleMagnitudeHigh);
        largest = std::max(largest, std::fabs(sample));
        const double nominal = (firstOffset + static_cast<double>(k)) * axis.highRatePeriod;
        estimates[k] = nominal - sample * axis.shiftPerSample;
    }
    if (rangeLeft) {
        std::fill(estimates, estimates + count, notEstimated);
        return 0.0;
    }
    // |nominal time| is largest at one end of the window; rounding keeps both bounds monotonic.
    const double lastOffset = firstOffset + static_cast<double>(count - 1);
    const double nominalBound = std::max(std::fabs(firstOffset * axis.highRatePeriod),
                                         std::fabs(lastOffset * axis.highRatePeriod));
    return nominalBound + largest * std::fabs(axis.shiftPerSample);
}

// The estimates of one window of high-rate indices, made on all threads.
class EstimateWindow {
  public:
    EstimateWindow(const TimeAxis& axis, std::int64_t last, int threadCount)
        : axis_(axis), last_(last), workers_(threadCount) {
        capacity_ = std::min(kWindowLength, last + 1);
        estimates_.resize(static_cast<std::size_t>(capacity_ + kStopLength));
        partLargest_.resize(static_cast<std::size_t>(workers_.partCount()));
    }

    std::int64_t begin() const { return begin_; }
    std::int64_t end() const { return end_; }
    bool covers(std::int64_t j) const { return j >= begin_ && j < end_; }
    // Element k is the estimate for index begin() + k; the elements from end() on are NaN, which
    // stops every scan.
    const double* estimates() const { return estimates_.data(); }
    double largestSize() const { return largestSize_; }

    void moveTo(std::int64_t begin) {
        begin_ = begin;
        end_ = std::min(last_ + 1, begin + capacity_);
        const int parts = workers_.partCount();
        const std::int64_t length = end_ - begin_;
        const std::int64_t share = (length + parts - 1) / parts;
        workers_.runRound([&](int part) {
            const std::int64_t first = std::min(length, share * part);
            const std::int64_t stop = std::min(length, first + share);
            partLargest_[static_cast<std::size_t>(part)] = estimateCorrectedTimes(
                axis_, begin_ + first, begin_ + stop, estimates_.data() + first);
        });
        std::fill(estimates_.begin() + length, estimates_.begin() + length + kStopLength,
                  std::numeric_limits<double>::quiet_NaN());
        largestSize_ = *std::max_element(partLargest_.begin(), partLargest_.end());
    }

  private:
    const TimeAxis& axis_;
    std::int64_t last_;
    std::int64_t capacity_ = 0;
    BlockWorkers workers_;
    std::vector<double> estimates_;
    std::vector<double> partLargest_;
    std::int64_t begin_ = 0;
    std::int64_t end_ = 0;
    double largestSize_ = 0.0;
};

// The last two exact corrected times formed: the interpolation asks for j - 1 and j, and the next
// search starts at j again.
class ExactTimes {
  public:
    explicit ExactTimes(const TimeAxis& axis) : axis_(axis) {}

    double at(std::int64_t j) {
        if (j == index_[0]) {
            return time_[0];
        }
        if (j == index_[1]) {
            return time_[1];
        }
        const int slot = next_;
        next_ ^= 1;
        index_[slot] = j;
        time_[slot] = correctedTime(axis_, j);
        return time_[slot];
    }

  private:
    const TimeAxis& axis_;
    std::int64_t index_[2] = {-1, -1};
    double time_[2] = {0.0, 0.0};
    int next_ = 0;
};

struct SearchState {
    std::int64_t startIndex = 0;
    // Index whose corrected time is the previous corrected time; -1 for the initial 0.0.
    std::int64_t previousIndex = -1;
};

class InterpolationPass {
  public:
    InterpolationPass(const TimeAxis& axis, std::int64_t last, int threadCount)
        : axis_(axis), last_(last), window_(axis, last, threadCount), exact_(axis) {}

    // Searches from `state.startIndex` for the first index whose corrected time is not at or
    // before `outputTime`; on success leaves it in `found` and moves the start index there.
    bool search(long double outputTime, SearchState& state, std::int64_t& found) {
        const double roughOutput = stored(outputTime);
        std::int64_t j = state.startIndex;
        while (j <= last_) {
            if (!window_.covers(j)) {
                window_.moveTo(j);
            }
            const double margin =
                (window_.largestSize() + std::fabs(roughOutput)) * kDecisionMargin + kDecisionFloor;
            const double surelyBefore = roughOutput - margin;
            const double surelyAfter = roughOutput + margin;
            const double* estimates = window_.estimates();
            const std::int64_t offset = window_.begin();
            std::int64_t k = j - offset;
            const __m128d before = _mm_set1_pd(surelyBefore);
            while (_mm_movemask_pd(
                       _mm_and_pd(_mm_cmplt_pd(_mm_loadu_pd(estimates + k), before),
                                  _mm_cmplt_pd(_mm_loadu_pd(estimates + k + 2), before))) == 3) {
                k += 4;
            }
            while (estimates[k] < surelyBefore) {
                ++k;
            }
            if (k + offset > j) {
                j = k + offset;
                state.previousIndex = j - 1;
            }
            if (j == window_.end()) {
                continue;
            }
            const bool later = estimates[k] > surelyAfter || !(outputTime >= exact_.at(j));
            if (later) {
                found = j;
                state.startIndex = j;
                return true;
            }
            state.previousIndex = j;
            ++j;
        }
        state.previousIndex = last_;
        return false;
    }

    double interpolate(long double outputTime, const SearchState& state, std::int64_t j) {
        const double* lateral = axis_.lateral;
        const long double time = exact_.at(j);
        const long double previousTime =
            state.previousIndex < 0 ? 0.0L : exact_.at(state.previousIndex);
        // Index 0 has no predecessor; the signal before it is taken as 0.
        const long double before = j > 0 ? lateral[j - 1] : 0.0L;
        return stored(
            (lateral[j] - before) * ((outputTime - previousTime) / (time - previousTime)) + before);
    }

    // The latest corrected time over [from, last]; every one of them is ordered.
    long double latestTime(std::int64_t from) {
        double latest = -std::numeric_limits<double>::infinity();
        for (std::int64_t j = from; j <= last_; ++j) {
            latest = std::max(latest, correctedTime(axis_, j));
        }
        return latest;
    }

  private:
    const TimeAxis& axis_;
    std::int64_t last_;
    EstimateWindow window_;
    ExactTimes exact_;
};

}  // namespace

SampleBuffer calculateInterpolatedOutput(SampleBuffer highRateLateral, std::int32_t frameCount,
                                         double fullScaleLateralAmplitude,
                                         const GrooveGeometry& geometry, int threadCount) {
    const std::int64_t frames = std::max<std::int32_t>(frameCount, 0);
    SampleBuffer distortedLateral(static_cast<std::size_t>(frames));
    // Never read past the buffer, whatever it holds.
    const std::int64_t last = std::min<std::int64_t>(
        kUpsampleFactor * frames + 20837, static_cast<std::int64_t>(highRateLateral.size()) - 1);
    if (frames == 0 || last < 0) {
        highRateLateral.release();
        return distortedLateral;
    }
    const TimeAxis axis = makeTimeAxis(highRateLateral.data(), fullScaleLateralAmplitude, geometry);
    InterpolationPass pass(axis, last, threadCount);
    SearchState state;
    // Once a search has run to the end, every corrected time from the start index on is at or
    // before that output instant; a later instant at or beyond it, or beyond the latest of those
    // times, fails the same way without searching again.
    bool exhausted = false;
    long double exhaustedAt = 0.0L;
    bool latestKnown = false;
    long double latest = 0.0L;
    const long double samplePeriod = geometry.samplePeriod;
    for (std::int64_t i = 0; i < frames; ++i) {
        const long double outputTime = samplePeriod * static_cast<long double>(i);
        if (exhausted) {
            if (outputTime >= exhaustedAt) {
                continue;
            }
            if (!latestKnown) {
                latest = pass.latestTime(state.startIndex);
                latestKnown = true;
            }
            if (outputTime >= latest) {
                continue;
            }
        }
        std::int64_t j = 0;
        if (pass.search(outputTime, state, j)) {
            distortedLateral[static_cast<std::size_t>(i)] = pass.interpolate(outputTime, state, j);
            exhausted = false;
        } else {
            exhausted = true;
            exhaustedAt = outputTime;
            latestKnown = false;
        }
    }
    highRateLateral.release();
    return distortedLateral;
}
