#include "dsp/disc_ramps.hpp"

#include <limits>

void DiscRamps::reserve(std::size_t capacity) {
    capacity_ = capacity;
    ramps_.reserve(capacity);
}

bool DiscRamps::add(const Ramp& ramp) {
    if (!(ramp.end > ramp.first) || (!empty() && ramp.first < ramps_.back().end)) {
        return false;
    }
    const std::size_t held = ramps_.size() - from_;
    if (capacity_ > 0 && held >= capacity_) {
        return false;
    }
    if (from_ > 0 && ramps_.size() == ramps_.capacity()) {
        // Room at the back from the ramps let go at the front: no new memory is taken.
        ramps_.erase(ramps_.begin(), ramps_.begin() + static_cast<std::ptrdiff_t>(from_));
        from_ = 0;
    }
    ramps_.push_back(ramp);
    return true;
}

void DiscRamps::releaseBefore(std::int64_t j) {
    while (from_ < ramps_.size() && ramps_[from_].end <= j) {
        ++from_;
    }
    if (from_ == ramps_.size()) {
        clear();
    }
}

void DiscRamps::clear() {
    ramps_.clear();
    from_ = 0;
}

std::int64_t DiscRamps::settledFrom() const {
    return empty() ? std::numeric_limits<std::int64_t>::min() : ramps_.back().end;
}

DiscParameters DiscRamps::at(std::int64_t j) const {
    for (const Ramp& ramp : *this) {
        if (j >= ramp.end) {
            continue;
        }
        if (j < ramp.first) {
            return ramp.from;
        }
        // Index differences stay far below 2^53, so they count exactly in doubles.
        const double fraction =
            static_cast<double>(j - ramp.first) / static_cast<double>(ramp.end - ramp.first);
        return interpolateDisc(ramp.from, ramp.to, fraction);
    }
    return empty() ? DiscParameters{} : ramps_.back().to;
}

DiscParameters interpolateDisc(const DiscParameters& from, const DiscParameters& to,
                               double fraction) {
    const auto move = [fraction](double a, double b) { return a + (b - a) * fraction; };
    DiscParameters disc;
    disc.revolutionsPerMinute = move(from.revolutionsPerMinute, to.revolutionsPerMinute);
    disc.grooveRadius = move(from.grooveRadius, to.grooveRadius);
    disc.fullScaleLateralAmplitude =
        move(from.fullScaleLateralAmplitude, to.fullScaleLateralAmplitude);
    disc.trackingErrorDegrees = move(from.trackingErrorDegrees, to.trackingErrorDegrees);
    return disc;
}
