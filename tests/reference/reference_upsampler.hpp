#pragma once

#include <cstdint>
#include <vector>

// One interpolation stage done the long way: the zero-stuffed buffer built in full and the
// scatter convolution run over every one of its elements, zeros included.
std::vector<double> referenceUpsampleStage(int stageIndex, const std::vector<double>& input,
                                           const std::vector<double>& taps);

// The four stages in order, each on the whole output of the one before.
std::vector<double> referenceUpsampleFourStages(const std::vector<double>& input,
                                                const std::vector<std::vector<double>>& taps);

// Output `n` of one stage alone: the terms the scatter loop adds into that element, every
// stuffed element of its window included, in the scatter loop's order. For spot checks of
// inputs too long for the full scatter.
double referenceUpsampleOutput(int stageIndex, const std::vector<double>& input,
                               const std::vector<double>& taps, std::int64_t n);
