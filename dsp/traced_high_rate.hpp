#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "dsp/extended.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/groove_path.hpp"
#include "dsp/stylus_high_rate.hpp"
#include "dsp/stylus_sample.hpp"
#include "dsp/tip_tracing.hpp"

// The tip's shape in the stylus model's chain: the high-rate samples of both components as a tip
// of radius ρ traces them, the tip's shape first, then where the arm puts it.
//
// Where the rounding happens. The walls are traced in the signal's own units (16-bit sample
// values, full scale 32768 = a mm), so that the pass and its timing take the traced samples as
// they take the groove's: a traced mid U_c and side W_c are timed by y = stored(U_c·a/32768) and
// z = stored(W_c·a/32768), exactly as untraced ones. Per high-rate index j, with U_j and W_j the
// two components' samples:
//   w_in = stored((U_j + W_j)·(1/√2)), w_out = stored((W_j − U_j)·(1/√2))   (wallsOf)
//   ρ_s = stored(ρ·32768/a)                    the tip's radius in sample units, once
//   dx_j = stored(v_j·T·32768/(144·a))         the spacing at j, v_j the velocity at j's radius
//   ŵ_j = the direct maximum of the footprint of j on each wall (TracingWindow, its proof there)
//   U_c = stored((ŵ_in − ŵ_out)·(1/√2)), W_c = stored((ŵ_in + ŵ_out)·(1/√2))   (displacementOf)
// each product and quotient in extended precision in the order written. The footprint is cut at
// index 0 and at the last sample the pass may read, as the whole signal's is at its ends. A
// point tip skips all of this: its chain is the untraced one.

// The tip's radius in sample units: stored(ρ·32768/a), ρ and a in mm.
inline double tracingRadiusUnits(double radiusMm, double fullScaleLateralAmplitude) {
    return stored(static_cast<long double>(radiusMm) * 32768 / fullScaleLateralAmplitude);
}

// The spacing of the high-rate samples along the groove in sample units: stored(v·T·32768/(144·a)).
inline double tracingSpacingUnits(double grooveVelocity, double samplePeriod,
                                  double fullScaleLateralAmplitude) {
    return stored(static_cast<long double>(grooveVelocity) * samplePeriod * 32768 /
                  (static_cast<long double>(144) * fullScaleLateralAmplitude));
}

struct TracedSettings {
    double tipRadius = 0.0;  // ρ, mm, above 0
    double fullScaleLateralAmplitude = 0.0;
    GrooveGeometry geometry;  // of a groove at one radius
    bool moving = false;      // when set, each index takes the velocity of its radius on `path`
    GroovePath path;
    int threadCount = 1;  // for forming both components side by side
};

// Whether the tip can be traced on this groove: its footprint must stay within
// kLargestFootprintReach samples, which a slow groove at a high rate with a large tip can exceed.
// A message says why not.
bool tracedSettingsValid(const TracedSettings& settings, std::string& message);

// Both components' last upsampling stages, traced by the tip, as the source the interpolation
// pass reads. The upstream samples are formed all of them, as every one may lie in a footprint,
// and held per wall; a traced sample is formed when the pass asks for it. Set up, then
// take(available) as the upstream stages get input and finish(readable) once they have all of
// it; ready, at, form, bound and releaseBefore are the pass's (see HighRateSource).
class TracedHighRate {
  public:
    TracedHighRate(const TracedSettings& settings, StylusHighRate& upstream);

    // Forms the upstream samples [end, available), which must be ready, into the walls, and
    // lets the upstream stages go of them.
    void take(std::int64_t available);
    // The input has ended: the upstream samples up to `readable` are taken, and the footprints
    // are cut at readable − 1.
    void finish(std::int64_t readable);

    bool ready(std::int64_t n) const { return finished_ ? n < end_ : n + largestReach_ < end_; }
    StylusSample at(std::int64_t n) const;
    void form(std::int64_t first, std::int64_t count, StylusSample* out) const;
    StylusSample bound(std::int64_t first, std::int64_t last) const;
    void releaseBefore(std::int64_t n);

    // The samples a footprint may hold on either side of its centre, at most.
    std::int64_t largestReach() const { return largestReach_; }
    // The spacing of index j in sample units.
    double spacingAt(std::int64_t j) const;

  private:
    static constexpr std::int64_t kBlock = 64;    // samples per block of the walls' magnitudes
    static constexpr std::int64_t kSlab = 65536;  // samples taken at a time

    // Forms one wall of the `count` samples just taken into its window and its blocks' largest.
    template <typename Wall>
    void takeWall(TracingWindow& window, std::vector<double>& largest, std::int64_t count,
                  Wall wall);

    StylusSample traced(std::int64_t n) const;
    // The largest magnitude of either wall's samples [first, last], or infinity.
    double wallMagnitude(const std::vector<double>& largest, std::int64_t first,
                         std::int64_t last) const;

    TracedSettings settings_;
    StylusHighRate* upstream_;
    double radius_ = 0.0;   // ρ_s
    double spacing_ = 0.0;  // dx for a groove of one geometry
    double amplitude_ = 0.0;
    std::int64_t largestReach_ = 0;
    std::int64_t end_ = 0;  // the upstream samples taken: [0, end_)
    bool finished_ = false;
    // The traced value of a sample is formed on demand by one thread at a time.
    mutable std::mutex tracing_;
    mutable TracingWindow inner_;
    mutable TracingWindow outer_;
    // The largest magnitude of each wall per block of kBlock samples from blockBase_ (NaN makes it
    // infinity).
    std::int64_t blockBase_ = 0;
    std::vector<double> innerLargest_;
    std::vector<double> outerLargest_;
    // Room for the samples being taken.
    std::vector<double> midTaken_;
    std::vector<double> sideTaken_;
};
