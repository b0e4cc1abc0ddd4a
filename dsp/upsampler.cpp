#include "dsp/upsampler.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "dsp/upsample_design.hpp"

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

// The four stages are one linear filter from the input rate to 144 times it: high-rate index j
// is the sum over input samples k of r[j − 144 k]·x[k], r being the cascade's response to a unit
// impulse (each stage stuffs f − 1 zeros, scales by f and convolves with its taps). So |output| <=
// max over the 144 phases p of sum over k of |r[p + 144 k]|, times max |x|, and an input whose
// signs follow one phase reaches it.
double upsamplerGainBound(const CoefficientSet& coefficients) {
    std::vector<long double> response{1.0L};
    for (std::size_t stage = 0; stage < kUpsampleStages.size(); ++stage) {
        const UpsampleStageDesign& design = kUpsampleStages[stage];
        const std::vector<double>& taps = coefficients.taps[stage];
        const std::size_t tapCount =
            std::min(taps.size(), static_cast<std::size_t>(design.tapCount));
        const auto f = static_cast<std::size_t>(design.factor);
        std::vector<long double> next(response.size() * f + tapCount, 0.0L);
        for (std::size_t k = 0; k < response.size(); ++k) {
            for (std::size_t t = 0; t < tapCount; ++t) {
                next[k * f + t] += static_cast<long double>(design.factor) * response[k] * taps[t];
            }
        }
        response = std::move(next);
    }
    long double largest = 0.0L;
    const auto phases = static_cast<std::size_t>(kUpsampleFactor);
    for (std::size_t p = 0; p < phases; ++p) {
        long double sum = 0.0L;
        for (std::size_t k = p; k < response.size(); k += phases) {
            sum += std::fabs(response[k]);
        }
        largest = std::max(largest, sum);
    }
    // The stages' sums of a few hundred products each round to 2^-53 of their size at most, and
    // the kept samples are stored: room for those roundings, far below this margin.
    return static_cast<double>(largest) * (1.0 + 0x1p-30);
}
