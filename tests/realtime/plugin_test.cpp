// The LV2 plugin in a small host on liblilv: the built bundle loaded as a DAW loads it, its
// output against the command line's float render, the memory it takes while it runs, controls
// that move, inputs beyond what it was made for, and the rates and files it refuses.

#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "plugin/plugin_ports.hpp"
#include "plugin/studio_chain.hpp"
#include "tests/support/allocation_counter.hpp"
#include "tests/support/audio_test_files.hpp"
#include "tests/support/coefficients.hpp"
#include "tests/support/files.hpp"
#include "tests/support/lv2_host.hpp"
#include "tests/support/plugin_runs.hpp"
#include "tests/support/process_run.hpp"

namespace {

struct RenderCase {
    const char* name;
    int channels;
    int sampleRate;
    PluginSettings settings;
    bool recording;  // the project's sample recording rather than a made-up signal
    double seconds;
};

void PrintTo(const RenderCase& c, std::ostream* out) {
    *out << c.name;
}

class PluginRenderTest : public ::testing::TestWithParam<RenderCase> {};

// The plugin's output, shifted back by the latency it reports, is the command line's float
// render of the same file with the same settings, sample for sample, whatever the host's block
// size; before the latency it is silence. The file ends in silence longer than the latency: the
// command line's render ends where its file does (its last frames read the groove's end), while
// the plugin plays on.
TEST_P(PluginRenderTest, IsTheCommandLinesFloatRenderShiftedByItsLatency) {
    const RenderCase& c = GetParam();
    const TemporaryDirectory folder;
    std::vector<float> input = c.recording
                                   ? recordingSignal(c.channels, c.seconds)
                                   : musicSignal(c.channels, c.sampleRate, c.seconds, 0.8, 7u);
    input.resize(input.size() + static_cast<std::size_t>(c.sampleRate / 10 * c.channels), 0.0f);
    const std::string inputPath = folder.file("in.wav");
    ASSERT_TRUE(writeFloatWave(inputPath, input, c.channels, c.sampleRate));
    const std::vector<float> expected =
        commandLineRender(inputPath, folder.file("cli.wav"), c.settings);
    ASSERT_EQ(expected.size(), input.size());

    Lv2Host host(kBundle, pluginUri(c.channels));
    ASSERT_NE(host.plugin(), nullptr);
    for (const std::uint32_t block : {1u, 7u, 64u, 4096u}) {
        SCOPED_TRACE("blocks of " + std::to_string(block));
        ASSERT_TRUE(host.open(c.sampleRate, block));
        c.settings.apply(host);
        const PluginOutput played = playReportingLatency(host, input, block);
        // One latency for the plugin's life, under 50 ms.
        EXPECT_GT(played.latency, 0);
        EXPECT_LT(played.latency, c.sampleRate / 20);
        expectShiftedBy(played, expected, c.channels);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PluginRenderTest,
    ::testing::Values(
        RenderCase{"StereoRecordingTypical", 2, 44100, {"33", 100, 0.05, 2}, true, 1.5},
        RenderCase{"Mono96k", 1, 96000, {"45", 80, 0.1, -3}, false, 0.6},
        RenderCase{"StereoExtremes32k", 2, 32000, {"78", 50, 0.2, 45}, false, 0.8},
        RenderCase{"StereoNegative192k", 2, 192000, {"33", 150, 0.02, -45}, false, 0.3},
        RenderCase{"Stereo48kNoError", 2, 48000, {"45", 120, 0.05, 0}, false, 0.5}),
    [](const ::testing::TestParamInfo<RenderCase>& info) { return std::string(info.param.name); });

// From the first run() on, at any block size, with its controls moving, the plugin takes no
// memory; nor does a host's activate() between runs.
TEST(Plugin, TakesNoMemoryInRunOrActivate) {
    for (const int channels : {2, 1}) {
        Lv2Host host(kBundle, pluginUri(channels));
        ASSERT_NE(host.plugin(), nullptr);
        const std::vector<float> input = musicSignal(channels, 44100, 0.7, 3.9, 3u);
        for (const std::uint32_t block : {1u, 7u, 64u, 4096u}) {
            SCOPED_TRACE(std::to_string(channels) + " channel(s), blocks of " +
                         std::to_string(block));
            ASSERT_TRUE(host.open(44100, block));
            std::vector<float> output(static_cast<std::size_t>(block * channels));
            allocation_counter::start();
            std::int64_t call = 0;
            for (int round = 0; round < 2; ++round) {
                for (std::size_t at = 0; at + block * channels <= input.size();
                     at += block * channels, ++call) {
                    host.control("angle") = static_cast<float>(40 * std::sin(0.01 * call));
                    host.control("radius") = static_cast<float>(100 + 40 * std::cos(0.003 * call));
                    host.control("speed") = call % 500 < 250 ? 45.0f : 33.333332f;
                    host.run(input.data() + at, output.data(), block);
                }
                lilv_instance_activate(host.instance());
            }
            EXPECT_EQ(allocation_counter::stop(), 0)
                << (allocation_counter::countsMalloc() ? "operator new and malloc"
                                                       : "operator new");
        }
    }
}

// The largest step between neighbouring output samples of a channel, from frame `from` on.
double largestStep(const std::vector<float>& output, int channels, std::size_t from) {
    double largest = 0.0;
    for (std::size_t k = (from + 1) * channels; k < output.size(); ++k) {
        largest = std::max(largest, std::fabs(static_cast<double>(output[k]) -
                                              output[k - static_cast<std::size_t>(channels)]));
    }
    return largest;
}

// A tone over a DC offset (which holds the groove to one side, as a bass note does for a while)
// played at the controls' extremes while the angle is swept and thrown from one end of its range
// to the other. Thrown at once, the read position would jump by the difference between the two
// ends' timing errors, a step many times the signal's own; each change is followed across a ramp
// instead, so no step exceeds the signal's own by more than the brief change of pitch such a
// throw makes. The same automation gives the same output every time.
TEST(Plugin, FollowsAnAutomatedAngleWithoutClicks) {
    constexpr int kRate = 44100;
    const std::int64_t frames = kRate;
    std::vector<float> music(static_cast<std::size_t>(2 * frames));
    for (std::int64_t k = 0; k < frames; ++k) {
        const double t = static_cast<double>(k) / kRate;
        const auto v = static_cast<float>(0.5 + 0.3 * std::sin(2 * M_PI * 1000 * t));
        music[static_cast<std::size_t>(2 * k)] = v;
        music[static_cast<std::size_t>(2 * k + 1)] = v;
    }
    Lv2Host host(kBundle, pluginUri(2));
    ASSERT_NE(host.plugin(), nullptr);
    const auto playWith = [&](auto angleAt, std::uint32_t block) {
        EXPECT_TRUE(host.open(kRate, block));
        PluginSettings{"33", 50, 0.2, 0}.apply(host);
        std::vector<float> output(music.size());
        for (std::int64_t at = 0; at < frames; at += block) {
            host.control("angle") = angleAt(at);
            const auto count =
                static_cast<std::uint32_t>(std::min<std::int64_t>(block, frames - at));
            host.run(music.data() + 2 * at, output.data() + 2 * at, count);
        }
        return output;
    };
    const std::size_t settled = 4096;
    const std::vector<float> low = playWith([](std::int64_t) { return -45.0f; }, 64);
    const std::vector<float> high = playWith([](std::int64_t) { return 45.0f; }, 64);
    const double own = std::max(largestStep(low, 2, settled), largestStep(high, 2, settled));
    ASSERT_GT(own, 0.03);
    // What a jump from one end to the other would step by, somewhere.
    EXPECT_GT(largestDifference(low, high), 4 * own);
    struct Automation {
        const char* name;
        float (*angleAt)(std::int64_t);
        std::uint32_t block;
    };
    const Automation automations[] = {
        {"a sweep, 64 frames a run",
         [](std::int64_t at) { return static_cast<float>(45 * std::sin(at * 2e-4)); }, 64},
        {"a sweep, 7 frames a run",
         [](std::int64_t at) { return static_cast<float>(45 * std::sin(at * 2e-4)); }, 7},
        {"thrown end to end", [](std::int64_t at) { return (at / 5000) % 2 == 0 ? -45.0f : 45.0f; },
         64},
        {"thrown, 1 frame a run",
         [](std::int64_t at) { return (at / 3001) % 2 == 0 ? -45.0f : 45.0f; }, 1},
    };
    for (const Automation& automation : automations) {
        SCOPED_TRACE(automation.name);
        const std::vector<float> moved = playWith(automation.angleAt, automation.block);
        EXPECT_LE(largestStep(moved, 2, settled), 1.25 * own);
        EXPECT_GT(largestDifference(moved, low), own);
        const std::vector<float> again = playWith(automation.angleAt, automation.block);
        EXPECT_EQ(largestDifference(moved, again), 0.0);
    }
}

// Inputs beyond what the latency was made for (a DC offset, far above full scale, infinite, not a
// number) are taken within ±4 of full scale and NaN as 0: the output is that of the input so
// limited, finite, on time, and the plugin takes no memory for them.
TEST(Plugin, LimitsInputsBeyondItsRangeAndStaysOnTime) {
    const std::int64_t frames = 30000;
    std::vector<float> wild = musicSignal(2, 44100, static_cast<double>(frames) / 44100, 0.8, 5u);
    for (std::size_t k = 0; k < wild.size(); ++k) {
        const std::int64_t frame = static_cast<std::int64_t>(k / 2);
        if (frame > 3000 && frame < 12000) {
            wild[k] += 10.0f;  // a DC offset of +20 dB
        } else if (frame % 997 == 0) {
            wild[k] = k % 3 == 0 ? std::numeric_limits<float>::infinity()
                                 : (k % 3 == 1 ? std::nanf("") : -1e30f);
        }
    }
    std::vector<float> limited(wild.size());
    for (std::size_t k = 0; k < wild.size(); ++k) {
        limited[k] = std::isnan(wild[k]) ? 0.0f : std::clamp(wild[k], -4.0f, 4.0f);
    }
    Lv2Host host(kBundle, pluginUri(2));
    ASSERT_NE(host.plugin(), nullptr);
    const PluginSettings extreme{"33", 50, 0.2, 45};
    ASSERT_TRUE(host.open(44100, 64));
    extreme.apply(host);
    std::vector<float> fromWild(wild.size());
    allocation_counter::start();
    host.play(wild, 64, fromWild);
    EXPECT_EQ(allocation_counter::stop(), 0);
    ASSERT_TRUE(host.open(44100, 64));
    extreme.apply(host);
    const std::vector<float> fromLimited = host.play(limited, 64);
    EXPECT_EQ(largestDifference(fromWild, fromLimited), 0.0);
    for (const float v : fromWild) {
        ASSERT_TRUE(std::isfinite(v));
    }
    // The chain never falls behind the latency, even with the input pinned at the limit.
    StudioChain chain(44100, 2, projectCoefficients());
    std::vector<float> left(64);
    std::vector<float> right(64);
    std::vector<float> outLeft(64);
    std::vector<float> outRight(64);
    const float* inputs[] = {left.data(), right.data()};
    float* outputs[] = {outLeft.data(), outRight.data()};
    float speed = 33.333332f, radius = 50, amplitude = 0.2f, angle = 45;
    const float* controls[] = {&speed, &radius, &amplitude, &angle};
    chain.activate();
    for (int run = 0; run < 3000; ++run) {
        const float level = (run / 400) % 2 == 0 ? 1e9f : -4.0f;
        std::fill(left.begin(), left.end(), level);
        std::fill(right.begin(), right.end(), run % 7 == 0 ? -level : level);
        chain.run(inputs, outputs, 64, controls);
    }
    EXPECT_EQ(chain.underruns(), 0);
    EXPECT_LE(chain.largestLag(), chain.latency() - (StudioChain::kBlockFrames - 1));
    EXPECT_GT(chain.largestLag(), chain.latency() / 4);
}

// A control outside its range is taken as the nearest end of it, the speed as the nearest of the
// three, a value that is not a number as the default.
TEST(Plugin, TakesControlsOutsideTheirRangesAsTheirNearestValues) {
    struct Equivalence {
        const char* symbol;
        float given;
        float meant;
    };
    const Equivalence cases[] = {
        {"radius", 10, 50},          {"radius", 1000, 150},     {"amplitude", -1, 0},
        {"amplitude", 5, 0.2f},      {"angle", 90, 45},         {"angle", -1e9f, -45},
        {"angle", std::nanf(""), 2}, {"speed", 40, 45},         {"speed", 34, 33.333332f},
        {"speed", 500, 78},          {"speed", -3, 33.333332f},
    };
    const std::vector<float> input = musicSignal(1, 44100, 0.2, 0.8, 9u);
    Lv2Host host(kBundle, pluginUri(1));
    ASSERT_NE(host.plugin(), nullptr);
    for (const Equivalence& c : cases) {
        SCOPED_TRACE(std::string(c.symbol) + " " + std::to_string(c.given));
        std::vector<float> outputs[2];
        for (int k = 0; k < 2; ++k) {
            ASSERT_TRUE(host.open(44100, 256));
            PluginSettings{"33", 100, 0.05, 2}.apply(host);
            host.control(c.symbol) = k == 0 ? c.given : c.meant;
            outputs[k] = host.play(input, 256);
        }
        EXPECT_EQ(largestDifference(outputs[0], outputs[1]), 0.0);
    }
}

// Rates outside 32 to 192 kHz, or not whole, and a bundle without its coefficient files, are
// refused at instantiation, with a message, rather than played wrongly.
TEST(Plugin, RefusesRatesItCannotPlayAndABundleWithoutItsFilters) {
    Lv2Host host(kBundle, pluginUri(2));
    ASSERT_NE(host.plugin(), nullptr);
    for (const double rate : {31999.0, 192001.0, 44100.5, 0.0, -44100.0, 8000.0, 384000.0}) {
        EXPECT_FALSE(host.open(rate, 64)) << rate;
    }
    for (const double rate : {32000.0, 192000.0}) {
        EXPECT_TRUE(host.open(rate, 64)) << rate;
    }
    const TemporaryDirectory folder;
    for (const char* name : {"manifest.ttl", "cartrivex.ttl", "cartrivex.so"}) {
        writeBytes(folder.file(name), readBytes(std::string(kBundle) + "/" + name));
    }
    ::chmod(folder.file("cartrivex.so").c_str(), 0755);
    Lv2Host bare(folder.path, pluginUri(2));
    ASSERT_NE(bare.plugin(), nullptr);
    EXPECT_FALSE(bare.open(44100, 64));
}

}  // namespace
