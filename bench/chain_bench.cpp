// Speed of every stage and of the whole processing (reading to writing, no dialogue) on 1-, 2-,
// 5- and 10-second inputs, beside the direct implementation the tests keep; then the peak
// resident memory of whole 10-second runs, each in a child process of its own.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/signal_chain.hpp"
#include "bench/bench_material.hpp"
#include "dsp/coefficient_set.hpp"
#include "dsp/cpu_features.hpp"
#include "dsp/extended.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "dsp/shelving_filter.hpp"
#include "dsp/tonearm.hpp"
#include "dsp/tracking_stage.hpp"
#include "dsp/upsample_stage.hpp"
#include "dsp/worker_pool.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/reference/reference_chain.hpp"
#include "wave/wave_reader.hpp"
#include "wave/wave_writer.hpp"

namespace {

constexpr int kRate = 44100;
const DiscParameters kTypical{45.0, 60.0, 0.05, 1.5};

const CoefficientSet& coefficients() {
    static const CoefficientSet set = [] {
        CoefficientSet loaded;
        std::string message;
        if (!loadCoefficientSet(CARTRIVEX_SOURCE_DIR, loaded, message)) {
            std::fprintf(stderr, "%s\n", message.c_str());
            std::exit(1);
        }
        return loaded;
    }();
    return set;
}

// A deterministic stereo programme: two tones and a slow sweep, about -4 dBFS.
std::vector<std::int16_t> programme(int seconds) {
    const std::size_t frames = static_cast<std::size_t>(seconds) * kRate;
    std::vector<std::int16_t> samples(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double a = 9000 * std::sin(2 * M_PI * 440 * t) + 6000 * std::sin(2 * M_PI * 3100 * t);
        const double b = 7000 * std::sin(2 * M_PI * (200 + 400 * t) * t);
        samples[2 * i] = static_cast<std::int16_t>(std::lrint(a + 0.3 * b));
        samples[2 * i + 1] = static_cast<std::int16_t>(std::lrint(0.7 * a + b));
    }
    return samples;
}

// A 16-bit 44.1 kHz stereo WAV file of the samples at `path`.
std::string waveFile(const std::string& path, const std::vector<std::int16_t>& samples) {
    HeaderBytes header{};
    const std::uint32_t dataLength = static_cast<std::uint32_t>(samples.size() * 2);
    const std::uint32_t fields[] = {0x46464952u, 36 + dataLength, 0x45564157u, 0x20746d66u, 16};
    for (int f = 0; f < 5; ++f) {
        for (int b = 0; b < 4; ++b)
            header[4 * f + b] = static_cast<std::uint8_t>(fields[f] >> (8 * b));
    }
    const std::uint8_t format[] = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0};
    std::copy(std::begin(format), std::end(format), header.begin() + 20);
    const std::uint8_t data[] = {'d', 'a', 't', 'a'};
    std::copy(std::begin(data), std::end(data), header.begin() + 36);
    for (int b = 0; b < 4; ++b)
        header[40 + b] = static_cast<std::uint8_t>(dataLength >> (8 * b));
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), 44);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * 2));
    return path;
}

std::string inputFile(int seconds) {
    return waveFile("/tmp/cartrivex-bench-" + std::to_string(seconds) + "s.wav",
                    programme(seconds));
}

// Ten seconds of the treble-rich piece that render_bench.sh times (bench_material.hpp).
std::string trebleFile() {
    std::vector<double> material;
    benchMaterial("treble", kRate, 10L * kRate, material);
    std::vector<std::int16_t> samples(material.size());
    for (std::size_t k = 0; k < material.size(); ++k) {
        samples[k] = static_cast<std::int16_t>(std::lrint(material[k] * 32767));
    }
    return waveFile("/tmp/cartrivex-bench-treble.wav", samples);
}

// Five runs each of a whole file: the first run of a process meets memory the system has not
// handed out before, which costs far more to map than to compute, so the table shows the fastest
// run and the median beside the mean.
void fileRuns(benchmark::internal::Benchmark* bench) {
    bench->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1)
        ->Repetitions(5)
        ->ComputeStatistics(
            "min",
            [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->ReportAggregatesOnly(true);
}

// Reading to writing, as the job runs it.
void processFile(const std::string& input, const std::string& output, int threadCount,
                 const DiscParameters& disc = kTypical) {
    const HeaderCheck header = readWaveHeader(input);
    LoadedInput loaded = loadSamples(input, header.info);
    SilentProgress progress;
    ChainResult result = runSignalChain(std::move(loaded.inputSamples), header.info, disc,
                                        coefficients(), threadCount, progress);
    writeOutputWave(output, loaded.headerBytes, result.outputSamples);
}

void BM_WholeProcessing(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    const int threadCount = static_cast<int>(state.range(1));
    const std::string input = inputFile(seconds);
    const std::string output = "/tmp/cartrivex-bench-out.wav";
    for (auto _ : state) {
        processFile(input, output, threadCount);
    }
    state.counters["seconds_of_audio"] = seconds;
    std::remove(input.c_str());
    std::remove(output.c_str());
}
BENCHMARK(BM_WholeProcessing)->ArgsProduct({{1, 2, 5, 10}, {1, 2}})->Apply(fileRuns);

// The bundled sample (10 seconds of music) from reading to writing, with the typical answers and
// with two that distort strongly: 0 (45, 60, 0.05, 1.5), 1 (33, 30, 0.1, 20), 2 (45, 60, 0.05,
// 89.9).
const DiscParameters kMusicCases[] = {
    kTypical, {100.0 / 3, 30.0, 0.1, 20.0}, {45.0, 60.0, 0.05, 89.9}};

void BM_MusicProcessing(benchmark::State& state) {
    const std::string input = std::string(CARTRIVEX_SOURCE_DIR) + "/data/sample.wav";
    const std::string output = "/tmp/cartrivex-bench-music.wav";
    const DiscParameters& disc = kMusicCases[state.range(0)];
    for (auto _ : state) {
        processFile(input, output, static_cast<int>(state.range(1)), disc);
    }
    std::remove(output.c_str());
}
BENCHMARK(BM_MusicProcessing)
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->ArgNames({"case", "threads"})
    ->Apply(fileRuns);

// The interactive program's job on ten seconds of treble-rich music, where the last stage forms
// far more samples than on the bundled music: the typical answers, 1 and 2 threads.
void BM_TrebleProcessing(benchmark::State& state) {
    const std::string input = trebleFile();
    const std::string output = "/tmp/cartrivex-bench-treble-out.wav";
    for (auto _ : state) {
        processFile(input, output, static_cast<int>(state.range(0)));
    }
    std::remove(input.c_str());
    std::remove(output.c_str());
}
BENCHMARK(BM_TrebleProcessing)->Arg(1)->Arg(2)->ArgNames({"threads"})->Apply(fileRuns);

// The direct implementation on the same music, typical answers, once.
void BM_DirectMusic(benchmark::State& state) {
    const std::string input = std::string(CARTRIVEX_SOURCE_DIR) + "/data/sample.wav";
    const HeaderCheck header = readWaveHeader(input);
    const LoadedInput loaded = loadSamples(input, header.info);
    const std::vector<std::vector<double>> taps(coefficients().taps.begin(),
                                                coefficients().taps.end());
    for (auto _ : state) {
        ReferenceOutput output =
            referenceProcess(loaded.inputSamples, header.info.frameCount, kTypical, taps);
        benchmark::DoNotOptimize(output.outputSamples.data());
    }
}
BENCHMARK(BM_DirectMusic)->Unit(benchmark::kMillisecond)->Iterations(1);

// The direct implementation: every buffer in full, the scatter over every stuffed element.
void BM_DirectProcessing(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    const std::vector<std::int16_t> input = programme(seconds);
    const std::vector<std::vector<double>> taps(coefficients().taps.begin(),
                                                coefficients().taps.end());
    for (auto _ : state) {
        ReferenceOutput output = referenceProcess(input, seconds * kRate, kTypical, taps);
        benchmark::DoNotOptimize(output.outputSamples.data());
    }
}
BENCHMARK(BM_DirectProcessing)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(1);

// Each stage alone, as the engine runs it over a stream of 16384-frame pieces, on the signal the
// stages before it made: 0 the lateral filter, 1-3 upsampling stages 1-3, 4 the last stage formed
// on demand with the interpolation pass, 5 the inverse filter.
void BM_Stage(benchmark::State& state) {
    const int stage = static_cast<int>(state.range(0));
    const int seconds = static_cast<int>(state.range(1));
    const std::vector<std::int16_t> samples = programme(seconds);
    std::vector<SampleBlock> signals(5);  // the input of upsampling stage k, then the last's
    for (std::size_t i = 0; i < samples.size() / 2; ++i) {
        signals[0].push_back(
            stored((static_cast<long double>(samples[2 * i + 1]) + samples[2 * i]) * 0.5L));
    }
    SampleBlock filtered;
    LateralFilter(kRate, LateralDirection::Recording).process(signals[0], filtered);
    signals[0].swap(filtered);
    for (int k = 0; k < 3; ++k) {
        UpsampleStage stream(k, coefficients().taps[k]);
        stream.process(signals[k], signals[k + 1]);
        stream.finish(signals[k + 1]);
    }
    constexpr std::int64_t kPiece = 16384;
    const std::int64_t frames = static_cast<std::int64_t>(samples.size() / 2);
    for (auto _ : state) {
        if (stage == 0 || stage == 5) {
            const SampleBlock& lateral = signals[0];
            LateralFilter run(
                kRate, stage == 0 ? LateralDirection::Recording : LateralDirection::Playback);
            SampleBlock output;
            for (std::int64_t at = 0; at < frames; at += kPiece) {
                output.clear();
                run.process(
                    {lateral.data() + at, static_cast<std::size_t>(std::min(kPiece, frames - at))},
                    output);
            }
            benchmark::DoNotOptimize(output.data());
        } else if (stage <= 3) {
            const SampleBlock& input = signals[static_cast<std::size_t>(stage - 1)];
            const std::int64_t piece = static_cast<std::int64_t>(input.size()) * kPiece / frames;
            UpsampleStage stream(stage - 1, coefficients().taps[stage - 1], defaultThreadCount());
            SampleBlock output;
            for (std::int64_t at = 0; at < static_cast<std::int64_t>(input.size()); at += piece) {
                output.clear();
                stream.process({input.data() + at, static_cast<std::size_t>(std::min<std::int64_t>(
                                                       piece, input.size() - at))},
                               output);
            }
            benchmark::DoNotOptimize(output.data());
        } else {
            const SampleBlock& input = signals[3];
            const std::int64_t piece = static_cast<std::int64_t>(input.size()) * kPiece / frames;
            UpsampleStage last(3, coefficients().taps[3]);
            TrackingSettings settings;
            settings.fullScaleLateralAmplitude = kTypical.fullScaleLateralAmplitude;
            settings.geometry = deriveGrooveGeometry(kTypical, kRate);
            settings.threadCount = defaultThreadCount();
            TrackingStage<UpsampleStage> pass(settings, last);
            SampleBlock output;
            for (std::int64_t at = 0; at < static_cast<std::int64_t>(input.size()); at += piece) {
                last.take({input.data() + at, static_cast<std::size_t>(std::min<std::int64_t>(
                                                  piece, input.size() - at))});
                pass.process(frames, output);
            }
            state.counters["formed_per_output"] =
                static_cast<double>(pass.formed()) / static_cast<double>(frames);
            benchmark::DoNotOptimize(output.data());
        }
    }
}
BENCHMARK(BM_Stage)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {10}})
    ->ArgNames({"stage", "seconds"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The bundled music (10 seconds), as doubles.
const std::vector<double>& music() {
    static const std::vector<double> samples = [] {
        const std::string path = std::string(CARTRIVEX_SOURCE_DIR) + "/data/sample.wav";
        const HeaderCheck header = readWaveHeader(path);
        const LoadedInput loaded = loadSamples(path, header.info);
        return std::vector<double>(loaded.inputSamples.begin(), loaded.inputSamples.end());
    }();
    return samples;
}

// How the engine reads the groove in a run: the model, and a fixed angle or an arm across a side.
struct EngineRun {
    PickupModel model = PickupModel::Lateral;
    bool moving = false;
    StylusTip tip;  // the stylus model's; a point unless given
};

// The engine alone (no files) over `seconds` of the music, played again as often as needed: only
// the ten seconds are held, beside what the engine holds. The stylus model plays a 20-degree
// record at 25 degrees; the arm is a 9-inch one in Löfgren A, from the outer to the inner groove
// of an LP side over the run.
void runEngineFor(std::int64_t seconds, int threadCount, EngineRun run = {}) {
    ChainSettings settings;
    settings.disc = kTypical;
    settings.coefficients = &coefficients();
    settings.threadCount = threadCount;
    settings.model = run.model;
    settings.stylus = {25.0, 20.0};
    settings.tip = run.tip;
    if (run.moving) {
        settings.moving = true;
        settings.path.arm.kind = Tonearm::Kind::Pivoted;
        settings.path.arm.effectiveLength = 239.3;
        settings.path.arm.pivotToSpindle = 222;
        settings.path.arm.offsetDegrees = 23.5;
        settings.path.fromRadius = 146.05;
        settings.path.toRadius = 60.325;
        settings.path.frameCount = seconds * kRate;
    }
    StreamingChain chain(settings);
    const std::vector<double>& input = music();
    const std::int64_t perPass = static_cast<std::int64_t>(input.size() / 2);
    std::vector<double> output(2 * 16384);
    for (std::int64_t left = seconds * kRate; left > 0;) {
        for (std::int64_t at = 0; at < perPass && left > 0;) {
            const std::int64_t count = std::min({std::int64_t{16384}, perPass - at, left});
            chain.pushFrames(input.data() + 2 * at, count);
            while (chain.pullFrames(output.data(), 16384) > 0) {
            }
            at += count;
            left -= count;
        }
    }
    chain.finish();
    while (chain.pullFrames(output.data(), 16384) > 0) {
    }
}

// The engine on 10 and 60 seconds of the same music: the time should grow with the length and
// no faster.
void BM_Engine(benchmark::State& state) {
    music();
    for (auto _ : state) {
        runEngineFor(state.range(0), static_cast<int>(state.range(1)));
    }
    state.counters["seconds_of_audio"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_Engine)
    ->ArgsProduct({{10, 60}, {1, 2}})
    ->ArgNames({"seconds", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// The two models side by side on the music (10 seconds, 44.1 kHz stereo), with a fixed angle
// and with an arm across a side: the stylus model upsamples the side as well, so it costs about
// twice the lateral one's upsampling.
void BM_Models(benchmark::State& state) {
    music();
    const EngineRun run{state.range(0) == 0 ? PickupModel::Lateral : PickupModel::Stylus,
                        state.range(1) != 0, StylusTip{}};
    for (auto _ : state) {
        runEngineFor(10, static_cast<int>(state.range(2)), run);
    }
    state.counters["seconds_of_audio"] = 10;
}
BENCHMARK(BM_Models)
    ->ArgsProduct({{0, 1}, {0, 1}, {1, 2}})
    ->ArgNames({"stylus", "arm", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The stylus model with a 17.8 µm spherical tip tracing both walls, an arm across the side (the
// footprint widens from ±220 to ±540 high-rate samples toward the inner groove), on the music:
// every high-rate sample of both components is formed, as any may lie in a footprint.
StylusTip sphericalTip() {
    StylusTip tip;
    tip.shape = StylusShape::Spherical;
    tip.scanningRadius = 17.8;
    tip.bearingRadius = 17.8;
    return tip;
}

void BM_TracedTip(benchmark::State& state) {
    music();
    const EngineRun run{PickupModel::Stylus, true, sphericalTip()};
    for (auto _ : state) {
        runEngineFor(10, static_cast<int>(state.range(0)), run);
    }
    state.counters["seconds_of_audio"] = 10;
}
BENCHMARK(BM_TracedTip)
    ->Arg(1)
    ->Arg(2)
    ->ArgNames({"threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// The lane kernels alone on data in cache: 16 outputs of 13 terms each per call, the shape of an
// upsampling stage's inner loop; the counter is the time per lane and term.
void BM_LaneKernel(benchmark::State& state) {
    using Kernel = void (*)(const double*, const PhaseTerm*, std::int64_t, double*);
    const Kernel kernel = state.range(0) == 0 ? accumulateLanesX87 : accumulateLanesAvx512;
    if (state.range(0) == 1 && !hasAvx512()) {
        state.SkipWithError("this processor has no AVX-512");
        return;
    }
    std::vector<double> samples(std::size_t{1} << 14);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] =
            9000.0 * std::sin(0.37 * static_cast<double>(i)) + 0.001 * static_cast<double>(i);
    }
    std::vector<PhaseTerm> terms;
    for (int t = 12; t >= 0; --t) {
        terms.push_back(PhaseTerm{-t, 0.02 * std::cos(0.3 * t) + 1e-3 * t});
    }
    const ExtendedPrecisionScope precision;
    std::int64_t laneTerms = 0;
    for (auto _ : state) {
        for (std::size_t q = 16; q + kLanes <= samples.size(); q += kLanes) {
            double acc[kLanes] = {};
            kernel(samples.data() + q, terms.data(), static_cast<std::int64_t>(terms.size()), acc);
            benchmark::DoNotOptimize(acc);
        }
        laneTerms +=
            static_cast<std::int64_t>((samples.size() - 16) / kLanes * kLanes * terms.size());
    }
    state.counters["time_per_lane_term"] = benchmark::Counter(
        static_cast<double>(laneTerms), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LaneKernel)->Arg(0)->Arg(1)->ArgNames({"avx512"})->UseRealTime();

// Peak resident memory of a child process run with `mode` and `argument`, in MB.
double peakMegabytes(const char* mode, const std::string& argument) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/proc/self/exe", "cartrivex_bench", mode, argument.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1.0;
    }
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    // The largest of the children so far: the callers go from the smallest run to the largest.
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--measure-peak") {
        processFile(argv[2], "/tmp/cartrivex-bench-peak.wav", defaultThreadCount());
        std::remove("/tmp/cartrivex-bench-peak.wav");
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--measure-engine") {
        runEngineFor(std::stoi(argv[2]), defaultThreadCount());
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--measure-stylus") {
        runEngineFor(std::stoi(argv[2]), defaultThreadCount(), {PickupModel::Stylus, true, {}});
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--measure-tip") {
        runEngineFor(std::stoi(argv[2]), defaultThreadCount(),
                     {PickupModel::Stylus, true, sphericalTip()});
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const std::string input = inputFile(10);
    std::printf("peak resident memory, whole 10 s processing: %.1f MB\n",
                peakMegabytes("--measure-peak", input));
    std::remove(input.c_str());
    for (int seconds : {10, 600, 3600}) {
        std::printf("peak resident memory, engine over %d s: %.1f MB\n", seconds,
                    peakMegabytes("--measure-engine", std::to_string(seconds)));
    }
    for (int seconds : {10, 600, 3600}) {
        std::printf("peak resident memory, stylus model with an arm over %d s: %.1f MB\n", seconds,
                    peakMegabytes("--measure-stylus", std::to_string(seconds)));
    }
    // The tip's tracing holds the footprints' samples beside the stylus model's buffers: bounded
    // by the piece size and the widest footprint, whatever the length.
    for (int seconds : {10, 120}) {
        std::printf("peak resident memory, a 17.8 um tip with an arm over %d s: %.1f MB\n", seconds,
                    peakMegabytes("--measure-tip", std::to_string(seconds)));
    }
    return 0;
}
