#include "dsp/tip_tracing.hpp"

#include <emmintrin.h>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <stdexcept>

// Why the fast maximum is the direct one, bit for bit.
//
// The direct tracer (tests/reference) forms, for every sample j of the footprint of i, the
// candidate tracingCandidate(w_j, tipDip(k, dx_i, tip)) with k = |j − i|, and keeps the largest,
// a NaN never winning. This one forms the same candidates, through the same inline functions
// from the same doubles: the dips by k are tabulated per spacing with tipDip itself. The
// maximum of a set of doubles does not depend on the order they are taken in, but for the sign
// of a zero, which tracedFromLargest makes +0 in both. So the two agree as long as this one
// leaves out only candidates that cannot exceed the largest it keeps.
//
// It leaves out a block of samples, all at least kmin samples from i, when
// tracingCandidate(W, dip(kmin)) ≤ best, W the largest sample of the block and best a candidate
// already formed. That bound is at least every candidate of the block, in floating point and not
// only in exact arithmetic, because each operation rounded to nearest is monotone in each operand:
// k ≥ kmin gives stored(k·dx) ≥ stored(kmin·dx) ≥ 0, so u² is no smaller, ρ² − u² and its
// square root no larger, ρ + sqrt(...) no larger, and the quotient, the dip, no smaller; and
// w_j ≤ W with dip_j ≥ dip(kmin) gives stored(w_j − dip_j) ≤ stored(W − dip(kmin)). A block whose
// bound equals best may hold a candidate equal to best, which changes nothing. The largest sample
// of a block ignores NaN, as the maximum does; an infinite sample makes the bound infinite, so its
// block is always searched. A run of samples traced together first tests a block with its
// nearest distance to any of them, which gives a bound at least each sample's, against the
// smallest of their bests, at most each one's: a block it leaves out, each would. Then it tests
// sample by sample as above. Candidates from beyond a sample's footprint take a dip of +infinity
// and so are −infinity or NaN, which never win; where nothing else is a number, the footprint
// itself decides between −infinity and NaN.
//
// A sample traced on demand passes over blocks, and over single samples of a block it searches,
// with dips of a smaller spacing dx' ≤ dx (lowerDips_), formed once for a band of spacings: a
// side played by a moving arm gives every sample a spacing of its own, and forming the exact
// dips of every block it looks at would cost a square root and a division each. The bound stays
// one: stored(k·dx') ≤ stored(k·dx) for the same reason as above, so the dip of dx' at k is at
// most the dip of dx at k, and stored(W − dip'(k)) ≥ stored(w_j − dip(k)). Only a sample whose
// bound exceeds the best so far has its exact dip formed and its candidate compared.

namespace {

bool readRadius(std::string_view text, double& radius) {
    if (text.empty() || text.front() == '+' || text.front() == '-') {
        return false;
    }
    const char* end = text.data() + text.size();
    const std::from_chars_result result =
        std::from_chars(text.data(), end, radius, std::chars_format::fixed);
    return result.ec == std::errc() && result.ptr == end;
}

const char* const kStylusForms =
    "give point, spherical:R or elliptical:R1xR2 (radii in micrometres, e.g. spherical:17.8 or "
    "elliptical:7x18)";

bool radiusInRange(double radius, const std::string& what, std::string& message) {
    if (!(radius > 0.0) || radius > kLargestTipRadius) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", kLargestTipRadius);
        message = what + " must be above 0 and at most " + limit + " micrometres";
        return false;
    }
    return true;
}

std::string radiusText(double radius) {
    char text[64];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, radius);
    return std::string(text, result.ptr);
}

}  // namespace

std::optional<StylusTip> parseStylusTip(std::string_view text, std::string& message) {
    const std::string quoted = "\"" + std::string(text) + "\"";
    if (text == "point") {
        return StylusTip{};
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        message = quoted + " is not a tip: " + kStylusForms;
        return std::nullopt;
    }
    const std::string_view shape = text.substr(0, colon);
    const std::string_view radii = text.substr(colon + 1);
    StylusTip tip;
    if (shape == "spherical") {
        double radius = 0.0;
        if (!readRadius(radii, radius)) {
            message = quoted + ": the radius \"" + std::string(radii) +
                      "\" is not a number of micrometres; " + kStylusForms;
            return std::nullopt;
        }
        if (!radiusInRange(radius, quoted + ": the radius", message)) {
            return std::nullopt;
        }
        tip.shape = StylusShape::Spherical;
        tip.scanningRadius = radius;
        tip.bearingRadius = radius;
        return tip;
    }
    if (shape == "elliptical") {
        const std::size_t cross = radii.find('x');
        double scanning = 0.0;
        double bearing = 0.0;
        if (cross == std::string_view::npos || !readRadius(radii.substr(0, cross), scanning) ||
            !readRadius(radii.substr(cross + 1), bearing)) {
            message = quoted + ": \"" + std::string(radii) +
                      "\" is not two radii R1xR2 in micrometres; " + kStylusForms;
            return std::nullopt;
        }
        if (!radiusInRange(scanning, quoted + ": the scanning radius R1", message) ||
            !radiusInRange(bearing, quoted + ": the bearing radius R2", message)) {
            return std::nullopt;
        }
        if (scanning > bearing) {
            message = quoted +
                      ": the scanning radius R1 (along the groove) is the smaller one; did you "
                      "mean elliptical:" +
                      radiusText(bearing) + "x" + radiusText(scanning) + "?";
            return std::nullopt;
        }
        tip.shape = StylusShape::Elliptical;
        tip.scanningRadius = scanning;
        tip.bearingRadius = bearing;
        return tip;
    }
    message = quoted + ": unknown tip shape \"" + std::string(shape) + "\"; " + kStylusForms;
    return std::nullopt;
}

std::string stylusTipText(const StylusTip& tip) {
    switch (tip.shape) {
        case StylusShape::Point:
            return "point";
        case StylusShape::Spherical:
            return "spherical:" + radiusText(tip.scanningRadius);
        case StylusShape::Elliptical:
            return "elliptical:" + radiusText(tip.scanningRadius) + "x" +
                   radiusText(tip.bearingRadius);
    }
    return "point";
}

std::int64_t footprintReach(double spacing, const TipRadius& tip) {
    const double estimate = std::floor(tip.radius / spacing);
    std::int64_t k = estimate > 0.0 ? static_cast<std::int64_t>(estimate) : 0;
    while (k > 0 && !insideFootprint(static_cast<double>(k), spacing, tip)) {
        --k;
    }
    while (insideFootprint(static_cast<double>(k + 1), spacing, tip)) {
        ++k;
    }
    return k;
}

bool tipTracingSettingsValid(const TipTracingSettings& settings, std::string& message) {
    if (!std::isfinite(settings.radius) || !(settings.radius > 0.0)) {
        message = "the tip's radius must be a finite number of millimetres above 0";
        return false;
    }
    if (!std::isfinite(settings.smallestSpacing) || !(settings.smallestSpacing > 0.0)) {
        message = "the spacing of the samples must be a finite number of millimetres above 0";
        return false;
    }
    if (settings.radius / settings.smallestSpacing > static_cast<double>(kLargestFootprintReach)) {
        message = "the tip covers more than " + std::to_string(kLargestFootprintReach) +
                  " samples on either side: the groove is too slow or the rate too high for it";
        return false;
    }
    return true;
}

namespace {

TipTracingSettings checked(const TipTracingSettings& settings) {
    std::string message;
    if (!tipTracingSettingsValid(settings, message)) {
        throw std::invalid_argument(message);
    }
    return settings;
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kMinusInfinity = -kInfinity;

}  // namespace

TracingWindow::TracingWindow(const TipTracingSettings& settings)
    : tip_(checked(settings).radius),
      largestReach_(footprintReach(settings.smallestSpacing, tip_)) {}

void TracingWindow::append(std::span<const double> wall) {
    std::copy(wall.begin(), wall.end(), open(static_cast<std::int64_t>(wall.size())));
    close();
}

double* TracingWindow::open(std::int64_t count) {
    const std::size_t from = values_.size();
    values_.resize(from + static_cast<std::size_t>(count));
    return values_.data() + from;
}

void TracingWindow::close() {
    const std::size_t from = closed_;
    const std::size_t to = values_.size();
    closed_ = to;
    leafLargest_.resize((to + kLeaf - 1) / kLeaf, kMinusInfinity);
    branchLargest_.resize((to + kBranch - 1) / kBranch, kMinusInfinity);
    for (std::size_t offset = from; offset < to;) {
        // One leaf at a time: its largest, then its branch's.
        const std::size_t leafEnd = std::min(to, (offset / kLeaf + 1) * kLeaf);
        double& leaf = leafLargest_[offset / kLeaf];
        double largest = leaf;
        for (; offset < leafEnd; ++offset) {
            const double value = values_[offset];
            largest = value > largest ? value : largest;
        }
        leaf = largest;
        double& branch = branchLargest_[(leafEnd - 1) / kBranch];
        branch = largest > branch ? largest : branch;
    }
}

void TracingWindow::releaseBefore(std::int64_t n) {
    const std::int64_t dead = (n - base_) / kBranch * kBranch;
    // Only once the dead part outweighs the rest, so that each sample moves a bounded number of
    // times.
    if (dead <= 0 || dead < static_cast<std::int64_t>(values_.size()) - dead) {
        return;
    }
    values_.erase(values_.begin(), values_.begin() + dead);
    closed_ -= static_cast<std::size_t>(dead);
    leafLargest_.erase(leafLargest_.begin(), leafLargest_.begin() + dead / kLeaf);
    branchLargest_.erase(branchLargest_.begin(), branchLargest_.begin() + dead / kBranch);
    base_ += dead;
}

void TracingWindow::reset() {
    base_ = 0;
    values_.clear();
    closed_ = 0;
    leafLargest_.clear();
    branchLargest_.clear();
    lastTraced_ = -2;
    lastOffset_ = 0;
    candidates_ = 0;
}

void TracingWindow::prepareDips(double spacing, bool whole) {
    if (dipReach_ < 0 || spacing != dipSpacing_) {
        dipReach_ = footprintReach(spacing, tip_);
        dipSpacing_ = spacing;
        // A new generation: every dip of the last spacing is stale at once, without a pass over
        // the table (a side played by a moving arm changes the spacing at every sample).
        if (++dipGeneration_ == 0) {
            std::fill(dipGenerations_.begin(), dipGenerations_.end(), 0u);
            dipGeneration_ = 1;
        }
        const auto size = static_cast<std::size_t>(dipReach_ + 1);
        if (dips_.size() < size) {
            dips_.resize(size);
            dipGenerations_.resize(size, 0u);
        }
        dipsWhole_ = false;
    }
    // A stream traces every sample and needs the whole footprint, by signed offset for runs of
    // samples traced together: the same doubles within the footprint, and +infinity for a run's
    // samples beyond it, whose candidates are then −infinity or NaN and never win. Single samples
    // on demand form only the dips they ask for.
    if (whole && !dipsWhole_) {
        for (std::int64_t k = 0; k <= dipReach_; ++k) {
            formDip(k);
        }
        offsetDips_.assign(static_cast<std::size_t>(2 * (dipReach_ + kRun) + 1), kInfinity);
        const std::int64_t centre = dipReach_ + kRun;
        for (std::int64_t k = 0; k <= dipReach_; ++k) {
            const double value = dips_[static_cast<std::size_t>(k)];
            offsetDips_[static_cast<std::size_t>(centre + k)] = value;
            offsetDips_[static_cast<std::size_t>(centre - k)] = value;
        }
        dipsWhole_ = true;
    }
}

double TracingWindow::formDip(std::int64_t k) {
    const auto at = static_cast<std::size_t>(k);
    if (dipGenerations_[at] != dipGeneration_) {
        dips_[at] = tipDip(static_cast<double>(k), dipSpacing_, tip_);
        dipGenerations_[at] = dipGeneration_;
    }
    return dips_[at];
}

std::int64_t TracingWindow::reach(double spacing) {
    prepareDips(spacing, false);
    return dipReach_;
}

void TracingWindow::prepareLowerDips(double spacing) {
    if (spacing >= lowerSpacing_ && spacing <= lowerCeiling_) {
        return;
    }
    // The rounded products lie below and above `spacing` (it is a double, and they are far more
    // than half a unit in the last place from it), so the band holds it.
    lowerSpacing_ = spacing * (1.0 - 0x1p-12);
    lowerCeiling_ = spacing * (1.0 + 0x1p-12);
    const std::int64_t reach = footprintReach(lowerSpacing_, tip_);
    lowerDips_.resize(static_cast<std::size_t>(reach + 1));
    for (std::int64_t k = 0; k <= reach; ++k) {
        lowerDips_[static_cast<std::size_t>(k)] =
            tipDip(static_cast<double>(k), lowerSpacing_, tip_);
    }
}

double TracingWindow::bound(std::int64_t i, std::int64_t a, std::int64_t b, double largest) {
    const std::int64_t nearest = a > i ? a - i : (b < i ? i - b : 0);
    return tracingCandidate(largest, lowerDips_[static_cast<std::size_t>(nearest)]);
}

void TracingWindow::evaluate(std::int64_t i, std::int64_t a, std::int64_t b, double& best,
                             std::int64_t& winner) {
    const double* values = values_.data() + (a - base_);
    const std::int64_t count = b - a + 1;
    // Each sample's bound first (its value less the smaller dip), two at a time; only where one
    // exceeds the best so far is the exact candidate formed. A NaN sample's bound is NaN, which
    // exceeds nothing, as its candidate would.
    const bool after = a >= i;
    const double* lower = lowerDips_.data() + (after ? a - i : i - a);
    const auto exact = [&](std::int64_t n) {
        const std::int64_t k = after ? a + n - i : i - a - n;
        ++candidates_;
        const double c = tracingCandidate(values[n], dip(k));
        if (c > best) {
            best = c;
            winner = a + n;
        }
    };
    std::int64_t n = 0;
    for (; n + 2 <= count; n += 2) {
        const __m128d dips =
            after ? _mm_loadu_pd(lower + n)
                  : _mm_shuffle_pd(_mm_loadu_pd(lower - n - 1), _mm_loadu_pd(lower - n - 1), 1);
        const __m128d bounds = _mm_sub_pd(_mm_loadu_pd(values + n), dips);
        const int above = _mm_movemask_pd(_mm_cmpgt_pd(bounds, _mm_set1_pd(best)));
        if (above == 0) [[likely]] {
            continue;
        }
        if ((above & 1) != 0) {
            exact(n);
        }
        if ((above & 2) != 0 &&
            tracingCandidate(values[n + 1], after ? lower[n + 1] : lower[-(n + 1)]) > best) {
            exact(n + 1);
        }
    }
    if (n < count && tracingCandidate(values[n], after ? lower[n] : lower[-n]) > best) {
        exact(n);
    }
}

void TracingWindow::search(std::int64_t i, std::int64_t a, std::int64_t b, double& best,
                           std::int64_t& winner) {
    for (std::int64_t branch = a - base_ - (a - base_) % kBranch + base_; branch <= b;
         branch += kBranch) {
        const std::int64_t branchFirst = std::max(branch, a);
        const std::int64_t branchLast = std::min(branch + kBranch - 1, b);
        const double branchLargest =
            branchLargest_[static_cast<std::size_t>((branch - base_) / kBranch)];
        if (bound(i, branchFirst, branchLast, branchLargest) <= best) {
            continue;
        }
        for (std::int64_t leaf = branchFirst - (branchFirst - base_) % kLeaf; leaf <= branchLast;
             leaf += kLeaf) {
            const std::int64_t first = std::max(leaf, branchFirst);
            const std::int64_t last = std::min(leaf + kLeaf - 1, branchLast);
            const double leafLargest =
                leafLargest_[static_cast<std::size_t>((leaf - base_) / kLeaf)];
            if (bound(i, first, last, leafLargest) <= best) {
                continue;
            }
            if (first < i) {
                evaluate(i, first, std::min(last, i - 1), best, winner);
            }
            if (last >= i) {
                evaluate(i, std::max(first, i), last, best, winner);
            }
        }
    }
}

void TracingWindow::climb(std::int64_t i, std::int64_t lo, std::int64_t hi, double& best,
                          std::int64_t& winner) {
    // The climb only finds a good first best: it goes by the samples' bounds (their values less
    // the smaller dips), which cost no square root, and then forms the exact candidate of the
    // sample it ends on. Any candidate of the footprint serves as the search's first best.
    const double* lower = lowerDips_.data();
    const auto estimate = [&](std::int64_t j) {
        return tracingCandidate(at(j), lower[static_cast<std::size_t>(j > i ? j - i : i - j)]);
    };
    // From where the last winner stood relative to its sample (one traced shortly before),
    // climbing while the next estimate is larger. The winner moves little from one sample to the
    // next, so this is usually the maximum already and most blocks are passed over by their
    // bounds.
    const bool near = lastTraced_ >= 0 && i - lastTraced_ <= kBranch && lastTraced_ - i <= kBranch;
    const std::int64_t start = std::clamp(i + (near ? lastOffset_ : 0), lo, hi);
    double top = kMinusInfinity;
    {
        const double c = estimate(start);
        top = c > top ? c : top;
    }
    winner = start;
    while (winner < hi) {
        const double c = estimate(winner + 1);
        if (!(c > top)) {
            break;
        }
        top = c;
        ++winner;
    }
    if (winner == start) {
        while (winner > lo) {
            const double c = estimate(winner - 1);
            if (!(c > top)) {
                break;
            }
            top = c;
            --winner;
        }
    }
    ++candidates_;
    const double c = tracingCandidate(at(winner), dip(winner > i ? winner - i : i - winner));
    best = c > kMinusInfinity ? c : kMinusInfinity;
    lastTraced_ = i;
    lastOffset_ = winner - i;
}

double TracingWindow::tracedFrom(double best, std::int64_t lo, std::int64_t hi) const {
    if (best == kMinusInfinity) {
        // Either a sample is −infinity, or every one is NaN.
        for (std::int64_t n = lo; n <= hi; ++n) {
            if (!std::isnan(at(n))) {
                return tracedFromLargest(best);
            }
        }
        return std::numeric_limits<double>::quiet_NaN();
    }
    return tracedFromLargest(best);
}

double TracingWindow::tracedAt(std::int64_t i, double spacing, std::int64_t last) {
    prepareDips(spacing, false);
    prepareLowerDips(spacing);
    const std::int64_t lo = std::max<std::int64_t>(0, i - dipReach_);
    const std::int64_t hi = std::min(last, i + dipReach_);
    double best = kMinusInfinity;
    std::int64_t winner = i;
    climb(i, lo, hi, best, winner);
    search(i, lo, hi, best, winner);
    lastOffset_ = winner - i;
    return tracedFrom(best, lo, hi);
}

namespace {

// The largest of m and the candidates w[n] − dips[n], n < 16, two at a time. _mm_max_pd(c, m)
// is c > m ? c : m lane by lane, as the scalar maximum.
inline double largestOfSixteen(const double* w, const double* dips, double m) {
    __m128d a = _mm_set1_pd(m);
    __m128d b = a;
    for (int n = 0; n < 16; n += 4) {
        const __m128d c0 = _mm_sub_pd(_mm_loadu_pd(w + n), _mm_loadu_pd(dips + n));
        const __m128d c1 = _mm_sub_pd(_mm_loadu_pd(w + n + 2), _mm_loadu_pd(dips + n + 2));
        a = _mm_max_pd(c0, a);
        b = _mm_max_pd(c1, b);
    }
    a = _mm_max_pd(b, a);
    const double low = _mm_cvtsd_f64(a);
    const double high = _mm_cvtsd_f64(_mm_unpackhi_pd(a, a));
    return high > low ? high : low;
}

}  // namespace

void TracingWindow::traceRun(std::int64_t first, std::int64_t count, double spacing,
                             std::int64_t last, double* traced) {
    prepareDips(spacing, true);
    prepareLowerDips(spacing);
    const std::int64_t K = dipReach_;
    const std::int64_t runLast = first + count - 1;
    const std::int64_t lo = std::max<std::int64_t>(0, first - K);
    const std::int64_t hi = std::min(last, runLast + K);
    double best[kRun];
    double floor = kInfinity;
    for (std::int64_t r = 0; r < count; ++r) {
        const std::int64_t i = first + r;
        std::int64_t winner = i;
        climb(i, std::max<std::int64_t>(0, i - K), std::min(last, i + K), best[r], winner);
        floor = best[r] < floor ? best[r] : floor;
    }
    // The run's samples against a block [a, b]: the nearest distance between them.
    const auto nearest = [&](std::int64_t a, std::int64_t b) {
        return a > runLast ? a - runLast : (b < first ? first - b : 0);
    };
    const double* centre = offsetDips_.data() + (K + kRun);
    for (std::int64_t branch = lo - (lo - base_) % kBranch; branch <= hi; branch += kBranch) {
        const std::int64_t branchFirst = std::max(branch, lo);
        const std::int64_t branchLast = std::min(branch + kBranch - 1, hi);
        const double branchLargest =
            branchLargest_[static_cast<std::size_t>((branch - base_) / kBranch)];
        if (tracingCandidate(branchLargest, dip(nearest(branchFirst, branchLast))) <= floor) {
            continue;
        }
        for (std::int64_t leaf = branchFirst - (branchFirst - base_) % kLeaf; leaf <= branchLast;
             leaf += kLeaf) {
            const std::int64_t a = std::max(leaf, branchFirst);
            const std::int64_t b = std::min(leaf + kLeaf - 1, branchLast);
            const double leafLargest =
                leafLargest_[static_cast<std::size_t>((leaf - base_) / kLeaf)];
            if (tracingCandidate(leafLargest, dip(nearest(a, b))) <= floor) {
                continue;
            }
            const double* w = values_.data() + (a - base_);
            for (std::int64_t r = 0; r < count; ++r) {
                const std::int64_t i = first + r;
                const std::int64_t k = a > i ? a - i : (b < i ? i - b : 0);
                if (k > K || tracingCandidate(leafLargest, dip(k)) <= best[r]) {
                    continue;
                }
                const double* dips = centre + (a - i);
                if (b - a + 1 == kLeaf) {
                    candidates_ += kLeaf;
                    best[r] = largestOfSixteen(w, dips, best[r]);
                } else {
                    candidates_ += b - a + 1;
                    for (std::int64_t n = 0; n <= b - a; ++n) {
                        const double c = tracingCandidate(w[n], dips[n]);
                        best[r] = c > best[r] ? c : best[r];
                    }
                }
            }
        }
    }
    for (std::int64_t r = 0; r < count; ++r) {
        const std::int64_t i = first + r;
        traced[r] = tracedFrom(best[r], std::max<std::int64_t>(0, i - K), std::min(last, i + K));
    }
}

TipTracer::TipTracer(const TipTracingSettings& settings)
    : settings_(checked(settings)),
      window_(settings_),
      largestReach_(footprintReach(settings_.smallestSpacing, TipRadius(settings_.radius))) {}

void TipTracer::process(std::span<const double> wall, std::span<const double> spacing,
                        SampleBlock& traced) {
    if (spacing.size() != wall.size()) {
        throw std::invalid_argument("the tracing needs one spacing for every wall sample");
    }
    for (const double dx : spacing) {
        if (!std::isfinite(dx) || !(dx >= settings_.smallestSpacing)) {
            throw std::invalid_argument(
                "a spacing of the samples is not finite or below the smallest one set up");
        }
    }
    window_.append(wall);
    spacings_.insert(spacings_.end(), spacing.begin(), spacing.end());
    emitReady(traced);
}

void TipTracer::process(std::span<const double> wall, double spacing, SampleBlock& traced) {
    if (!std::isfinite(spacing) || !(spacing >= settings_.smallestSpacing)) {
        throw std::invalid_argument(
            "the spacing of the samples is not finite or below the smallest one set up");
    }
    window_.append(wall);
    spacings_.insert(spacings_.end(), wall.size(), spacing);
    emitReady(traced);
}

void TipTracer::finish(SampleBlock& traced) {
    finished_ = true;
    emitReady(traced);
}

void TipTracer::reset() {
    window_.reset();
    next_ = 0;
    spacings_.clear();
    spacingsFrom_ = 0;
    finished_ = false;
}

void TipTracer::emitReady(SampleBlock& traced) {
    const std::int64_t end = window_.end();
    while (next_ < end) {
        // A run of up to 16 samples of one spacing, each with its footprint in.
        const double spacing = spacings_[spacingsFrom_];
        const std::int64_t reach = window_.reach(spacing);
        std::int64_t count = 0;
        while (count < TracingWindow::kRun && next_ + count < end &&
               spacings_[spacingsFrom_ + static_cast<std::size_t>(count)] == spacing &&
               (finished_ || next_ + count + reach < end)) {
            ++count;
        }
        if (count == 0) {
            break;
        }
        const std::size_t at = traced.size();
        traced.resize(at + static_cast<std::size_t>(count));
        window_.traceRun(next_, count, spacing, end - 1, traced.data() + at);
        next_ += count;
        spacingsFrom_ += static_cast<std::size_t>(count);
    }
    window_.releaseBefore(next_ - largestReach_);
    if (spacingsFrom_ > spacings_.size() / 2) {
        spacings_.erase(spacings_.begin(),
                        spacings_.begin() + static_cast<std::ptrdiff_t>(spacingsFrom_));
        spacingsFrom_ = 0;
    }
}
