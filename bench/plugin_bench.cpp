// The LV2 plugin as a host runs it: the built bundle loaded through liblilv, the project's sample
// music played in host blocks of 256 frames with a typical setting (33 1/3 rpm, 100 mm, 0.05 mm,
// 2 degrees), on the calling thread alone. The counter core_share is the processing time over the
// audio's duration: the share of one core the plugin takes in a live session.

#include <benchmark/benchmark.h>

#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/lv2_host.hpp"

namespace {

// The sample music as floats (16-bit stereo at 44.1 kHz), played at whatever rate is asked:
// the plugin's work does not depend on what the samples mean.
const std::vector<float>& sampleMusic() {
    static const std::vector<float> samples = [] {
        SF_INFO info{};
        const std::string path = std::string(CARTRIVEX_SOURCE_DIR) + "/data/sample.wav";
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        std::vector<float> values(static_cast<std::size_t>(info.frames * info.channels));
        if (file != nullptr) {
            sf_readf_float(file, values.data(), info.frames);
            sf_close(file);
        }
        return values;
    }();
    return samples;
}

// Arguments: the sample rate and the channel count (2: the stereo plugin, 1: the mono one).
void BM_Plugin(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    constexpr std::uint32_t kHostBlock = 256;
    Lv2Host host(CARTRIVEX_LV2_BUNDLE,
                 channels == 1 ? "urn:cartrivex:pickup:mono" : "urn:cartrivex:pickup:stereo");
    if (!host.open(rate, kHostBlock)) {
        state.SkipWithError("the plugin was not loaded");
        return;
    }
    host.control("speed") = static_cast<float>(100.0 / 3);
    host.control("radius") = 100.0f;
    host.control("amplitude") = 0.05f;
    host.control("angle") = 2.0f;
    const std::vector<float>& music = sampleMusic();
    const std::int64_t frames = static_cast<std::int64_t>(music.size()) / 2;
    std::vector<float> input(static_cast<std::size_t>(frames * channels));
    for (std::int64_t k = 0; k < frames; ++k) {
        for (int c = 0; c < channels; ++c) {
            input[static_cast<std::size_t>(k * channels + c)] =
                music[static_cast<std::size_t>(2 * k + c)];
        }
    }
    std::vector<float> output(input.size());
    for (auto _ : state) {
        host.play(input, kHostBlock, output);
        benchmark::DoNotOptimize(output.data());
    }
    // Per iteration `seconds` of audio: times real time is seconds·iterations over the time
    // taken, and the share of a core its inverse.
    const double seconds = static_cast<double>(frames) / rate;
    state.counters["times_real_time"] =
        benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["core_share"] = benchmark::Counter(
        seconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["latency_frames"] = host.control("latency");
}
BENCHMARK(BM_Plugin)
    ->Args({44100, 2})
    ->Args({96000, 2})
    ->Args({44100, 1})
    ->Args({192000, 2})
    ->ArgNames({"rate", "channels"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
