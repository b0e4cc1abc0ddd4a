// Speed of the tracking error of a pivoted arm, which the engine works out for every high-rate
// sample of a side (6.35 million a second of 44.1 kHz audio), beside the fixed angle.

#include <benchmark/benchmark.h>

#include "dsp/tonearm.hpp"

namespace {

void errorAcrossTheSide(benchmark::State& state, const Tonearm& arm) {
    const int samples = 1 << 16;
    for (auto _ : state) {
        double sum = 0.0;
        for (int i = 0; i < samples; ++i) {
            sum += trackingErrorDegrees(arm, 146.05 - 85.725 * i / samples);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * samples);
}

void BM_PivotedArmError(benchmark::State& state) {
    const PlayingArea area = standardPlayingArea(GrooveStandard::Iec);
    errorAcrossTheSide(state, pivotedArm(namedAlignment(AlignmentKind::Baerwald, 222.0, area)));
}
BENCHMARK(BM_PivotedArmError);

void BM_FixedAngleError(benchmark::State& state) {
    Tonearm arm;
    arm.fixedAngleDegrees = 1.5;
    errorAcrossTheSide(state, arm);
}
BENCHMARK(BM_FixedAngleError);

}  // namespace
