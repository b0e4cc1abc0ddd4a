#include "dsp/upsampler.hpp"

#include <algorithm>
#include <utility>

#include "dsp/upsample_stream.hpp"

std::int64_t upsampleStageOutputLength(int stageIndex, std::int64_t inputLength) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size()) ||
        inputLength < 0) {
        return 0;
    }
    const UpsampleStage& stage = kUpsampleStages[static_cast<std::size_t>(stageIndex)];
    return stage.factor * inputLength + stage.tapCount;
}

std::int64_t highRateLength(std::int64_t inputLength) {
    std::int64_t length = inputLength;
    for (int stage = 0; stage < static_cast<int>(kUpsampleStages.size()); ++stage) {
        length = upsampleStageOutputLength(stage, length);
    }
    return length;
}

SampleBuffer upsampleStage(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                           int threadCount) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size())) {
        return SampleBuffer();
    }
    UpsampleStream stream = makeUpsampleStream(stageIndex, taps);
    SampleBlock output;
    output.reserve(static_cast<std::size_t>(
        upsampleStageOutputLength(stageIndex, static_cast<std::int64_t>(input.size()))));
    pushUpsampleStream(stream, input.data(), static_cast<std::int64_t>(input.size()), output,
                       threadCount);
    input.release();
    finishUpsampleStream(stream, output);
    SampleBuffer result(output.size());
    std::copy(output.begin(), output.end(), result.begin());
    return result;
}
