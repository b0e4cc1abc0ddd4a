#pragma once

// The streaming engine run over a signal cut into pieces, with the signals, the cuts and the
// bit-for-bit comparison its tests share.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/streaming_chain.hpp"
#include "tests/support/coefficients.hpp"

struct EngineCase {
    const char* name;
    std::int64_t frames;
    int channels;
    int sampleRate;
    DiscParameters disc;
    double loudness;       // peak of the random input, in 16-bit units
    double special = 0.0;  // put at one sample in the middle (0: none)
};

// Shown by its name in failures, not as a byte dump.
inline void PrintTo(const EngineCase& c, std::ostream* out) {
    *out << c.name;
}

// Random input with a smooth part, so that the distortion has something to move, plus noise.
inline std::vector<double> randomInput(const EngineCase& c, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> samples(static_cast<std::size_t>(c.frames * c.channels));
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const double smooth = 0.6 * std::sin(0.013 * static_cast<double>(k / c.channels));
        samples[k] = std::round(c.loudness * (smooth + noise(random) / 3));
    }
    if (c.special != 0.0) {
        samples[samples.size() / 2] = c.special;
    }
    return samples;
}

// The engine's settings for a case: its rate, channels and disc, the project's taps.
inline ChainSettings engineSettings(const EngineCase& c, int threads) {
    ChainSettings settings;
    settings.sampleRate = c.sampleRate;
    settings.channelCount = c.channels;
    settings.disc = c.disc;
    settings.coefficients = &projectCoefficients();
    settings.threadCount = threads;
    return settings;
}

// Runs the engine with the input cut into the given pieces, pulling after every piece.
inline std::vector<double> runEngine(const ChainSettings& settings,
                                     const std::vector<double>& input,
                                     const std::vector<std::int64_t>& pieces) {
    const int channels = settings.channelCount == 1 ? 1 : 2;
    StreamingChain chain(settings);
    std::vector<double> output;
    std::vector<double> scratch(4096 * 2);
    auto drain = [&] {
        for (std::int64_t got; (got = chain.pullFrames(scratch.data(), 4096)) > 0;) {
            output.insert(output.end(), scratch.begin(), scratch.begin() + got * channels);
        }
    };
    std::int64_t at = 0;
    for (std::int64_t piece : pieces) {
        chain.pushFrames(input.data() + at * channels, piece);
        at += piece;
        drain();
    }
    chain.finish();
    drain();
    EXPECT_EQ(chain.framesOut(), at);
    return output;
}

inline std::vector<double> runEngine(const EngineCase& c, const std::vector<double>& input,
                                     const std::vector<std::int64_t>& pieces, int threads,
                                     const GroovePath* path = nullptr) {
    ChainSettings settings = engineSettings(c, threads);
    if (path != nullptr) {
        settings.moving = true;
        settings.path = *path;
    }
    return runEngine(settings, input, pieces);
}

inline std::vector<std::int64_t> evenPieces(std::int64_t frames, std::int64_t size) {
    std::vector<std::int64_t> pieces;
    for (std::int64_t at = 0; at < frames; at += size) {
        pieces.push_back(std::min(size, frames - at));
    }
    return pieces;
}

inline std::vector<std::int64_t> randomPieces(std::int64_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::int64_t> pieces;
    for (std::int64_t at = 0; at < frames;) {
        const std::int64_t size =
            std::min<std::int64_t>(frames - at, std::uniform_int_distribution<int>(0, 900)(random));
        pieces.push_back(size);
        at += size;
    }
    return pieces;
}

// Bit for bit, NaN included.
inline void expectSameBits(const std::vector<double>& expected, const std::vector<double>& actual,
                           const std::string& what) {
    ASSERT_EQ(expected.size(), actual.size()) << what;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(expected[k]),
                  std::bit_cast<std::uint64_t>(actual[k]))
            << what << ": value " << k << " expected " << expected[k] << " got " << actual[k];
    }
}

// The engine against an expected output for every cut of the input and thread count, and for
// each lane kernel in turn.
void expectSameForAnySplit(const ChainSettings& settings, const std::vector<double>& input,
                           const std::vector<double>& expected);
