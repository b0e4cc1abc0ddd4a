#pragma once

// Signals played and undone again (render, then correct), and how far what comes back lies from
// what went in.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/shelving_filter.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/support/engine_runs.hpp"

// A tone of `amplitude` (16-bit units) in every channel, faded in over its first quarter second
// from the top of a cosine (so the recording filter's lowest pole is barely excited, as measure
// does it) and out over its last.
inline std::vector<double> fadedTone(double frequency, double amplitude, std::int64_t frames,
                                     int sampleRate, int channels) {
    const std::int64_t fade = sampleRate / 4;
    std::vector<double> samples(static_cast<std::size_t>(frames * channels));
    for (std::int64_t m = 0; m < frames; ++m) {
        const double edge = static_cast<double>(std::min(m, frames - 1 - m));
        const double ramp =
            edge >= fade ? 1.0 : 0.5 - 0.5 * std::cos(std::numbers::pi * edge / fade);
        const double value =
            amplitude * ramp * std::cos(2 * std::numbers::pi * frequency * m / sampleRate);
        for (int c = 0; c < channels; ++c) {
            samples[static_cast<std::size_t>(m * channels + c)] = value;
        }
    }
    return samples;
}

// The first `frames` frames of the bundled sample (16-bit stereo, 44.1 kHz, a 44-byte header),
// as the chain takes them, faded in and out over a quarter second as a band on a record starts
// and ends in silence. (Cut off abruptly, an excerpt's end is not given back: render's output
// ends with its input, and what the play moved past the end is not in it.)
inline std::vector<double> bundledMusic(std::int64_t frames) {
    std::ifstream file(std::string(CARTRIVEX_SOURCE_DIR) + "/data/sample.wav", std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<double> samples;
    for (std::size_t at = 44; at + 1 < bytes.size() && samples.size() < 2 * std::size_t(frames);
         at += 2) {
        const auto low = static_cast<std::uint8_t>(bytes[at]);
        const auto high = static_cast<std::uint8_t>(bytes[at + 1]);
        samples.push_back(static_cast<std::int16_t>(low | (high << 8)));
    }
    const std::vector<double> fade = fadedTone(0, 1, frames, 44100, 2);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        samples[k] *= fade[k];
    }
    return samples;
}

// The full-scale amplitude (mm) that gives a tone of `frequency` and `amplitude` (16-bit units)
// the peak velocity `velocity` (mm/s) in the groove: its displacement after the recording
// filter, read from the filter's steady state, is velocity / (2 pi f).
inline double amplitudeForVelocity(double frequency, double amplitude, double velocity,
                                   int sampleRate) {
    LateralFilter filter(sampleRate, LateralDirection::Recording);
    const std::int64_t frames = 2 * sampleRate;
    const std::vector<double> tone = fadedTone(frequency, amplitude, 2 * frames, sampleRate, 1);
    SampleBlock filtered;
    filter.process(tone, filtered);
    double peak = 0.0;
    for (std::int64_t m = frames - sampleRate / 2; m < frames + sampleRate / 2; ++m) {
        peak = std::max(peak, std::fabs(filtered[static_cast<std::size_t>(m)]));
    }
    return velocity / (2 * std::numbers::pi * frequency) * 32768.0 / peak;
}

// The chain's settings run the other way.
inline ChainSettings undoing(ChainSettings settings) {
    settings.direction = TimingDirection::Undo;
    return settings;
}

// `input` played with `settings`, then undone with the same settings.
inline std::vector<double> playedAndUndone(const ChainSettings& settings,
                                           const std::vector<double>& input) {
    const std::int64_t frames =
        static_cast<std::int64_t>(input.size()) / (settings.channelCount == 1 ? 1 : 2);
    const std::vector<double> played = runEngine(settings, input, evenPieces(frames, 4096));
    return runEngine(undoing(settings), played, evenPieces(frames, 4096));
}

// The level of `actual − expected` against `expected`'s, in dB, over the values from `skip` to
// `skip` before the end (interleaved values, not frames).
inline double residualDecibels(const std::vector<double>& expected,
                               const std::vector<double>& actual, std::size_t skip = 0) {
    long double difference = 0.0L;
    long double signal = 0.0L;
    for (std::size_t k = skip; k + skip < std::min(expected.size(), actual.size()); ++k) {
        const long double d = static_cast<long double>(actual[k]) - expected[k];
        difference += d * d;
        signal += static_cast<long double>(expected[k]) * expected[k];
    }
    return static_cast<double>(10.0L * std::log10(difference / signal));
}
