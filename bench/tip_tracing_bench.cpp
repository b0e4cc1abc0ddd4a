// The tip's tracing of one wall on music-like material, at 44.1 kHz·144 on the innermost groove
// of a 33 1/3 rpm side (the slowest groove, the widest footprint in samples), with a fixed and a
// moving arm, beside the direct maximum.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsp/tip_tracing.hpp"
#include "tests/reference/reference_tip_tracing.hpp"
#include "tests/support/tip_tracing_signals.hpp"

namespace {

constexpr double kHighRate = 44100.0 * 144;
constexpr double kInnerSpacing = 210.6 / kHighRate;  // mm per sample at 60.325 mm

// One wall of music-like material: `peak` mm/s of wall velocity at its loudest.
const TracedWallCase& wallOf(double peak, SpacingKind spacing) {
    static std::vector<std::pair<std::pair<double, SpacingKind>, TracedWallCase>> made;
    for (const auto& entry : made) {
        if (entry.first.first == peak && entry.first.second == spacing) {
            return entry.second;
        }
    }
    const std::size_t n = static_cast<std::size_t>(kHighRate / 10);  // 0.1 s
    TracedWallCase signal;
    // A side's arm: the velocity falls 0.0001 % over 0.1 s at the innermost groove, a new value
    // every 144 samples.
    signal.spacing = spacingOf(spacing, n, kInnerSpacing, 1e-6);
    signal.wall = musicLikeWall(n, kHighRate, peak, 17);
    made.push_back({{peak, spacing}, std::move(signal)});
    return made.back().second;
}

// Samples of one wall per second; range(0) is the peak wall velocity in mm/s, range(1) whether
// the arm moves, range(2) the tip's radius in tenths of a micrometre.
void BM_TipTracer(benchmark::State& state) {
    const TracedWallCase& signal =
        wallOf(static_cast<double>(state.range(0)),
               state.range(1) ? SpacingKind::Ramp : SpacingKind::Constant);
    const double radius = static_cast<double>(state.range(2)) / 10000.0;
    std::int64_t candidates = 0;
    for (auto _ : state) {
        TipTracer tracer({radius, kInnerSpacing * 0.99});
        SampleBlock traced;
        traced.reserve(signal.wall.size());
        for (std::size_t done = 0; done < signal.wall.size(); done += 4096) {
            const std::size_t size = std::min<std::size_t>(4096, signal.wall.size() - done);
            tracer.process(std::span(signal.wall).subspan(done, size),
                           std::span(signal.spacing).subspan(done, size), traced);
        }
        tracer.finish(traced);
        benchmark::DoNotOptimize(traced.data());
        candidates = tracer.candidates();
    }
    const auto n = static_cast<double>(signal.wall.size());
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(signal.wall.size()));
    state.counters["candidates_per_sample"] = static_cast<double>(candidates) / n;
    // One wall pair is two walls of kHighRate samples per second of audio.
    state.counters["x_real_time_pair"] =
        benchmark::Counter(n / (2 * kHighRate), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_TipTracer)
    ->ArgsProduct({{20, 80, 200}, {0, 1}, {178}})
    ->Args({80, 1, 70})
    ->Args({80, 1, 30})
    ->Unit(benchmark::kMillisecond);

void BM_TipTracerDirect(benchmark::State& state) {
    const TracedWallCase& signal = wallOf(80.0, SpacingKind::Constant);
    const std::vector<double> wall(signal.wall.begin(), signal.wall.begin() + 20000);
    const std::vector<double> spacing(signal.spacing.begin(), signal.spacing.begin() + 20000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(referenceTraceWall(wall, spacing, 0.0178).data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(wall.size()));
}
BENCHMARK(BM_TipTracerDirect)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// Traced samples formed one at a time where a reader looks, as the interpolation pass would ask
// for them: every 48th sample (3 of every 144, what the pass forms on music with typical
// answers). range(0) is the peak wall velocity, range(1) whether the arm moves.
void BM_TipTracerOnDemand(benchmark::State& state) {
    const TracedWallCase& signal =
        wallOf(static_cast<double>(state.range(0)),
               state.range(1) ? SpacingKind::Ramp : SpacingKind::Constant);
    TracingWindow window({0.0178, kInnerSpacing * 0.99});
    window.append(signal.wall);
    const auto last = static_cast<std::int64_t>(signal.wall.size()) - 1;
    std::int64_t queries = 0;
    for (auto _ : state) {
        double sum = 0.0;
        for (std::int64_t i = 0; i <= last; i += 48) {
            sum += window.tracedAt(i, signal.spacing[static_cast<std::size_t>(i)], last);
            ++queries;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(queries);
}
BENCHMARK(BM_TipTracerOnDemand)->ArgsProduct({{80, 200}, {0, 1}})->Unit(benchmark::kMillisecond);

}  // namespace
