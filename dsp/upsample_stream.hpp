#pragma once

#include <cstdint>
#include <vector>

#include "dsp/block.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "dsp/upsampler.hpp"

// One interpolation stage run over a stream: the input comes a block at a time, and every output
// whose window of kept samples is complete is made as soon as its newest sample has arrived. The
// values are those of the scatter convolution over the whole zero-stuffed signal, bit for bit.
struct UpsampleStream {
    int factor = 1;
    int tapCount = 0;
    std::int64_t oldestOffset = 0;  // ⌊(L − 1)/f⌋: how far back a sum reaches, in kept samples
    std::vector<double> taps;       // h[0] first
    std::vector<std::vector<PhaseTerm>> phases;  // per phase r: the nonzero taps, oldest first
    bool tapsFinite = true;
    double tapMagnitudeSum = 0.0;  // an upper bound on Σ|h|

    // The kept samples x'[j] = stored(x[j]·f) from keptBase on; kept[k] is x'[keptBase + k].
    SampleBlock kept;
    std::int64_t keptBase = 0;
    std::int64_t received = 0;  // m so far
    // Indices of the kept samples that are not finite, ascending (almost always none).
    std::vector<std::int64_t> nonFinite;
    // The largest |x'| of each group of kGroup kept samples from groupBase·kGroup on; a group
    // with a sample that is not finite holds infinity.
    std::vector<double> groupLargest;
    std::int64_t groupBase = 0;

    std::int64_t nextRow = 0;  // the next row q (outputs f·q .. f·q + f − 1) to be made
    bool finished = false;
};

inline constexpr std::int64_t kUpsampleGroup = 16;

UpsampleStream makeUpsampleStream(int stageIndex, const std::vector<double>& taps);

// Takes `count` input samples; appends to `output` every output that is now complete.
void pushUpsampleStream(UpsampleStream& stream, const double* input, std::int64_t count,
                        SampleBlock& output, int threadCount);

// The same, with the outputs taken straight into `next` as its input, as appendKeptSamples
// would take them.
void pushUpsampleStreamInto(UpsampleStream& stream, const double* input, std::int64_t count,
                            UpsampleStream& next, int threadCount);

// The input has ended: appends the outputs that remain, up to the length f·m + L.
void finishUpsampleStream(UpsampleStream& stream, SampleBlock& output);

// Only takes the input, making nothing; outputs are asked for one at a time (the last stage).
void appendKeptSamples(UpsampleStream& stream, const double* input, std::int64_t count);

// Output n, exactly as the scatter convolution makes it. Its kept samples must be held: n < f·m
// (or any n below f·m + L once finished) and n ≥ f·(keptBase + oldestOffset).
double upsampleOutputAt(const UpsampleStream& stream, std::int64_t n);

// Outputs [first, first + count) into `out`, the same values as upsampleOutputAt gives, made
// side by side with the lane kernel, on up to `threadCount` threads. Every one of them must be
// ready.
void formUpsampleOutputs(const UpsampleStream& stream, std::int64_t first, std::int64_t count,
                         double* out, int threadCount = 1);

// Whether output n can be made now.
bool upsampleOutputReady(const UpsampleStream& stream, std::int64_t n);

// An upper bound on |output n| for every n in [first, last], or infinity where it cannot say.
double upsampleOutputBound(const UpsampleStream& stream, std::int64_t first, std::int64_t last);

// Lets go of the kept samples that no output from `n` on needs.
void releaseUpsampleBefore(UpsampleStream& stream, std::int64_t n);
