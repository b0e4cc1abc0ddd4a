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
#include <thread>
#include <utility>
#include <vector>

#include "dsp/coefficient_set.hpp"
#include "engine/signal_chain.hpp"
#include "dsp/cpu_features.hpp"
#include "dsp/polyphase_kernel.hpp"
#include "tests/reference/reference_chain.hpp"
#include "wave/wave_reader.hpp"
#include "wave/wave_writer.hpp"

namespace {

constexpr int kRate = 44100;
const DiscParameters kTypical{45.0, 60.0, 0.05, 1.5};

int threads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

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

WaveInfo infoFor(int seconds) {
    WaveInfo info;
    info.formatTag = 1;
    info.channelCount = 2;
    info.sampleRate = kRate;
    info.bitsPerSample = 16;
    info.frameCount = seconds * kRate;
    info.dataLength = static_cast<std::uint32_t>(info.frameCount) * 4;
    info.duration = seconds;
    return info;
}

std::string inputFile(int seconds) {
    const std::string path = "/tmp/cartrivex-bench-" + std::to_string(seconds) + "s.wav";
    const std::vector<std::int16_t> samples = programme(seconds);
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

// Reading to writing, as the job runs it.
void processFile(const std::string& input, const std::string& output, int threadCount) {
    const HeaderCheck header = readWaveHeader(input);
    LoadedInput loaded = loadSamples(input, header.info);
    SilentProgress progress;
    ChainResult result = runSignalChain(std::move(loaded.inputSamples), header.info, kTypical,
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
// Five runs each: the first run of a process meets memory the system has not handed out before,
// which costs far more to map than to compute, so the table shows the fastest run and the
// median beside the mean.
BENCHMARK(BM_WholeProcessing)
    ->ArgsProduct({{1, 2, 5, 10}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ComputeStatistics("min",
                        [](const std::vector<double>& v) {
                            return *std::min_element(v.begin(), v.end());
                        })
    ->ReportAggregatesOnly(true);

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

// Each stage alone on the signal the stages before it made.
struct StageInputs {
    std::vector<std::int16_t> samples;
    SampleBuffer mid, filtered, highRate, distorted;
    std::array<SampleBuffer, 4> upsampled;  // the input of upsampling stage k
};

SampleBuffer copyOf(const SampleBuffer& buffer) {
    SampleBuffer copy(buffer.size());
    std::copy(buffer.begin(), buffer.end(), copy.begin());
    return copy;
}

void BM_Stage(benchmark::State& state) {
    const int stage = static_cast<int>(state.range(0));
    const int seconds = static_cast<int>(state.range(1));
    const WaveInfo info = infoFor(seconds);
    std::vector<std::int16_t> samples = programme(seconds);
    MidSideComponents components = convertToMidSide(samples, info.frameCount);
    SampleBuffer filtered = filterLateral(copyOf(components.midComponent), kRate);
    std::array<SampleBuffer, 5> rates;
    rates[0] = copyOf(filtered);
    const int upTo = stage < 2 ? 0 : (stage <= 5 ? stage - 2 : 4);
    for (int k = 0; k < upTo; ++k) {
        rates[k + 1] = upsampleStage(k, copyOf(rates[k]), coefficients().taps[k], threads());
    }
    const GrooveGeometry geometry = deriveGrooveGeometry(kTypical, kRate);
    SampleBuffer distorted;
    if (stage >= 7) {
        distorted =
            calculateInterpolatedOutput(std::move(rates[4]), info.frameCount,
                                        kTypical.fullScaleLateralAmplitude, geometry, threads());
    }
    // Upsampling stages 3 and 4 write into the 144-fold buffer as the chain runs them; its memory
    // is made ready before the clock runs (the whole-processing case includes that cost).
    const std::int64_t thirdLength =
        upsampleStageOutputLength(2, static_cast<std::int64_t>(rates[2].size()));
    SampleBuffer highRate;
    if (stage == 4 || stage == 5) {
        highRate = SampleBuffer(static_cast<std::size_t>(highRateLength(info.frameCount)));
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::fill(highRate.begin(), highRate.end(), 0.0);
        if (stage == 5) {  // stage 3's output, where stage 3 leaves it
            std::copy(rates[3].begin(), rates[3].end(), highRate.end() - thirdLength);
        }
        SampleBuffer input;
        if (stage == 1)
            input = copyOf(components.midComponent);
        if (stage >= 2 && stage <= 4)
            input = copyOf(rates[stage - 2]);
        if (stage == 6)
            input = copyOf(rates[4]);
        if (stage == 7)
            input = copyOf(distorted);
        std::vector<std::int16_t> fresh = samples;
        state.ResumeTiming();
        switch (stage) {
            case 0:
                benchmark::DoNotOptimize(convertToMidSide(std::move(fresh), info.frameCount));
                break;
            case 1:
                benchmark::DoNotOptimize(filterLateral(std::move(input), kRate));
                break;
            case 2:
            case 3:
                benchmark::DoNotOptimize(upsampleStage(stage - 2, std::move(input),
                                                       coefficients().taps[stage - 2], threads()));
                break;
            case 4:
                upsampleStageInto(2, std::move(input), coefficients().taps[2], threads(),
                                  highRate.end() - thirdLength);
                break;
            case 5:
                upsampleStageInPlace(3, highRate, thirdLength, coefficients().taps[3], threads());
                break;
            case 6:
                benchmark::DoNotOptimize(calculateInterpolatedOutput(
                    std::move(input), info.frameCount, kTypical.fullScaleLateralAmplitude, geometry,
                    threads()));
                break;
            case 7:
                benchmark::DoNotOptimize(inverseFilterLateral(std::move(input), kRate));
                break;
        }
    }
}
// 0 mid-side, 1 filter, 2-5 upsampling stages 1-4, 6 interpolation, 7 inverse filter.
BENCHMARK(BM_Stage)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7}, {1, 10}})
    ->ArgNames({"stage", "seconds"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

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

// Peak resident memory of a whole 10-second run in a fresh process of its own, in MB.
double peakMegabytes(const std::string& input) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/proc/self/exe", "cartrivex_bench", "--measure-peak", input.c_str(),
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
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--measure-peak") {
        processFile(argv[2], "/tmp/cartrivex-bench-peak.wav", threads());
        std::remove("/tmp/cartrivex-bench-peak.wav");
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const std::string input = inputFile(10);
    std::printf("peak resident memory, whole 10 s processing: %.0f MB\n", peakMegabytes(input));
    std::remove(input.c_str());
    return 0;
}
