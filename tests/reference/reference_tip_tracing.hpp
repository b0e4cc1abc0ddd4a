#pragma once

#include <vector>

// The tip's tracing written out directly, as the yardstick for dsp/tip_tracing: for every sample
// i, every sample j of its footprint (k = |j − i| from 0 up while stored(k·dx_i) ≤ ρ, cut at both
// ends of the signal) gives its candidate, and the largest is kept; a NaN never wins, and where
// every sample of the footprint is NaN the traced value is NaN.
std::vector<double> referenceTraceWall(const std::vector<double>& wall,
                                       const std::vector<double>& spacing, double radius);
