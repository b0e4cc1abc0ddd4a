#include "dsp/mid_side.hpp"

#include <algorithm>

#include "dsp/extended.hpp"

MidSideSplit::MidSideSplit(int channelCount) : channelCount_(channelCount == 1 ? 1 : 2) {}

void MidSideSplit::process(std::span<const double> frames, SampleBlock& mid, SampleBlock& side) {
    const std::size_t count = frames.size() / static_cast<std::size_t>(channelCount_);
    if (channelCount_ == 1) {
        mid.insert(mid.end(), frames.begin(), frames.end());
        return;
    }
    const std::size_t midAt = mid.size();
    const std::size_t sideAt = side.size();
    mid.resize(midAt + count);
    side.resize(sideAt + count);
    for (std::size_t i = 0; i < count; ++i) {
        const long double left = frames[2 * i];
        const long double right = frames[2 * i + 1];
        mid[midAt + i] = stored((right + left) * 0.5L);
        side[sideAt + i] = stored((left - right) * 0.5L);
    }
}

void MidSideSplit::finish(SampleBlock&, SampleBlock&) {}

LeftRightJoin::LeftRightJoin(int channelCount) : channelCount_(channelCount == 1 ? 1 : 2) {}

namespace {

// Lets go of the values before `from` once they outweigh the rest.
void dropTaken(SampleBlock& values, std::size_t& from) {
    if (from > values.size() / 2) {
        values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(from));
        from = 0;
    }
}

}  // namespace

void LeftRightJoin::process(std::span<const double> lateral, std::span<const double> side,
                            SampleBlock& frames) {
    if (channelCount_ == 1) {
        frames.insert(frames.end(), lateral.begin(), lateral.end());
        return;
    }
    lateral_.insert(lateral_.end(), lateral.begin(), lateral.end());
    side_.insert(side_.end(), side.begin(), side.end());
    const std::size_t count = std::min(lateral_.size() - lateralFrom_, side_.size() - sideFrom_);
    const std::size_t at = frames.size();
    frames.resize(at + 2 * count);
    double* out = frames.data() + at;
    for (std::size_t k = 0; k < count; ++k) {
        const long double restored = lateral_[lateralFrom_ + k];
        const long double sideValue = side_[sideFrom_ + k];
        out[2 * k] = stored(sideValue + restored);
        out[2 * k + 1] = stored(restored - sideValue);
    }
    lateralFrom_ += count;
    sideFrom_ += count;
    dropTaken(lateral_, lateralFrom_);
    dropTaken(side_, sideFrom_);
}

void LeftRightJoin::finish(SampleBlock&) {}

void LeftRightJoin::reserve(std::size_t count) {
    lateral_.reserve(count);
    side_.reserve(count);
}

void LeftRightJoin::reset() {
    lateral_.clear();
    side_.clear();
    lateralFrom_ = 0;
    sideFrom_ = 0;
}
