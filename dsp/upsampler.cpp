#include "dsp/upsampler.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/extended.hpp"
#include "dsp/parallel_blocks.hpp"
#include "dsp/polyphase_kernel.hpp"

// Output n = f·q + r of a stage is the sum over the kept samples x'[j] = stored(x[j]·f) with
// j = q − t of h[f·t + r]·x'[j], in ascending j (descending t). The zeros between the kept samples
// are left out: with finite taps each of their products is a signed zero, and adding a signed
// zero never changes a sum except that it can turn −0 into +0. Tracing both sums step by step
// shows that the shortened sum is −0 whenever the full one is, so a result other than −0 is
// exactly the full sum; a −0 result is recomputed over the whole window. Zero taps are left out
// the same way when every kept sample is finite (0·∞ is not zero). A stage with a tap that is not
// finite computes every output over its whole window, zeros included.

namespace {

constexpr std::uint64_t kNegativeZeroBits = 0x8000000000000000ull;
constexpr std::int64_t kChunkRows = 64 * kLanes;
constexpr std::int64_t kSuperblockRows = std::int64_t{1} << 17;

bool isNegativeZero(double value) {
    return std::bit_cast<std::uint64_t>(value) == kNegativeZeroBits;
}

struct StagePlan {
    int factor = 1;
    int tapCount = 0;
    std::vector<double> taps;                    // tapCount values, h[0] first
    const double* kept = nullptr;                // the scaled input, x'[j]
    std::int64_t keptCount = 0;                  // m
    std::int64_t outputLength = 0;               // f·m + L
    std::int64_t oldestOffset = 0;               // ⌊(L − 1)/f⌋: how far back a sum reaches
    std::vector<std::vector<PhaseTerm>> phases;  // per phase r, ascending sample index
    bool tapsFinite = true;
    double* output = nullptr;
};

// The sum over every element of the zero-stuffed input in output n's window, zeros included.
double wholeWindowSum(const StagePlan& plan, std::int64_t n) {
    const std::int64_t f = plan.factor;
    const std::int64_t first = std::max<std::int64_t>(0, n - plan.tapCount + 1);
    const std::int64_t last = std::min(n, f * plan.keptCount - 1);
    double acc = 0.0;
    for (std::int64_t i = first; i <= last; ++i) {
        const double sample = i % f == 0 ? plan.kept[i / f] : 0.0;
        acc = stored(acc + static_cast<long double>(plan.taps[n - i]) * sample);
    }
    return acc;
}

double checked(const StagePlan& plan, std::int64_t n, double shortSum) {
    return isNegativeZero(shortSum) ? wholeWindowSum(plan, n) : shortSum;
}

// One row q (outputs f·q to f·q + f − 1) near the ends of the input, sample by sample.
void computeEdgeRow(const StagePlan& plan, std::int64_t q) {
    for (int r = 0; r < plan.factor; ++r) {
        const std::int64_t n = plan.factor * q + r;
        if (n >= plan.outputLength) {
            return;
        }
        double acc = 0.0;
        for (const PhaseTerm& term : plan.phases[r]) {
            const std::int64_t j = q + term.offset;
            if (j >= 0 && j < plan.keptCount) {
                acc = stored(acc + static_cast<long double>(term.tap) * plan.kept[j]);
            }
        }
        plan.output[n] = checked(plan, n, acc);
    }
}

// kLanes rows starting at q, all of whose samples lie inside the input.
void computeInteriorRows(const StagePlan& plan, std::int64_t q) {
    for (int r = 0; r < plan.factor; ++r) {
        const std::vector<PhaseTerm>& terms = plan.phases[r];
        double acc[kLanes] = {};
        accumulateLanes(plan.kept + q, terms.data(), static_cast<std::int64_t>(terms.size()), acc);
        for (int w = 0; w < kLanes; ++w) {
            const std::int64_t n = plan.factor * (q + w) + r;
            plan.output[n] = checked(plan, n, acc[w]);
        }
    }
}

void computeRows(const StagePlan& plan, std::int64_t begin, std::int64_t end) {
    const ExtendedPrecisionScope precision;
    for (std::int64_t q = begin; q < end;) {
        if (!plan.tapsFinite) {
            for (int r = 0; r < plan.factor && plan.factor * q + r < plan.outputLength; ++r) {
                plan.output[plan.factor * q + r] = wholeWindowSum(plan, plan.factor * q + r);
            }
            ++q;
        } else if (q + kLanes <= end && q >= plan.oldestOffset && q + kLanes <= plan.keptCount) {
            computeInteriorRows(plan, q);
            q += kLanes;
        } else {
            computeEdgeRow(plan, q);
            ++q;
        }
    }
}

// x'[j] = stored(x[j]·f) in place; tells whether every scaled sample is finite.
bool scaleKeptSamples(SampleBuffer& input, int factor, int threadCount) {
    std::atomic<bool> finite{true};
    double* data = input.data();
    runOrderedBlocks(
        static_cast<std::int64_t>(input.size()), std::int64_t{1} << 16,
        static_cast<std::int64_t>(input.size()), threadCount,
        [&](std::int64_t begin, std::int64_t end) {
            const ExtendedPrecisionScope precision;
            bool allFinite = true;
            for (std::int64_t j = begin; j < end; ++j) {
                data[j] = stored(static_cast<long double>(data[j]) * factor);
                allFinite = allFinite && std::isfinite(data[j]);
            }
            if (!allFinite) {
                finite = false;
            }
        },
        [](std::int64_t) {});
    return finite;
}

}  // namespace

std::int64_t upsampleStageOutputLength(int stageIndex, std::int64_t inputLength) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size()) ||
        inputLength < 0) {
        return 0;
    }
    const UpsampleStage& stage = kUpsampleStages[stageIndex];
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
                           int threadCount, SampleBuffer storage) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size())) {
        return SampleBuffer();
    }
    const UpsampleStage& stage = kUpsampleStages[stageIndex];
    StagePlan plan;
    plan.factor = stage.factor;
    plan.tapCount = stage.tapCount;
    plan.taps.assign(stage.tapCount, 0.0);
    std::copy_n(taps.begin(), std::min<std::size_t>(taps.size(), stage.tapCount),
                plan.taps.begin());
    plan.keptCount = static_cast<std::int64_t>(input.size());
    plan.outputLength = upsampleStageOutputLength(stageIndex, plan.keptCount);
    plan.oldestOffset = (plan.tapCount - 1) / plan.factor;
    plan.tapsFinite = std::all_of(plan.taps.begin(), plan.taps.end(),
                                  [](double tap) { return std::isfinite(tap); });

    const bool samplesFinite = scaleKeptSamples(input, plan.factor, threadCount);
    plan.kept = input.data();
    const bool skipZeroTaps = plan.tapsFinite && samplesFinite;
    plan.phases.resize(plan.factor);
    for (int r = 0; r < plan.factor; ++r) {
        for (std::int64_t t = plan.oldestOffset; t >= 0; --t) {
            const std::int64_t k = plan.factor * t + r;
            if (k >= plan.tapCount || (skipZeroTaps && plan.taps[k] == 0.0)) {
                continue;
            }
            plan.phases[r].push_back(PhaseTerm{-t, plan.taps[k]});
        }
    }

    SampleBuffer output = storage.size() == static_cast<std::size_t>(plan.outputLength)
                              ? std::move(storage)
                              : SampleBuffer(static_cast<std::size_t>(plan.outputLength));
    storage.release();
    plan.output = output.data();
    const std::int64_t rows = (plan.outputLength + plan.factor - 1) / plan.factor;
    runOrderedBlocks(
        rows, kChunkRows, kSuperblockRows, threadCount,
        [&](std::int64_t begin, std::int64_t end) { computeRows(plan, begin, end); },
        [&](std::int64_t nextRow) {
            // Rows from nextRow on read no kept sample before nextRow − oldestOffset.
            const std::int64_t needed = nextRow - plan.oldestOffset;
            if (needed > 0) {
                input.releaseBefore(static_cast<std::size_t>(std::min(needed, plan.keptCount)));
            }
        });
    input.release();
    return output;
}
