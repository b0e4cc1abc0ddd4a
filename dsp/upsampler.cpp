#include "dsp/upsampler.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
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
    std::vector<double> taps;      // tapCount values, h[0] first
    const double* kept = nullptr;  // the scaled input, x'[j]
    const double* tail = nullptr;  // a copy of x'[j] for j >= tailFrom, if any
    std::int64_t tailFrom = 0;
    std::int64_t keptCount = 0;                  // m
    std::int64_t outputLength = 0;               // f·m + L
    std::int64_t oldestOffset = 0;               // ⌊(L − 1)/f⌋: how far back a sum reaches
    std::vector<std::vector<PhaseTerm>> phases;  // per phase r, ascending sample index
    bool tapsFinite = true;
    double* output = nullptr;
};

double keptAt(const StagePlan& plan, std::int64_t j) {
    return plan.tail != nullptr && j >= plan.tailFrom ? plan.tail[j - plan.tailFrom] : plan.kept[j];
}

// Where the lane kernel finds x'[q] for rows q .. q + kLanes − 1, which reach back oldestOffset.
const double* keptRow(const StagePlan& plan, std::int64_t q) {
    return plan.tail != nullptr && q - plan.oldestOffset >= plan.tailFrom
               ? plan.tail + (q - plan.tailFrom)
               : plan.kept + q;
}

// The sum over every element of the zero-stuffed input in output n's window, zeros included.
double wholeWindowSum(const StagePlan& plan, std::int64_t n) {
    const std::int64_t f = plan.factor;
    const std::int64_t first = std::max<std::int64_t>(0, n - plan.tapCount + 1);
    const std::int64_t last = std::min(n, f * plan.keptCount - 1);
    double acc = 0.0;
    for (std::int64_t i = first; i <= last; ++i) {
        const double sample = i % f == 0 ? keptAt(plan, i / f) : 0.0;
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
                acc = stored(acc + static_cast<long double>(term.tap) * keptAt(plan, j));
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
        accumulateLanes(keptRow(plan, q), terms.data(), static_cast<std::int64_t>(terms.size()),
                        acc);
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
bool scaleKeptSamples(double* data, std::int64_t count, int factor, int threadCount) {
    std::atomic<bool> finite{true};
    runOrderedBlocks(
        count, std::int64_t{1} << 16, count, threadCount,
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

namespace {

// Scales the input (m samples at `kept`, in place) and lays out the taps per phase.
StagePlan makePlan(const UpsampleStage& stage, const std::vector<double>& taps, double* kept,
                   std::int64_t keptCount, int threadCount) {
    StagePlan plan;
    plan.factor = stage.factor;
    plan.tapCount = stage.tapCount;
    plan.taps.assign(stage.tapCount, 0.0);
    std::copy_n(taps.begin(), std::min<std::size_t>(taps.size(), stage.tapCount),
                plan.taps.begin());
    plan.keptCount = keptCount;
    plan.outputLength = stage.factor * keptCount + stage.tapCount;
    plan.oldestOffset = (plan.tapCount - 1) / plan.factor;
    plan.tailFrom = keptCount;
    plan.tapsFinite = std::all_of(plan.taps.begin(), plan.taps.end(),
                                  [](double tap) { return std::isfinite(tap); });

    const bool samplesFinite = scaleKeptSamples(kept, keptCount, plan.factor, threadCount);
    plan.kept = kept;
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
    return plan;
}

// Every output row, in ascending superblocks; `afterSuperblock(nextRow)` runs between them.
template <typename AfterSuperblock>
void runPlan(const StagePlan& plan, int threadCount, AfterSuperblock&& afterSuperblock) {
    const std::int64_t rows = (plan.outputLength + plan.factor - 1) / plan.factor;
    runOrderedBlocks(
        rows, kChunkRows, kSuperblockRows, threadCount,
        [&](std::int64_t begin, std::int64_t end) { computeRows(plan, begin, end); },
        afterSuperblock);
}

// Rows from nextRow on read no kept sample before nextRow − oldestOffset.
void releaseConsumed(const StagePlan& plan, SampleBuffer& input, std::int64_t nextRow) {
    const std::int64_t needed = nextRow - plan.oldestOffset;
    if (needed > 0) {
        input.releaseBefore(static_cast<std::size_t>(std::min(needed, plan.keptCount)));
    }
}

}  // namespace

SampleBuffer upsampleStage(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                           int threadCount) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size())) {
        return SampleBuffer();
    }
    SampleBuffer output(static_cast<std::size_t>(
        upsampleStageOutputLength(stageIndex, static_cast<std::int64_t>(input.size()))));
    upsampleStageInto(stageIndex, std::move(input), taps, threadCount, output.data());
    return output;
}

void upsampleStageInto(int stageIndex, SampleBuffer input, const std::vector<double>& taps,
                       int threadCount, double* output) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size())) {
        return;
    }
    StagePlan plan = makePlan(kUpsampleStages[stageIndex], taps, input.data(),
                              static_cast<std::int64_t>(input.size()), threadCount);
    plan.output = output;
    runPlan(plan, threadCount,
            [&](std::int64_t nextRow) { releaseConsumed(plan, input, nextRow); });
    input.release();
}

void upsampleStageInPlace(int stageIndex, SampleBuffer& buffer, std::int64_t inputLength,
                          const std::vector<double>& taps, int threadCount) {
    if (stageIndex < 0 || stageIndex >= static_cast<int>(kUpsampleStages.size()) ||
        inputLength < 0 ||
        static_cast<std::int64_t>(buffer.size()) !=
            upsampleStageOutputLength(stageIndex, inputLength)) {
        return;
    }
    const UpsampleStage& stage = kUpsampleStages[stageIndex];
    const std::int64_t base = static_cast<std::int64_t>(buffer.size()) - inputLength;
    StagePlan plan = makePlan(stage, taps, buffer.data() + base, inputLength, threadCount);
    plan.output = buffer.data();
    // The rows of a superblock [F, F + S) write the outputs below f·(F + S) while they run, and
    // output position p holds input p − base until it is written, base = (f − 1)·m + L. The rows
    // from F on read inputs from F − oldestOffset on, so they lose nothing as long as
    // f·(F + S) − base <= F − oldestOffset, that is for every superblock that starts at
    //     F <= m − (f·S + oldestOffset − L)/(f − 1),
    // which holds for F < m − reach with reach = ⌈(f·S + oldestOffset)/(f − 1)⌉. The inputs from
    // tailFrom = m − oldestOffset − reach − 1 on are read from a copy made before any output is
    // written, by every row whose window lies wholly among them. Any other row q has
    // q < tailFrom + oldestOffset = m − reach − 1, so its superblock starts early enough.
    const std::int64_t f = stage.factor;
    const std::int64_t reach = (f * kSuperblockRows + plan.oldestOffset + f - 2) / (f - 1);
    const std::int64_t tailFrom =
        std::max<std::int64_t>(0, inputLength - plan.oldestOffset - reach - 1);
    const std::vector<double> tail(buffer.data() + base + tailFrom,
                                   buffer.data() + base + inputLength);
    plan.tail = tail.data();
    plan.tailFrom = tailFrom;
    runPlan(plan, threadCount, [](std::int64_t) {});
}
