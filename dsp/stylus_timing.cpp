#include "dsp/stylus_timing.hpp"

#include <limits>

#include <emmintrin.h>

// Bounds. Let M and W be bounds on |U_j| and |W_j| over a stretch, and P = stored(|tan|max·
// stored(M·|a|/32768)), Q = stored(|Δ|·stored(W·|a|/32768)). Every rounding of the exact chain is
// monotonic and symmetric, so |p| <= P and |q| <= Q as in the lateral bound, and
// |p − q| <= |p| + |q| <= P + Q; the extended difference rounds to at most the extended rounding
// of P + Q, and the quotient by |v| (at least |v|min) and its storing keep the order:
// |Δt| <= stored((P + Q)/|v|min), P + Q formed in extended as the chain forms p − q. With W = 0
// the bound is the lateral model's. Where any of these is not finite, nothing is skipped.
//
// Estimates. The corrected time of j is estimated in double as (j − 10447)·(T/144) − (U·k_y −
// W·k_z), with k_y = tan·a/(32768 v) and k_z = Δ·a/(32768 v) each rounded once. Let N be the
// exact |(j − 10447)·T/144|, p* and q* the exact tan·U·a/32768 and Δ·W·a/32768, and
// S = (|p*| + |q*|)/|v|. Within the lateral estimates' ranges (amplitude, tangent and Δ 0 or
// within 2^-200 .. 2^200 in magnitude, velocity and period within that range, both components
// of every sample finite and at most 2^300) nothing overflows, and each rounding errs by at most
// u = 2^-53 (double) or w = 2^-64 (extended) of its result, or by 2^-1075 where a result
// underflows. To first order:
//   exact chain: y and z carry (1+w)(1+u), p and q (1+w)²(1+u)², the extended difference (1+w),
//     the quotient and its storing (1+w)(1+u): Δt is within (3u + 4w)·S of (p* − q*)/v; the
//     nominal time's two extended roundings and the subtraction's (1+w)(1+u) put t_j within
//     (u + 3w)·N + (4u + 5w)·S of N's signed value less (p* − q*)/v;
//   estimate: T/144 carries (1+w)(1+u) and its product (1+u); k_y and k_z carry (1+w)²(1+u),
//     their products (1+u), the difference (1+u) and the last subtraction (1+u): within
//     (3u + w)·N + (4u + 2w)·S of the same value.
// So the estimate is within (4u + 4w)·N + (8u + 7w)·S < 2^-49·(N + S) of t_j, the higher orders
// falling far inside the slack. Underflow adds at most 2^-1075 at y, z, p, q, Δt, t_j, U·k_y,
// W·k_z, the difference and the estimate, those at y and z carried through |tan|, |Δ| <= 2^200
// and 1/|v| <= 2^200 to 2^-675 and those at p and q to 2^-875: less than 2^-669 in all. This is
// the lateral estimates' bound with S in place of |p|/|v|, so a comparison decides with the same
// margin, 2^-44 of the magnitudes plus 2^-600, where the magnitudes bound S by |U·k_y| + |W·k_z|
// (never by |U·k_y − W·k_z|, which may cancel). On a moving side there are no estimates, as for
// the lateral model: the bound alone skips there.

StylusTimingModel::StylusTimingModel(const TimingModel& lateral, long double slopeDifference)
    : TimingModel(lateral), slope_(undo_ ? -slopeDifference : slopeDifference) {
    estimable_ = estimable_ && estimableParameter(slope_);
    if (estimable_) {
        liftPerSample_ = stored(slope_ * amplitude_ / 32768 / velocity_);
    }
    boundsUsable_ = boundsUsable_ && std::isfinite(slope_);
}

double StylusTimingModel::timingErrorBound(StylusSample largest, std::int64_t first,
                                           std::int64_t last) const {
    long double amplitude = 0.0L;
    long double tangent = 0.0L;
    long double velocity = 0.0L;
    if (!stretchGeometry(first, last, amplitude, tangent, velocity)) {
        return std::numeric_limits<double>::infinity();
    }
    const double shift = stored(tangent * stored(largest.mid * amplitude * 0x1p-15L));
    const double lift = stored(std::fabs(slope_) * stored(largest.side * amplitude * 0x1p-15L));
    return stored((static_cast<long double>(shift) + lift) / velocity);
}

StylusTimingModel::WindowRange StylusTimingModel::estimateWindow(double firstOffset,
                                                                 std::int64_t begin,
                                                                 std::int64_t end,
                                                                 const StylusSample* values,
                                                                 double* estimates) const {
    static_assert(sizeof(StylusSample) == 2 * sizeof(double), "a sample is its two values");
    // Two samples at a time: their mids in one register, their sides in another.
    const __m128d magnitudeMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d high = _mm_set1_pd(kSampleMagnitudeHigh);
    const __m128d period = _mm_set1_pd(highRatePeriod_);
    const __m128d shift = _mm_set1_pd(shiftPerSample_);
    const __m128d lift = _mm_set1_pd(liftPerSample_);
    const __m128d two = _mm_set1_pd(2.0);
    const double first = firstOffset + static_cast<double>(begin);
    __m128d offset = _mm_set_pd(first + 1.0, first);
    __m128d largestMid = _mm_setzero_pd();
    __m128d largestSide = _mm_setzero_pd();
    __m128d outOfRange = _mm_setzero_pd();
    std::int64_t k = begin;
    for (; k + 2 <= end; k += 2) {
        const __m128d a = _mm_loadu_pd(&values[k].mid);
        const __m128d b = _mm_loadu_pd(&values[k + 1].mid);
        const __m128d mid = _mm_unpacklo_pd(a, b);
        const __m128d side = _mm_unpackhi_pd(a, b);
        const __m128d midMagnitude = _mm_and_pd(mid, magnitudeMask);
        const __m128d sideMagnitude = _mm_and_pd(side, magnitudeMask);
        outOfRange = _mm_or_pd(outOfRange, _mm_cmpnle_pd(midMagnitude, high));
        outOfRange = _mm_or_pd(outOfRange, _mm_cmpnle_pd(sideMagnitude, high));
        largestMid = _mm_max_pd(largestMid, midMagnitude);
        largestSide = _mm_max_pd(largestSide, sideMagnitude);
        const __m128d error = _mm_sub_pd(_mm_mul_pd(mid, shift), _mm_mul_pd(side, lift));
        _mm_storeu_pd(estimates + k, _mm_sub_pd(_mm_mul_pd(offset, period), error));
        offset = _mm_add_pd(offset, two);
    }
    double mids[2];
    double sides[2];
    _mm_storeu_pd(mids, largestMid);
    _mm_storeu_pd(sides, largestSide);
    WindowRange range{std::max(mids[0], mids[1]), std::max(sides[0], sides[1]),
                      _mm_movemask_pd(outOfRange) != 0};
    for (; k < end; ++k) {
        const double mid = values[k].mid;
        const double side = values[k].side;
        range.rangeLeft = range.rangeLeft || !(std::fabs(mid) <= kSampleMagnitudeHigh) ||
                          !(std::fabs(side) <= kSampleMagnitudeHigh);
        range.largestMid = std::max(range.largestMid, std::fabs(mid));
        range.largestSide = std::max(range.largestSide, std::fabs(side));
        estimates[k] = (firstOffset + static_cast<double>(k)) * highRatePeriod_ -
                       (mid * shiftPerSample_ - side * liftPerSample_);
    }
    return range;
}

double StylusTimingModel::windowMagnitude(double firstOffset, std::int64_t count,
                                          const WindowRange& range) const {
    // |nominal time| is largest at one end of the window.
    const double lastOffset = firstOffset + static_cast<double>(count - 1);
    return std::max(std::fabs(firstOffset * highRatePeriod_),
                    std::fabs(lastOffset * highRatePeriod_)) +
           range.largestMid * std::fabs(shiftPerSample_) +
           range.largestSide * std::fabs(liftPerSample_);
}
