#include "dsp/timing_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <emmintrin.h>

#include "dsp/extended.hpp"
#include "dsp/upsample_design.hpp"

// Estimates. The corrected time of j is estimated in double as (j − 10447)·(T/144) − U_j·tan a /
// (32768 v), the two factors rounded once each. With the amplitude and tangent 0 or within
// 2^-200 .. 2^200 in magnitude, the velocity and period within that range, and every sample of a
// window finite and at most 2^300, no intermediate of either the exact or the estimated value
// overflows, and each rounding errs by half an ulp of its result or, where a sample is tiny
// enough to underflow, by 2^-1075 at most. Summed over the steps, the estimate is within
// 2^-49 (|nominal time| + |timing error|) + 2^-669 of the exact corrected time, and the rounded
// output instant within 2^-52 of its own magnitude. A comparison counts as decided only beyond
// 2^-44 of these magnitudes plus 2^-600, which leaves ample room for the roundings of the margin
// itself. Every step is the same for either sign of the tangent (Undo negates it), as the bounds
// are, which take its magnitude. The same estimate decides for a single index outside a window: one
// whose estimate lies surely before the output instant is passed over on its value alone. Elsewhere
// every comparison is made on exact values.

namespace {

constexpr long double kParameterMagnitudeLow = 0x1p-200L;
constexpr long double kParameterMagnitudeHigh = 0x1p200L;

bool inRange(long double value) {
    const long double magnitude = std::fabs(value);
    return magnitude >= kParameterMagnitudeLow && magnitude <= kParameterMagnitudeHigh;
}

bool inRangeOrZero(long double value) {
    return value == 0.0L || inRange(value);
}

}  // namespace

bool TimingModel::estimableParameter(long double value) {
    return inRangeOrZero(value);
}

TimingModel::TimingModel(double fullScaleLateralAmplitude, const GrooveGeometry& geometry,
                         TimingDirection direction)
    : undo_(direction == TimingDirection::Undo),
      samplePeriod_(geometry.samplePeriod),
      highRatePeriod_(stored(static_cast<long double>(geometry.samplePeriod) / kUpsampleFactor)) {
    settle(fullScaleLateralAmplitude, geometry);
}

// The amplitude, tangent and velocity of a groove of one geometry, and what follows from them.
void TimingModel::settle(double fullScaleLateralAmplitude, const GrooveGeometry& geometry) {
    amplitude_ = fullScaleLateralAmplitude;
    tangent_ = directed(geometry.trackingTangent);
    velocity_ = geometry.grooveVelocity;
    estimable_ = inRangeOrZero(amplitude_) && inRangeOrZero(tangent_) && inRange(velocity_) &&
                 inRange(samplePeriod_);
    shiftPerSample_ = 0.0;
    if (estimable_) {
        shiftPerSample_ = stored(tangent_ * amplitude_ / 32768 / velocity_);
    }
    boundsUsable_ = std::isfinite(amplitude_) && std::isfinite(tangent_) &&
                    std::isfinite(velocity_) && velocity_ != 0.0 && std::isfinite(samplePeriod_) &&
                    samplePeriod_ > 0.0 && highRatePeriod_ > 0.0;
}

// Changes while the groove plays. Each ramp moves the four disc parameters linearly in the index;
// an index on a ramp takes the amplitude, and the tangent and velocity that deriveGrooveGeometry
// gives for the parameters moved that far (the sample rate only sets the period, not used here).
bool TimingModel::changeDisc(std::int64_t first, std::int64_t end, const DiscParameters& from,
                             const DiscParameters& to) {
    if (moving_ || !ramps_.add(DiscRamps::Ramp{first, end, from, to})) {
        return false;
    }
    settle(to.fullScaleLateralAmplitude, deriveGrooveGeometry(to, 1));
    settledFrom_ = end;
    boundRamps();
    return true;
}

void TimingModel::releaseBefore(std::int64_t j) {
    if (ramps_.empty() || ramps_.begin()->end > j) {
        return;
    }
    ramps_.releaseBefore(j);
    boundRamps();
}

void TimingModel::reset(double fullScaleLateralAmplitude, const GrooveGeometry& geometry) {
    ramps_.clear();
    settledFrom_ = std::numeric_limits<std::int64_t>::min();
    moving_ = false;
    settle(fullScaleLateralAmplitude, geometry);
}

void TimingModel::rampAt(std::int64_t j, long double& amplitude, long double& tangent,
                         long double& velocity) const {
    const DiscParameters disc = ramps_.at(j);
    const GrooveGeometry geometry = deriveGrooveGeometry(disc, 1);
    amplitude = disc.fullScaleLateralAmplitude;
    tangent = directed(geometry.trackingTangent);
    velocity = geometry.grooveVelocity;
}

// Along a ramp every parameter lies between its two ends (but for a rounding), and so do |a| and
// the angle, whose |tan| grows with its magnitude. The velocity 2 pi r n / 60 is least at one end
// too: r and n are linear in the index, so their product is monotonic where both move the same
// way and concave where they move apart.
void TimingModel::boundRamps() {
    rampAmplitude_ = 0.0L;
    rampTangent_ = 0.0L;
    rampVelocity_ = std::numeric_limits<long double>::infinity();
    for (const DiscRamps::Ramp& ramp : ramps_) {
        for (const DiscParameters* disc : {&ramp.from, &ramp.to}) {
            const GrooveGeometry geometry = deriveGrooveGeometry(*disc, 1);
            rampAmplitude_ =
                std::max<long double>(rampAmplitude_, std::fabs(disc->fullScaleLateralAmplitude));
            rampTangent_ = std::max(rampTangent_, std::fabs(geometry.trackingTangent));
            rampVelocity_ =
                std::min<long double>(rampVelocity_, std::fabs(geometry.grooveVelocity));
        }
    }
}

TimingModel::TimingModel(double fullScaleLateralAmplitude, const GroovePath& path,
                         TimingDirection direction)
    : TimingModel(fullScaleLateralAmplitude, grooveGeometryAt(path, 0), direction) {
    moving_ = true;
    path_ = path;
    estimable_ = false;
    // The bounds are made stretch by stretch; only the constant parts need to be usable here.
    boundsUsable_ = std::isfinite(amplitude_) && std::isfinite(samplePeriod_) &&
                    samplePeriod_ > 0.0 && highRatePeriod_ > 0.0;
}

// On a moving path the radius changes by far less than a micrometre over a stretch, so the
// error's tangent there lies within its values at the two ends but for a curvature term some ten
// orders of magnitude below the slack added to it, and the velocity, monotonic in the radius, is
// least at one end.
bool TimingModel::stretchGeometry(std::int64_t first, std::int64_t last, long double& amplitude,
                                  long double& tangent, long double& velocity) const {
    amplitude = std::fabs(amplitude_);
    tangent = std::fabs(tangent_);
    velocity = std::fabs(static_cast<long double>(velocity_));
    if (!moving_ && first < settledFrom_) {
        // Over the ramps, with room for the roundings of the interpolation.
        amplitude = rampAmplitude_ * (1.0L + 0x1p-20L);
        tangent = rampTangent_ * (1.0L + 0x1p-20L) + 0x1p-30L;
        velocity = rampVelocity_ * (1.0L - 0x1p-20L);
        if (!(velocity > 0.0L) || !std::isfinite(amplitude) || !std::isfinite(tangent)) {
            return false;
        }
    }
    if (moving_) {
        const GrooveGeometry a = grooveGeometryAt(path_, first);
        const GrooveGeometry b = grooveGeometryAt(path_, last);
        tangent = std::max(std::fabs(a.trackingTangent), std::fabs(b.trackingTangent)) *
                      (1.0L + 0x1p-20L) +
                  0x1p-30L;
        velocity = std::min(std::fabs(static_cast<long double>(a.grooveVelocity)),
                            std::fabs(static_cast<long double>(b.grooveVelocity)));
        if (!(velocity > 0.0L)) {
            return false;
        }
    }
    return true;
}

double TimingModel::timingErrorBound(double largest, std::int64_t first, std::int64_t last) const {
    long double amplitude = 0.0L;
    long double tangent = 0.0L;
    long double velocity = 0.0L;
    if (!stretchGeometry(first, last, amplitude, tangent, velocity)) {
        return std::numeric_limits<double>::infinity();
    }
    const double displacement = stored(largest * amplitude * 0x1p-15L);
    const double shift = stored(tangent * displacement);
    return stored(shift / velocity);
}

TimingModel::WindowRange TimingModel::estimateWindow(double firstOffset, std::int64_t begin,
                                                     std::int64_t end, const double* values,
                                                     double* estimates) const {
    // Two at a time.
    const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d high = _mm_set1_pd(kSampleMagnitudeHigh);
    const __m128d period = _mm_set1_pd(highRatePeriod_);
    const __m128d shift = _mm_set1_pd(shiftPerSample_);
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
    WindowRange range{std::max(lanes[0], lanes[1]), _mm_movemask_pd(outOfRange) != 0};
    for (; k < end; ++k) {
        range.rangeLeft = range.rangeLeft || !(std::fabs(values[k]) <= kSampleMagnitudeHigh);
        range.largest = std::max(range.largest, std::fabs(values[k]));
        estimates[k] =
            (firstOffset + static_cast<double>(k)) * highRatePeriod_ - values[k] * shiftPerSample_;
    }
    return range;
}

double TimingModel::windowMagnitude(double firstOffset, std::int64_t count,
                                    const WindowRange& range) const {
    // |nominal time| is largest at one end of the window.
    const double lastOffset = firstOffset + static_cast<double>(count - 1);
    return std::max(std::fabs(firstOffset * highRatePeriod_),
                    std::fabs(lastOffset * highRatePeriod_)) +
           range.largest * std::fabs(shiftPerSample_);
}
