#include "dsp/upsampler.hpp"

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
