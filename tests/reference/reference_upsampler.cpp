#include "tests/reference/reference_upsampler.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "dsp/extended.hpp"
#include "dsp/upsample_design.hpp"

std::vector<double> referenceUpsampleStage(int stageIndex, const std::vector<double>& input,
                                           const std::vector<double>& taps) {
    const int factor = kUpsampleStages[stageIndex].factor;
    const int tapCount = kUpsampleStages[stageIndex].tapCount;
    const std::size_t m = input.size();

    std::vector<double> stuffed(factor * m, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        stuffed[factor * i] = stored(static_cast<long double>(input[i]) * factor);
    }
    std::vector<double> output(factor * m + tapCount, 0.0);
    std::vector<double> h(tapCount, 0.0);
    for (int k = 0; k < tapCount && k < static_cast<int>(taps.size()); ++k) {
        h[k] = taps[k];
    }
    for (std::size_t i = 0; i < stuffed.size(); ++i) {
        for (int k = 0; k < tapCount; ++k) {
            output[i + k] = stored(output[i + k] + static_cast<long double>(h[k]) * stuffed[i]);
        }
    }
    return output;
}

std::vector<double> referenceUpsampleFourStages(const std::vector<double>& input,
                                                const std::vector<std::vector<double>>& taps) {
    std::vector<double> signal = input;
    for (int stage = 0; stage < 4; ++stage) {
        signal = referenceUpsampleStage(stage, signal, taps[stage]);
    }
    return signal;
}

double referenceUpsampleOutput(int stageIndex, const std::vector<double>& input,
                               const std::vector<double>& taps, std::int64_t n) {
    const std::int64_t factor = kUpsampleStages[stageIndex].factor;
    const std::int64_t tapCount = kUpsampleStages[stageIndex].tapCount;
    const std::int64_t stuffedLength = factor * static_cast<std::int64_t>(input.size());
    double sum = 0.0;
    // The scatter loop reaches element n from stuffed element i through tap k = n − i.
    for (std::int64_t i = std::max<std::int64_t>(0, n - tapCount + 1); i <= n && i < stuffedLength;
         ++i) {
        const std::int64_t k = n - i;
        const double stuffed =
            i % factor == 0 ? stored(static_cast<long double>(input[i / factor]) * factor) : 0.0;
        const double tap = k < static_cast<std::int64_t>(taps.size()) ? taps[k] : 0.0;
        sum = stored(sum + static_cast<long double>(tap) * stuffed);
    }
    return sum;
}
