#pragma once

#include <cstdint>

#include "dsp/stylus_sample.hpp"
#include "dsp/upsample_stage.hpp"

// Both components' last upsampling stages as one source for the interpolation pass: sample n is
// the mid's and the side's sample n, each formed by its own stage where the pass asks for it.
class StylusHighRate {
  public:
    StylusHighRate(UpsampleStage& mid, UpsampleStage& side) : mid_(&mid), side_(&side) {}

    bool ready(std::int64_t n) const { return mid_->ready(n) && side_->ready(n); }
    StylusSample at(std::int64_t n) const { return {mid_->at(n), side_->at(n)}; }
    // Samples [first, first + count) into `out`, each component formed side by side by its stage.
    void form(std::int64_t first, std::int64_t count, StylusSample* out) const;
    // Each component's bound on its own magnitude over [first, last].
    StylusSample bound(std::int64_t first, std::int64_t last) const {
        return {mid_->bound(first, last), side_->bound(first, last)};
    }
    void releaseBefore(std::int64_t n) {
        mid_->releaseBefore(n);
        side_->releaseBefore(n);
    }

    const UpsampleStage& mid() const { return *mid_; }
    const UpsampleStage& side() const { return *side_; }

  private:
    UpsampleStage* mid_;
    UpsampleStage* side_;
};
