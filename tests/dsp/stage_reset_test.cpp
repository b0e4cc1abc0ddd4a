// Every stage that can be reset forgets all it has seen: after reset() it gives what a stage
// fresh from set-up gives.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dsp/mid_side.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/upsample_stage.hpp"
#include "dsp/upsampler.hpp"
#include "tests/support/coefficients.hpp"

namespace {

std::vector<double> noise(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-30000.0, 30000.0);
    std::vector<double> samples(count);
    for (double& sample : samples) {
        sample = value(random);
    }
    return samples;
}

// Runs `second` through a stage, after `first` and a reset when `resetFirst` is set, and gives
// what came out of the second run.
using StageRun = std::function<std::vector<double>(
    const std::vector<double>& first, const std::vector<double>& second, bool resetFirst)>;

std::vector<double> filterRun(LateralDirection direction, const std::vector<double>& first,
                              const std::vector<double>& second, bool resetFirst) {
    LateralFilter filter(44100, direction);
    SampleBlock output;
    if (resetFirst) {
        filter.process(first, output);
        filter.reset();
        output.clear();
    }
    filter.process(second, output);
    filter.finish(output);
    return {output.begin(), output.end()};
}

std::vector<double> joinRun(const std::vector<double>& first, const std::vector<double>& second,
                            bool resetFirst) {
    LeftRightJoin join(2);
    SampleBlock output;
    if (resetFirst) {
        // More side values than lateral ones: some are left waiting.
        join.process({first.data(), first.size() / 2}, first, output);
        join.reset();
        output.clear();
    }
    join.process(second, std::vector<double>(second.rbegin(), second.rend()), output);
    join.finish(output);
    return {output.begin(), output.end()};
}

std::vector<double> upsampleStageRun(const std::vector<double>& first,
                                     const std::vector<double>& second, bool resetFirst) {
    UpsampleStage stage(1, projectCoefficients().taps[1], 2);
    SampleBlock output;
    if (resetFirst) {
        stage.process(first, output);
        stage.reset();
        output.clear();
    }
    stage.process(second, output);
    stage.finish(output);
    return {output.begin(), output.end()};
}

std::vector<double> upsamplerRun(const std::vector<double>& first,
                                 const std::vector<double>& second, bool resetFirst) {
    Upsampler upsampler(projectCoefficients(), 2);
    if (resetFirst) {
        upsampler.process(first);
        upsampler.reset();
    }
    upsampler.process(second);
    upsampler.finish();
    const UpsampleStage& highRate = upsampler.highRate();
    std::vector<double> output;
    for (std::int64_t n = 0; highRate.ready(n); n += 7) {
        output.push_back(highRate.at(n));
    }
    return output;
}

TEST(StageReset, GivesWhatAFreshStageGives) {
    const struct {
        const char* name;
        StageRun run;
    } stages[] = {
        {"lateral filter", [](const auto& a, const auto& b,
                              bool r) { return filterRun(LateralDirection::Recording, a, b, r); }},
        {"inverse lateral filter",
         [](const auto& a, const auto& b, bool r) {
             return filterRun(LateralDirection::Playback, a, b, r);
         }},
        {"left and right join", joinRun},
        {"upsampling stage", upsampleStageRun},
        {"four upsampling stages", upsamplerRun},
    };
    const std::vector<double> first = noise(1500, 1);
    const std::vector<double> second = noise(900, 2);
    for (const auto& stage : stages) {
        const std::vector<double> fresh = stage.run(first, second, false);
        const std::vector<double> reset = stage.run(first, second, true);
        ASSERT_FALSE(fresh.empty()) << stage.name;
        ASSERT_EQ(reset.size(), fresh.size()) << stage.name;
        for (std::size_t k = 0; k < fresh.size(); ++k) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(reset[k]),
                      std::bit_cast<std::uint64_t>(fresh[k]))
                << stage.name << ", output " << k;
        }
    }
}

}  // namespace
