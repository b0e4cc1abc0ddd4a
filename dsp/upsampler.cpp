#include "dsp/upsampler.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

Upsampler::Upsampler(const CoefficientSet& coefficients, int threadCount) {
    for (std::size_t stage = 0; stage < kUpsampleStages.size(); ++stage) {
        stages_.emplace_back(static_cast<int>(stage), coefficients.taps[stage], threadCount);
    }
}

void Upsampler::process(std::span<const double> input) {
    // Every stage's outputs go straight in as the next one's input, the last stage's included;
    // each later stage then makes what its new input completes.
    for (std::size_t stage = 0; stage + 1 < stages_.size(); ++stage) {
        stages_[stage].process(stage == 0 ? input : std::span<const double>(), stages_[stage + 1]);
    }
}

void Upsampler::finish() {
    SampleBlock tail;
    stages_.front().finish(tail);
    for (std::size_t stage = 1; stage + 1 < stages_.size(); ++stage) {
        SampleBlock made;
        stages_[stage].process(tail, made);
        stages_[stage].finish(made);
        tail.swap(made);
    }
    stages_.back().take(tail);
    stages_.back().finish();
}

void Upsampler::reset() {
    for (UpsampleStage& stage : stages_) {
        stage.reset();
    }
}

void Upsampler::reserve(std::int64_t blockFrames, std::int64_t lagFrames, std::int64_t formCount) {
    // Each stage takes `rate` samples for every input sample. A pushed stage keeps the window of
    // its newest outputs; the last one keeps what the pass may still read, at most twice the lag
    // (the search runs behind by the lag and the timing error). Samples let go stay until they
    // outweigh the rest, which at most doubles what is held, and a block comes on top.
    std::int64_t rate = 1;
    for (std::size_t stage = 0; stage < stages_.size(); ++stage) {
        const UpsampleStageDesign& design = kUpsampleStages[stage];
        const std::int64_t window = design.tapCount / design.factor + kUpsampleGroup;
        const std::int64_t held = rate * (2 * lagFrames + blockFrames) + window;
        stages_[stage].reserve(rate * blockFrames, 2 * held + rate * blockFrames, formCount);
        rate *= design.factor;
    }
}

double upsamplerGainBound(const CoefficientSet& coefficients) {
    double gain = 1.0;
    for (std::size_t stage = 0; stage < kUpsampleStages.size(); ++stage) {
        const UpsampleStageDesign& design = kUpsampleStages[stage];
        const std::vector<double>& taps = coefficients.taps[stage];
        double largest = 0.0;
        for (int r = 0; r < design.factor; ++r) {
            double sum = 0.0;
            for (std::size_t k = static_cast<std::size_t>(r);
                 k < std::min<std::size_t>(taps.size(), static_cast<std::size_t>(design.tapCount));
                 k += static_cast<std::size_t>(design.factor)) {
                sum += std::fabs(taps[k]);
            }
            largest = std::max(largest, sum);
        }
        gain *= largest * design.factor;
    }
    // Each of the few hundred roundings in a stage's sums errs by 2^-53 of it at most.
    return gain * (1.0 + 0x1p-30);
}
