#include "dsp/tracking_error.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <system_error>
#include <thread>
#include <vector>

#include <emmintrin.h>
#include <immintrin.h>

#include "dsp/cpu_features.hpp"
#include "dsp/extended.hpp"

// The pass finds, for each output instant, the first high-rate index at or after the previous
// one whose corrected time is strictly later. The corrected time of an index takes two extended
// divisions to form exactly, so the search runs on a cheap double estimate of it instead, whose
// error has a proven bound, and forms the exact value only where the estimate cannot decide the
// comparison and for the two indices that the interpolation itself needs. The estimates are made
// a window at a time, on a second thread ahead of the search; each one depends on its index alone.

static constexpr std::int64_t kWindowLength = std::int64_t{1} << 17;
// NaN elements after a window's estimates, where every scan stops; a scan's widest load is 8.
static constexpr std::int64_t kStopLength = 8;

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

#define CARTRIVEX_WIDE __attribute__((target("avx512f,avx512dq")))

// The estimates of [0, count) of a window eight at a time (the same operations on the same
// values as the plain loop, so the same estimates). Returns how many it made; leaves the
// largest sample magnitude in `largest` and whether any sample left the range in `rangeLeft`.
CARTRIVEX_WIDE std::int64_t estimateEight(const TimeAxis& axis, const double* lateral,
                                          std::int64_t count, double firstOffset, double* estimates,
                                          double& largest, bool& rangeLeft) {
    const __m512d high = _mm512_set1_pd(kSampleMagnitudeHigh);
    const __m512d period = _mm512_set1_pd(axis.highRatePeriod);
    const __m512d shiftPerSample = _mm512_set1_pd(axis.shiftPerSample);
    const __m512d eight = _mm512_set1_pd(8.0);
    __m512d offset = _mm512_add_pd(_mm512_set1_pd(firstOffset),
                                   _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0));
    __mmask8 outOfRange = 0;
    __m512d largestSample = _mm512_setzero_pd();
    std::int64_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m512d sample = _mm512_loadu_pd(lateral + k);
        const __m512d magnitude = _mm512_abs_pd(sample);
        outOfRange |= _mm512_cmp_pd_mask(magnitude, high, _CMP_NLE_UQ);
        // The zero-masked form: GCC 12 warns of an undefined value inside plain _mm512_max_pd.
        largestSample = _mm512_maskz_max_pd(0xFF, largestSample, magnitude);
        const __m512d nominal = _mm512_mul_pd(offset, period);
        const __m512d timingError = _mm512_mul_pd(sample, shiftPerSample);
        _mm512_storeu_pd(estimates + k, _mm512_sub_pd(nominal, timingError));
        offset = _mm512_add_pd(offset, eight);
    }
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, largestSample);
    largest = *std::max_element(lanes, lanes + 8);
    rangeLeft = outOfRange != 0;
    return k;
}

// The first k from `k` on whose estimate is not below `before`: eight at a time.
CARTRIVEX_WIDE std::int64_t skipBeforeEight(const double* estimates, std::int64_t k,
                                            double before) {
    const __m512d limit = _mm512_set1_pd(before);
    for (;;) {
        const __mmask8 below =
            _mm512_cmp_pd_mask(_mm512_loadu_pd(estimates + k), limit, _CMP_LT_OQ);
        if (below != 0xFF) {
            return k + std::countr_one(static_cast<unsigned>(below));
        }
        k += 8;
    }
}

#undef CARTRIVEX_WIDE

// The same, two and four at a time, on any x86-64 processor.
std::int64_t skipBefore(const double* estimates, std::int64_t k, double before) {
    const __m128d limit = _mm_set1_pd(before);
    while (_mm_movemask_pd(_mm_and_pd(_mm_cmplt_pd(_mm_loadu_pd(estimates + k), limit),
                                      _mm_cmplt_pd(_mm_loadu_pd(estimates + k + 2), limit))) == 3) {
        k += 4;
    }
    while (estimates[k] < before) {
        ++k;
    }
    return k;
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
    double wideLargest = 0.0;
    bool wideRangeLeft = false;
    if (hasAvx512()) {
        k = estimateEight(axis, lateral, count, firstOffset, estimates, wideLargest, wideRangeLeft);
        offset = _mm_add_pd(offset, _mm_set1_pd(static_cast<double>(k)));
    }
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
    double largest = std::max({lanes[0], lanes[1], wideLargest});
    bool rangeLeft = wideRangeLeft || _mm_movemask_pd(outOfRange) != 0;
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

// The estimates in windows of kWindowLength indices, window w covering [w L, (w + 1) L). The
// search only ever moves forward, so with a second thread the windows are made ahead of it, a
// few at a time, while the search scans the one before; with one thread each window is made
// when the search reaches it.
class EstimateWindows {
  public:
    EstimateWindows(const TimeAxis& axis, std::int64_t last, int threadCount)
        : axis_(axis), last_(last), windowCount_(last / kWindowLength + 1) {
        const std::int64_t capacity = std::min(kWindowLength, last + 1);
        for (Window& window : ring_) {
            window.estimates.resize(static_cast<std::size_t>(capacity + kStopLength));
        }
        if (threadCount > 1 && windowCount_ > 1) {
            try {
                producer_ = std::thread([this] { produce(); });
            } catch (const std::system_error&) {
                // made one at a time instead
            }
        }
    }

    ~EstimateWindows() {
        stopping_.store(true, std::memory_order_release);
        if (producer_.joinable()) {
            producer_.join();
        }
    }

    EstimateWindows(const EstimateWindows&) = delete;
    EstimateWindows& operator=(const EstimateWindows&) = delete;

    std::int64_t begin() const { return current_->begin; }
    std::int64_t end() const { return current_->end; }
    bool covers(std::int64_t j) const {
        return current_ != nullptr && j >= current_->begin && j < current_->end;
    }
    // Element k is the estimate for index begin() + k; the elements from end() on are NaN, which
    // stops every scan.
    const double* estimates() const { return current_->estimates.data(); }
    double largestSize() const { return current_->largest; }

    // Makes the window holding j current; j is at or after the current window's start.
    void moveTo(std::int64_t j) {
        const std::int64_t w = j / kWindowLength;
        Window& window = ring_[static_cast<std::size_t>(w % kRingSize)];
        if (producer_.joinable()) {
            inUse_.store(w, std::memory_order_release);
            waitUntil([&] { return produced_.load(std::memory_order_acquire) > w; });
        } else {
            fill(window, w);
        }
        current_ = &window;
    }

  private:
    static constexpr std::int64_t kRingSize = 4;

    struct Window {
        std::vector<double> estimates;
        std::int64_t begin = 0;
        std::int64_t end = 0;
        double largest = 0.0;
    };

    void fill(Window& window, std::int64_t w) {
        window.begin = w * kWindowLength;
        window.end = std::min(last_ + 1, window.begin + kWindowLength);
        const std::int64_t length = window.end - window.begin;
        window.largest =
            estimateCorrectedTimes(axis_, window.begin, window.end, window.estimates.data());
        std::fill(window.estimates.begin() + length,
                  window.estimates.begin() + length + kStopLength,
                  std::numeric_limits<double>::quiet_NaN());
    }

    void produce() {
        for (std::int64_t w = 0; w < windowCount_; ++w) {
            // The slot of window w is free once the search has moved past window w - kRingSize.
            if (!waitUntil(
                    [&] { return inUse_.load(std::memory_order_acquire) > w - kRingSize; })) {
                return;
            }
            fill(ring_[static_cast<std::size_t>(w % kRingSize)], w);
            produced_.store(w + 1, std::memory_order_release);
        }
    }

    // Spins briefly, then yields, until `ready()` holds; false when the pass is ending.
    template <typename Ready>
    bool waitUntil(Ready ready) {
        for (int spin = 0; !ready(); ++spin) {
            if (stopping_.load(std::memory_order_acquire)) {
                return false;
            }
            if (spin < 4096) {
                _mm_pause();
            } else {
                std::this_thread::yield();
            }
        }
        return true;
    }

    const TimeAxis& axis_;
    std::int64_t last_;
    std::int64_t windowCount_;
    std::array<Window, kRingSize> ring_;
    const Window* current_ = nullptr;
    std::atomic<std::int64_t> inUse_{0};
    std::atomic<std::int64_t> produced_{0};
    std::atomic<bool> stopping_{false};
    std::thread producer_;
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
            const std::int64_t k = wide_ ? skipBeforeEight(estimates, j - offset, surelyBefore)
                                         : skipBefore(estimates, j - offset, surelyBefore);
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
    EstimateWindows window_;
    ExactTimes exact_;
    bool wide_ = hasAvx512();
};

// Every output instant in turn. The pass (and the thread making its estimates) ends before the
// high-rate signal it reads can be released.
void interpolateAll(const TimeAxis& axis, std::int64_t last, std::int64_t frames,
                    long double samplePeriod, int threadCount, SampleBuffer& distortedLateral) {
    InterpolationPass pass(axis, last, threadCount);
    SearchState state;
    // Once a search has run to the end, every corrected time from the start index on is at or
    // before that output instant; a later instant at or beyond it, or beyond the latest of those
    // times, fails the same way without searching again.
    bool exhausted = false;
    long double exhaustedAt = 0.0L;
    bool latestKnown = false;
    long double latest = 0.0L;
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
}

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
    interpolateAll(axis, last, frames, geometry.samplePeriod, threadCount, distortedLateral);
    highRateLateral.release();
    return distortedLateral;
}
