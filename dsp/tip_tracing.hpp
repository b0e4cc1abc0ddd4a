#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/block.hpp"
#include "dsp/extended.hpp"

// The tip's shape. A real tip is not a point: it rests on each groove wall with its curved face,
// so its centre follows the envelope of the tip rolling along the wall, not the wall itself
// (Pierce & Hunt, JASA 1938; Lewis & Hunt, "A Theory of Tracing Distortion in Sound Reproduction
// from Phonograph Records", JASA 12(3), 1941).
//
// The groove is a 90-degree V. Each wall is unchanged along its own 45-degree line, so a sphere
// of radius ρ touches it as a circle of radius ρ touches the wall's profile along the groove. At
// groove position x (mm along the groove) the traced wall is
//   ŵ(x) = max over |x' − x| ≤ ρ of [ w(x') + sqrt(ρ² − (x' − x)²) ] − ρ,
// the maximum over the samples inside the footprint. Written as a dip below the tip's lowest
// point, sqrt(ρ² − u²) − ρ = −u² / (ρ + sqrt(ρ² − u²)), which keeps the small differences of
// the walls free of the cancellation against ρ.

// ---------------------------------------------------------------------------------------------
// The tip as the user names it.

enum class StylusShape { Point, Spherical, Elliptical };

// A tip: `point`, `spherical:R` or `elliptical:R1xR2`, radii in micrometres. An elliptical (or
// line-contact) tip traces with its scanning radius R1, the radius of its contact curve along
// the groove; its bearing radius R2, across the groove, is reported but does not enter the
// tracing. A spherical tip has both radii R.
struct StylusTip {
    StylusShape shape = StylusShape::Point;
    double scanningRadius = 0.0;  // µm
    double bearingRadius = 0.0;   // µm

    bool point() const { return shape == StylusShape::Point; }
    // The radius the tracing uses, in mm (0 for a point).
    double tracingRadiusMm() const { return scanningRadius / 1000.0; }
};

// The largest radius accepted, in µm: far above any phonograph tip (a 78 rpm tip is about 65).
inline constexpr double kLargestTipRadius = 1000.0;

// The tip the text names: "point", "spherical:R" or "elliptical:R1xR2" (radii in µm, decimal
// numbers above 0 and at most kLargestTipRadius, R1 at most R2). Empty with a message that says
// what is wrong and what would be right.
std::optional<StylusTip> parseStylusTip(std::string_view text, std::string& message);

// The text form of a tip, as parseStylusTip reads it ("spherical:17.8").
std::string stylusTipText(const StylusTip& tip);

// ---------------------------------------------------------------------------------------------
// The two walls.
//
// With y the lateral displacement (positive outward) and z the vertical one (positive up), the
// inner wall (the left channel's) moves along its own normal into the groove by
// w_in = (y + z)/√2 and the outer wall (the right channel's) by w_out = (z − y)/√2; back,
// y = (w_in − w_out)/√2 and z = (w_in + w_out)/√2. Each is one extended evaluation (the sum or
// difference of two doubles, times 1/√2) rounded once to double. The round trip is therefore
// not the identity to the last bit: with a point tip the chain skips the tracing, and these,
// entirely.

inline constexpr long double kInverseSqrt2 = 0.707106781186547524400844362104849039L;

struct GrooveWalls {
    double inner = 0.0;  // w_in, mm
    double outer = 0.0;  // w_out, mm
};

inline GrooveWalls wallsOf(double lateral, double vertical) {
    const long double y = lateral;
    const long double z = vertical;
    return {stored((y + z) * kInverseSqrt2), stored((z - y) * kInverseSqrt2)};
}

struct GrooveDisplacement {
    double lateral = 0.0;   // y, mm
    double vertical = 0.0;  // z, mm
};

inline GrooveDisplacement displacementOf(double inner, double outer) {
    const long double in = inner;
    const long double out = outer;
    return {stored((in - out) * kInverseSqrt2), stored((in + out) * kInverseSqrt2)};
}

// ---------------------------------------------------------------------------------------------
// The candidate, written once for the fast tracer and the direct one in tests/reference.
//
// Sample j, k samples from the traced sample i, lies u = k·dx along the groove, where dx is the
// spacing of sample i (mm per sample): the footprint is measured with the groove velocity at the
// traced sample. On a side played by a moving arm the velocity changes by about a part in 10^7
// across a footprint, which moves the traced wall by less than 10^-8 of its amplitude.
//
// The footprint is every k with stored(k·dx) ≤ ρ; then stored(u·u) ≤ stored(ρ·ρ) and the square
// root's argument is never negative. The dip is u² / (ρ + sqrt(ρ² − u²)) in doubles, each
// operation rounded to nearest, and the candidate is w_j − dip.

struct TipRadius {
    double radius = 0.0;   // ρ, mm
    double squared = 0.0;  // stored(ρ·ρ)

    explicit TipRadius(double r = 0.0) : radius(r), squared(r * r) {}
};

// How far below its lowest point the tip's face lies k samples away.
inline double tipDip(double k, double spacing, const TipRadius& tip) {
    const double u = k * spacing;
    const double u2 = u * u;
    return u2 / (tip.radius + std::sqrt(tip.squared - u2));
}

inline double tracingCandidate(double wall, double dip) {
    return wall - dip;
}

// Whether sample k away lies inside the footprint.
inline bool insideFootprint(double k, double spacing, const TipRadius& tip) {
    return k * spacing <= tip.radius;
}

// The traced value from the largest candidate: a zero is +0 whatever the order the candidates
// came in (−0 and +0 compare equal, so the maximum alone could give either).
inline double tracedFromLargest(double largest) {
    return largest + 0.0;
}

// The largest k inside the footprint for spacing dx (at least 0). Every k up to it is inside and
// none beyond it, as stored(k·dx) grows with k.
std::int64_t footprintReach(double spacing, const TipRadius& tip);

// ---------------------------------------------------------------------------------------------
// The tracing as a stage of the chain.

struct TipTracingSettings {
    double radius = 0.0;  // ρ in mm, above 0
    // The smallest spacing the stage will be given, mm per sample, above 0: it bounds how far
    // back a traced sample may reach, and so how much the stage keeps.
    double smallestSpacing = 0.0;
};

// The most samples a footprint may hold on either side of its centre.
inline constexpr std::int64_t kLargestFootprintReach = std::int64_t{1} << 20;

// Whether the settings can be set up; a message says why not.
bool tipTracingSettingsValid(const TipTracingSettings& settings, std::string& message);

// One wall's samples as far as they have come, with the largest value of every aligned block of
// 16 and of 256 samples, and the traced value of any sample whose footprint they hold. The
// samples are appended in order from index 0 and let go from the front.
//
// Non-finite samples: a NaN never wins the maximum (where every sample of a footprint is NaN the
// traced value is NaN); +infinity wins it (the traced value is +infinity); −infinity wins only
// over NaN.
class TracingWindow {
  public:
    explicit TracingWindow(const TipTracingSettings& settings);

    void append(std::span<const double> wall);
    // The same in two steps, for a caller that forms the samples in place: open() makes room for
    // `count` samples after the last one held and returns where they go; close() takes every
    // sample opened since the last close() into the blocks' largest values.
    double* open(std::int64_t count);
    void close();
    // One past the last sample held.
    std::int64_t end() const { return base_ + static_cast<std::int64_t>(values_.size()); }
    // The first sample held.
    std::int64_t first() const { return base_; }
    // No sample before n will be needed again.
    void releaseBefore(std::int64_t n);
    void reset();

    // The traced value of sample i with spacing dx (at least the settings' smallest), the signal
    // ending at sample `last` (inclusive): samples [i − K, min(i + K, last)] must be held, K the
    // footprint's reach.
    double tracedAt(std::int64_t i, double spacing, std::int64_t last);
    // The footprint's reach for spacing dx.
    std::int64_t reach(double spacing);

    // The traced values of the `count` (at most kRun) samples from `first`, all with spacing
    // dx, into `traced`: the same values as tracedAt gives one by one, the blocks' bounds shared
    // by the run.
    static constexpr std::int64_t kRun = 16;
    void traceRun(std::int64_t first, std::int64_t count, double spacing, std::int64_t last,
                  double* traced);

    // Candidates formed, for the bench and the tests.
    std::int64_t candidates() const { return candidates_; }

  private:
    static constexpr std::int64_t kLeaf = 16;
    static constexpr std::int64_t kBranch = 256;

    // A first best for sample i among [lo, hi], climbing from the last winner's place.
    void climb(std::int64_t i, std::int64_t lo, std::int64_t hi, double& best,
               std::int64_t& winner);
    // The traced value from the largest candidate of the footprint [lo, hi].
    double tracedFrom(double best, std::int64_t lo, std::int64_t hi) const;

    void prepareDips(double spacing, bool whole);
    // The dip k samples away, formed if it is not yet.
    double dip(std::int64_t k) {
        const auto at = static_cast<std::size_t>(k);
        return dipsWhole_ || dipGenerations_[at] == dipGeneration_ ? dips_[at] : formDip(k);
    }
    double formDip(std::int64_t k);
    double at(std::int64_t j) const { return values_[static_cast<std::size_t>(j - base_)]; }
    // The largest candidate of samples [a, b], all on one side of i, into best.
    void evaluate(std::int64_t i, std::int64_t a, std::int64_t b, double& best,
                  std::int64_t& winner);
    // The largest candidate of samples [a, b] (any side of i) that can beat best, by blocks.
    void search(std::int64_t i, std::int64_t a, std::int64_t b, double& best, std::int64_t& winner);
    double bound(std::int64_t i, std::int64_t a, std::int64_t b, double largest);
    // Dips no larger than those of `spacing` at any k of its footprint, for the bounds alone:
    // the dips of a spacing a little below it, formed whole and kept while the spacings asked
    // for stay within a narrow band above it.
    void prepareLowerDips(double spacing);

    TipRadius tip_;
    std::int64_t largestReach_ = 0;
    std::int64_t base_ = 0;  // a multiple of kBranch
    std::vector<double> values_;
    std::size_t closed_ = 0;             // samples of values_ taken into the blocks' largest
    std::vector<double> leafLargest_;    // per block of kLeaf from base_, NaN ignored
    std::vector<double> branchLargest_;  // per block of kBranch from base_
    // The dips of the last spacing asked for, by k: dips_[k] is formed where dipGenerations_[k]
    // is the generation of that spacing.
    double dipSpacing_ = 0.0;
    std::int64_t dipReach_ = -1;
    std::vector<double> dips_;
    std::vector<std::uint32_t> dipGenerations_;
    std::uint32_t dipGeneration_ = 0;
    bool dipsWhole_ = false;          // every dip of the footprint is formed
    std::vector<double> offsetDips_;  // by offset −(K + kRun) ... K + kRun, once whole
    // The dips of lowerSpacing_ by k, for spacings in [lowerSpacing_, lowerCeiling_].
    double lowerSpacing_ = 0.0;
    double lowerCeiling_ = -1.0;
    std::vector<double> lowerDips_;
    // Where the last winner stood, relative to its traced sample: the next search starts there.
    std::int64_t lastTraced_ = -2;
    std::int64_t lastOffset_ = 0;
    std::int64_t candidates_ = 0;
};

// The tracing of one wall as a stage: high-rate wall displacements (mm) with the spacing of each
// sample along the groove (mm per sample: v / (rate·144) for groove velocity v) in, the traced
// wall out, one value for every sample, each as soon as its footprint has come in. The outputs
// are the direct maximum's, bit for bit, whatever the blocks.
class TipTracer {
  public:
    explicit TipTracer(const TipTracingSettings& settings);

    // Takes samples with one spacing each, or one spacing for all of them, and appends every
    // traced value they complete. A spacing that is not finite or below the settings' smallest
    // is refused (std::invalid_argument), before anything is taken.
    void process(std::span<const double> wall, std::span<const double> spacing,
                 SampleBlock& traced);
    void process(std::span<const double> wall, double spacing, SampleBlock& traced);
    // The input has ended: appends the traced values left, their footprints cut at the last
    // sample.
    void finish(SampleBlock& traced);
    void reset();

    // Samples after the traced one that must have come in before it is given: the latency.
    std::int64_t largestReach() const { return largestReach_; }
    std::int64_t candidates() const { return window_.candidates(); }

  private:
    void emitReady(SampleBlock& traced);

    TipTracingSettings settings_;
    TracingWindow window_;
    std::int64_t largestReach_ = 0;
    std::int64_t next_ = 0;         // the next sample to trace
    std::vector<double> spacings_;  // of samples next_ ... window_.end() − 1
    std::size_t spacingsFrom_ = 0;  // where next_'s spacing is in spacings_
    bool finished_ = false;
};
