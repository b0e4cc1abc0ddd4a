#pragma once

// The LV2 plugin's tests: the built bundle, its settings as controls and as the command line's
// options, signals to play, and the comparison of its output with the command line's render.

#include <gtest/gtest.h>

#include <sndfile.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/support/audio_test_files.hpp"
#include "tests/support/lv2_host.hpp"
#include "tests/support/process_run.hpp"

inline const char* const kBundle = CARTRIVEX_LV2_BUNDLE;

inline std::string pluginUri(int channels) {
    return channels == 1 ? "urn:cartrivex:pickup:mono" : "urn:cartrivex:pickup:stereo";
}

// The shortest decimal that names `value`, as a user types it.
inline std::string decimal(double value) {
    char text[32];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end.ptr);
}

// A disc as the plugin's controls and as the command line's options.
struct PluginSettings {
    const char* rpm;  // "33", "45" or "78"
    double radius;
    double amplitude;
    double angle;

    void apply(Lv2Host& host) const {
        const std::string speed = rpm;
        host.control("speed") = speed == "33" ? static_cast<float>(100.0 / 3) : std::stof(speed);
        host.control("radius") = static_cast<float>(radius);
        host.control("amplitude") = static_cast<float>(amplitude);
        host.control("angle") = static_cast<float>(angle);
    }
    std::vector<std::string> options() const {
        return {"--rpm",         rpm,           "--radius",
                decimal(radius), "--amplitude", decimal(amplitude),
                "--angle",       decimal(angle)};
    }
};

// Music-like float samples: two tones a channel, a slow swell and noise, peaking near `peak`.
inline std::vector<float> musicSignal(int channels, int sampleRate, double seconds, double peak,
                                      unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const auto frames = static_cast<std::int64_t>(seconds * sampleRate);
    std::vector<float> samples(static_cast<std::size_t>(frames * channels));
    for (std::int64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        for (int c = 0; c < channels; ++c) {
            const double v = 0.45 * std::sin(2 * M_PI * (220.0 + 110 * c) * t) +
                             0.3 * std::sin(2 * M_PI * 3150.0 * t) * std::sin(2 * M_PI * 1.3 * t) +
                             0.25 * noise(random);
            samples[static_cast<std::size_t>(i * channels + c)] = static_cast<float>(peak * v);
        }
    }
    return samples;
}

// The project's sample recording (16-bit stereo at 44.1 kHz), its first `seconds`, as floats:
// s / 32768, which the chain takes back as s exactly.
inline std::vector<float> recordingSignal(int channels, double seconds) {
    const TestAudio audio = readTestAudio(std::string(CARTRIVEX_SOURCE_DIR) + "/data/sample.wav");
    const auto frames =
        std::min<std::int64_t>(audio.frameCount, static_cast<std::int64_t>(seconds * 44100));
    std::vector<float> samples;
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const int value = audio.integers[static_cast<std::size_t>(i * audio.channelCount + c)];
            samples.push_back(static_cast<float>((value >> 16) / 32768.0));
        }
    }
    return samples;
}

inline bool writeFloatWave(const std::string& path, const std::vector<float>& samples, int channels,
                           int sampleRate) {
    TestAudio audio;
    audio.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    audio.sampleRate = sampleRate;
    audio.channelCount = channels;
    audio.frameCount = static_cast<std::int64_t>(samples.size()) / channels;
    audio.floats = samples;
    return writeTestAudio(path, audio);
}

// `cartrivex-cli render INPUT OUTPUT --bits 32f` with the settings; the samples it wrote.
inline std::vector<float> commandLineRender(const std::string& input, const std::string& output,
                                            const PluginSettings& settings) {
    std::vector<std::string> arguments = {CARTRIVEX_CLI, "render", input, output, "--bits", "32f"};
    const std::vector<std::string> options = settings.options();
    arguments.insert(arguments.end(), options.begin(), options.end());
    const ProcessResult run = runProcess(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return readTestAudio(output).floats;
}

struct PluginOutput {
    std::int64_t latency = -1;  // as the plugin reported it
    std::vector<float> samples;
};

// Plays `input` in blocks of `block` frames, checking that the latency the plugin reports never
// changes.
inline PluginOutput playReportingLatency(Lv2Host& host, const std::vector<float>& input,
                                         std::uint32_t block) {
    const int channels = host.channels();
    PluginOutput played;
    played.samples.resize(input.size());
    const auto frames = static_cast<std::int64_t>(input.size()) / channels;
    for (std::int64_t at = 0; at < frames; at += block) {
        const auto count = static_cast<std::uint32_t>(std::min<std::int64_t>(block, frames - at));
        host.run(input.data() + at * channels, played.samples.data() + at * channels, count);
        const auto latency = static_cast<std::int64_t>(host.control("latency"));
        if (at == 0) {
            played.latency = latency;
        }
        EXPECT_EQ(latency, played.latency) << "at frame " << at;
    }
    return played;
}

// Silence for the latency, then `expected` bit for bit as far as the output reaches.
inline void expectShiftedBy(const PluginOutput& played, const std::vector<float>& expected,
                            int channels) {
    const auto shift = static_cast<std::size_t>(played.latency * channels);
    ASSERT_EQ(played.samples.size(), expected.size());
    ASSERT_LT(shift, expected.size());
    for (std::size_t k = 0; k < shift; ++k) {
        ASSERT_EQ(played.samples[k], 0.0f) << "before the latency, at value " << k;
    }
    for (std::size_t k = 0; k + shift < expected.size(); ++k) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(played.samples[shift + k]),
                  std::bit_cast<std::uint32_t>(expected[k]))
            << "value " << k << " (frame " << k / static_cast<std::size_t>(channels)
            << "): expected " << expected[k] << " got " << played.samples[shift + k];
    }
}

inline double largestDifference(const std::vector<float>& a, const std::vector<float>& b) {
    EXPECT_EQ(a.size(), b.size());
    double largest = 0.0;
    for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
        largest = std::max(largest, std::fabs(static_cast<double>(a[k]) - b[k]));
    }
    return largest;
}
