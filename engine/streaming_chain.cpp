#include "engine/streaming_chain.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <utility>
#include <vector>

#include "dsp/extended.hpp"
#include "dsp/groove_geometry.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/tracking_error.hpp"

struct StreamingChain::State {
    ChainSettings settings;
    std::vector<double> mid;
    std::vector<double> side;
    std::vector<double> output;
    std::int64_t pulled = 0;
    std::int64_t framesIn = 0;
    double peak = 0.0;
};

StreamingChain::StreamingChain(const ChainSettings& settings) : state_(std::make_unique<State>()) {
    state_->settings = settings;
}

StreamingChain::~StreamingChain() = default;

void StreamingChain::pushFrames(const double* samples, std::int64_t frameCount) {
    const int channels = state_->settings.channelCount;
    for (std::int64_t i = 0; i < frameCount; ++i) {
        if (channels == 1) {
            state_->mid.push_back(samples[i]);
        } else {
            const long double left = samples[2 * i];
            const long double right = samples[2 * i + 1];
            state_->mid.push_back(stored((right + left) * 0.5L));
            state_->side.push_back(stored((left - right) * 0.5L));
        }
    }
    state_->framesIn += frameCount;
}

void StreamingChain::finish() {
    State& s = *state_;
    const std::int32_t n = static_cast<std::int32_t>(s.mid.size());
    SampleBuffer mid(s.mid.size());
    std::copy(s.mid.begin(), s.mid.end(), mid.data());
    std::vector<double>().swap(s.mid);
    SampleBuffer filtered = filterLateral(std::move(mid), s.settings.sampleRate);
    SampleBuffer high = upsampleFourStages(std::move(filtered), *s.settings.coefficients,
                                           s.settings.threadCount, [](int) {});
    const GrooveGeometry geometry = deriveGrooveGeometry(s.settings.disc, s.settings.sampleRate);
    SampleBuffer distorted =
        calculateInterpolatedOutput(std::move(high), n, s.settings.disc.fullScaleLateralAmplitude,
                                    geometry, s.settings.threadCount);
    SampleBuffer restored = inverseFilterLateral(std::move(distorted), s.settings.sampleRate);
    if (s.settings.channelCount == 1) {
        s.output.assign(restored.data(), restored.data() + n);
    } else {
        s.output.resize(2 * static_cast<std::size_t>(n));
        for (std::int32_t i = 0; i < n; ++i) {
            s.output[2 * i] = stored(static_cast<long double>(s.side[i]) + restored[i]);
            s.output[2 * i + 1] = stored(static_cast<long double>(restored[i]) - s.side[i]);
        }
    }
}

std::int64_t StreamingChain::pullFrames(double* output, std::int64_t maxFrames) {
    State& s = *state_;
    const int channels = s.settings.channelCount;
    const std::int64_t available =
        static_cast<std::int64_t>(s.output.size()) / channels - s.pulled;
    const std::int64_t count = std::min(available, maxFrames);
    for (std::int64_t k = 0; k < count * channels; ++k) {
        const double value = s.output[s.pulled * channels + k];
        output[k] = value;
        if (std::fabs(value) > s.peak) {
            s.peak = std::fabs(value);
        }
    }
    s.pulled += count;
    return count;
}

std::int64_t StreamingChain::framesIn() const { return state_->framesIn; }
std::int64_t StreamingChain::framesOut() const { return state_->pulled; }
double StreamingChain::peakMagnitude() const { return state_->peak; }
