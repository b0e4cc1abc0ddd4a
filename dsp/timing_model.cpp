#include "dsp/timing_model.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include <emmintrin.h>

#include "dsp/extended.hpp"
#include "dsp/tonearm.hpp"
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
    movingEstimates_ = false;
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

// The tangent on a moving side. Index j's exact tangent is T = tanl(x), x = stored-extended
// (degrees·pi)/180 of the arm's error at j's radius, and the chain uses it only in
// p = stored(T·y), y a double. The angle moves by some 10^-10 radian from index to index, so
// instead of a tanl per index, each thread keeps an anchor x0 with T0 = tanl(x0) and, for x within
// h = x − x0, |h| <= 2^-16, forms
//   t = (T0 + τ)/(1 − T0·τ),   τ = h + h³/3,
// the addition theorem with tan h to within 2h^5/15 < 2^-66 |h|. With u = 2^-64 for each extended
// rounding and tanl within ε of the true tangent (the GNU C Library lists its extended tanl within
// a few ulp; ε = 2^-60 here allows 8), and |T0| <= 256 so that |T0·τ| <= 2^-8:
//   τ is within 3u|τ| of tan h (h's own rounding, the products, the truncation);
//   the numerator within ε|T0| + 3u|τ| + u|T0 + τ| of its true value, the denominator within
//   u + 2^-8 (ε + 4u) of its own, which is within 2^-8 of 1;
//   so t is within (1 + 2^-7)(ε|T0| + 3u|τ| + 2u|T0 + τ|) + u|t| of tan x, and T within ε|tan x|.
// Altogether |t − T| <= 2^-59 (|T0| + |τ| + |t|) =: E. Then the exact product P = T·y lies within
// |y|·E + 2^-63 |t·y| of the extended product p' = t·y, and p' ± (|y|·E + 2^-62 |p'|), each
// rounded to extended, still enclose P (the extra 2^-63 |p'| covers those two roundings). Both
// roundings of the chain, to extended and then to double, are monotonic, and the ends are
// extended values, so where both ends round to the same double (bit for bit, the sign of a zero
// included) that double is stored(T·y). Otherwise, about one time in twenty, and wherever the
// anchor is too far or not usable, the exact tanl is taken. A zero y gives a zero of the sign of
// T times y's, which t has wherever |t| > E. The anchor lives per thread: tanl(x0) is a function of
// x0 alone, so an anchor from any side serves another equally.

namespace {

struct TangentAnchor {
    long double angle = std::numeric_limits<long double>::quiet_NaN();
    long double tangent = std::numeric_limits<long double>::quiet_NaN();
};
thread_local TangentAnchor tangentAnchor;

constexpr long double kAnchorReach = 0x1p-16L;
constexpr long double kAnchorTangentHigh = 256.0L;
constexpr long double kNearTangentError = 0x1p-59L;
constexpr long double kThird = 1.0L / 3;

}  // namespace

TimingModel::LocalGeometry TimingModel::movingGeometry(std::int64_t j) const {
    // As grooveGeometryAt and deriveGrooveGeometry form them.
    const double radius = grooveRadiusAt(path_, j);
    const long double angle =
        static_cast<long double>(trackingErrorDegrees(path_.arm, radius)) * kChainPi / 180;
    const long double velocity = grooveVelocityAt(radius, path_.revolutionsPerMinute);
    TangentAnchor& anchor = tangentAnchor;
    const long double step = angle - anchor.angle;
    if (!(std::fabs(step) <= kAnchorReach) || !(std::fabs(anchor.tangent) <= kAnchorTangentHigh) ||
        angle == 0.0L) {
        anchor.angle = angle;
        anchor.tangent = std::tan(angle);
        return {amplitude_, directed(anchor.tangent), velocity, 0.0L, angle};
    }
    if (step == 0.0L) {
        // The same angle, and not a zero: the anchor's tangent is the exact one.
        return {amplitude_, directed(anchor.tangent), velocity, 0.0L, angle};
    }
    // h³/3 as h³ times the extended third, whose own error of 2^-66 falls inside τ's 3u.
    const long double nearStep = step + step * step * step * kThird;
    const long double tangent = (anchor.tangent + nearStep) / (1.0L - anchor.tangent * nearStep);
    const long double error =
        (std::fabs(anchor.tangent) + std::fabs(nearStep) + std::fabs(tangent)) * kNearTangentError;
    return {amplitude_, directed(tangent), velocity,
            std::max(error, std::numeric_limits<long double>::denorm_min()), angle};
}

double TimingModel::nearShift(const LocalGeometry& local, double y) const {
    const long double product = local.tangent * y;
    if (y == 0.0) {
        if (std::fabs(local.tangent) > local.tangentError) {
            return stored(product);
        }
    } else {
        const long double margin =
            std::fabs(y) * local.tangentError + std::fabs(product) * 0x1p-62L;
        const double low = stored(product - margin);
        const double high = stored(product + margin);
        if (std::bit_cast<std::uint64_t>(low) == std::bit_cast<std::uint64_t>(high)) {
            return low;
        }
    }
    return stored(directed(std::tan(local.angle)) * y);
}

TimingModel::TimingModel(double fullScaleLateralAmplitude, const GroovePath& path,
                         TimingDirection direction)
    : TimingModel(fullScaleLateralAmplitude, grooveGeometryAt(path, 0), direction) {
    moving_ = true;
    path_ = path;
    estimable_ = false;
    movingEstimates_ = inRangeOrZero(amplitude_) && inRange(samplePeriod_);
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
        // The ends' tangents within their error (see movingGeometry).
        const LocalGeometry a = movingGeometry(first);
        const LocalGeometry b = movingGeometry(last);
        tangent =
            std::max(std::fabs(a.tangent) + a.tangentError, std::fabs(b.tangent) + b.tangentError) *
                (1.0L + 0x1p-20L) +
            0x1p-30L;
        velocity = std::min(std::fabs(a.velocity), std::fabs(b.velocity));
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

// Estimates on a moving side. Each index j has its own slope k_j = tan_j·a/(32768 v_j), which an
// estimate of a settled groove would round once to double; a part of a window is estimated with
// one slope, the centre c of a span [k_lo, k_hi] that holds every k_j of a stretch (slopeOver).
// Against the settled estimate with j's own rounded slope, U·c differs by at most
// |U|·(|c − k_j| + 2^-52 |k_j|) plus the rounding of U·c, 2^-53 |U·c|: less than
// |U|·(spread + 2^-48·|k|max), with spread >= max(k_hi − c, c − k_lo). That is the part's slack;
// the window's decision margin is raised by twice the largest slack (windowMagnitude), on top of
// the settled estimates' margin, so every decision stays as sound as theirs.
//
// The span. The velocity 2 pi r n / 60 is monotonic in the radius, which is linear in the index, so
// over a stretch it lies between its values at the two ends. The tangent lies between its values at
// the ends but for the curvature of tan α(r): over a stretch whose radius moves at most 2^-10 mm,
// the chord misses the curve by at most 2^-23·max|d²tan α/dr²|, which for the arms of a record
// player (tenths of a radian per mm² at most) stays far below the 2^-30 added on either side, as in
// the bounds (stretchGeometry). With tan in [t_lo, t_hi] and v in [v_lo, v_hi] (one sign), k lies
// among the four corners' quotients, each formed in extended precision and widened by 2^-40 for
// their roundings. A stretch that is longer, or where a parameter leaves the estimates' range, is
// not estimated: the window then has no estimates and every comparison is exact.

namespace {

// Indices estimated with one slope, and how far the radius may move over them.
constexpr std::int64_t kSlopeStretch = 1024;
constexpr double kSlopeRadiusStep = 0x1p-10;

}  // namespace

TimingModel::SlopeSpan TimingModel::slopeOver(std::int64_t first, std::int64_t last) const {
    SlopeSpan span;
    if (!moving_ || !(std::fabs(grooveRadiusAt(path_, last) - grooveRadiusAt(path_, first)) <=
                      kSlopeRadiusStep)) {
        return span;
    }
    // The ends' tangents (directed) within their error, see movingGeometry.
    const LocalGeometry a = movingGeometry(first);
    const LocalGeometry b = movingGeometry(last);
    const long double error = std::max(a.tangentError, b.tangentError);
    const long double tangentHigh = std::max(a.tangent, b.tangent);
    const long double tangentLow = std::min(a.tangent, b.tangent);
    const long double slackHigh = std::fabs(tangentHigh) * 0x1p-20L + 0x1p-30L + error;
    const long double slackLow = std::fabs(tangentLow) * 0x1p-20L + 0x1p-30L + error;
    const long double tangents[2] = {tangentLow - slackLow, tangentHigh + slackHigh};
    const long double velocities[2] = {a.velocity, b.velocity};
    if (!inRange(velocities[0]) || !inRange(velocities[1]) ||
        (velocities[0] > 0.0L) != (velocities[1] > 0.0L) ||
        !(std::fabs(tangents[0]) <= kParameterMagnitudeHigh) ||
        !(std::fabs(tangents[1]) <= kParameterMagnitudeHigh)) {
        return span;
    }
    long double low = std::numeric_limits<long double>::infinity();
    long double high = -low;
    for (const long double tangent : tangents) {
        for (const long double velocity : velocities) {
            const long double slope = tangent * amplitude_ / 32768 / velocity;
            low = std::min(low, slope);
            high = std::max(high, slope);
        }
    }
    low -= std::fabs(low) * 0x1p-40L;
    high += std::fabs(high) * 0x1p-40L;
    span.centre = stored((low + high) / 2);
    const long double reach = std::max(high - span.centre, span.centre - low);
    span.spread = stored(reach * (1.0L + 0x1p-40L));
    span.largest = stored(std::max(std::fabs(low), std::fabs(high)) * (1.0L + 0x1p-40L));
    span.usable = std::isfinite(span.spread) && span.largest <= kParameterMagnitudeHigh;
    return span;
}

// The same bound for a single index: its estimate with the slope of its stretch, the margin
// raised by twice its slack.
bool TimingModel::movingSurelyBefore(double value, std::int64_t j, double roughOutput) const {
    if (!movingEstimates_ || !(std::fabs(value) <= kSampleMagnitudeHigh)) {
        return false;
    }
    SlopeStretch& stretch = slopeStretch_;
    if (j < stretch.first || j > stretch.last) {
        stretch.first = j;
        stretch.last = j + kSlopeStretch - 1;
        stretch.span = slopeOver(stretch.first, stretch.last);
    }
    const SlopeSpan& span = stretch.span;
    if (!span.usable) {
        return false;
    }
    const double magnitude = std::fabs(value);
    const double nominal = static_cast<double>(j - kUpsampleAlignmentDelay) * highRatePeriod_;
    const double shift = value * span.centre;
    const double slack = magnitude * (span.spread + span.largest * 0x1p-48);
    const double margin = decisionMargin(std::fabs(nominal) + magnitude * span.largest +
                                         std::fabs(roughOutput) + slack * 0x1p45);
    return nominal - shift < roughOutput - margin;
}

TimingModel::WindowRange TimingModel::estimateWindow(double firstOffset, std::int64_t begin,
                                                     std::int64_t end, const double* values,
                                                     double* estimates) const {
    if (!moving_) {
        return estimateWith(shiftPerSample_, firstOffset, begin, end, values, estimates);
    }
    // Index offsets are exact in doubles, so the index itself comes back exactly.
    const std::int64_t firstIndex =
        static_cast<std::int64_t>(firstOffset) + kUpsampleAlignmentDelay;
    WindowRange whole;
    for (std::int64_t from = begin; from < end; from += kSlopeStretch) {
        const std::int64_t to = std::min(end, from + kSlopeStretch);
        const SlopeSpan span = slopeOver(firstIndex + from, firstIndex + to - 1);
        if (!span.usable) {
            whole.rangeLeft = true;
            return whole;
        }
        WindowRange part = estimateWith(span.centre, firstOffset, from, to, values, estimates);
        part.largestShift = part.largest * span.largest;
        part.slack = part.largest * (span.spread + span.largest * 0x1p-48);
        whole.include(part);
    }
    return whole;
}

TimingModel::WindowRange TimingModel::estimateWith(double slope, double firstOffset,
                                                   std::int64_t begin, std::int64_t end,
                                                   const double* values, double* estimates) const {
    // Two at a time.
    const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d high = _mm_set1_pd(kSampleMagnitudeHigh);
    const __m128d period = _mm_set1_pd(highRatePeriod_);
    const __m128d shift = _mm_set1_pd(slope);
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
        estimates[k] = (firstOffset + static_cast<double>(k)) * highRatePeriod_ - values[k] * slope;
    }
    return range;
}

double TimingModel::windowMagnitude(double firstOffset, std::int64_t count,
                                    const WindowRange& range) const {
    // |nominal time| is largest at one end of the window.
    const double lastOffset = firstOffset + static_cast<double>(count - 1);
    const double nominal =
        std::max(std::fabs(firstOffset * highRatePeriod_), std::fabs(lastOffset * highRatePeriod_));
    if (!moving_) {
        return nominal + range.largest * std::fabs(shiftPerSample_);
    }
    // The margin is 2^-44 of this: 2^45 times the slack makes it at least twice the slack.
    return nominal + range.largestShift + range.slack * 0x1p45;
}
