#pragma once

// What a render should give, for the tests of rendering: the disc the tests play, test inputs,
// and the chain and quantiser run directly over them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/extended.hpp"
#include "engine/streaming_chain.hpp"
#include "tests/support/audio_test_files.hpp"
#include "tests/support/coefficients.hpp"
#include "wave/dither_generator.hpp"
#include "wave/output_quantiser.hpp"

inline const DiscParameters kDisc{stored(100.0L / 3.0L), 65.0, 0.05, 4.0};

inline TestAudio integerAudio(int format, int rate, int channels, std::int64_t frames,
                              double loudness, unsigned seed = 1) {
    TestAudio audio;
    audio.format = format;
    audio.sampleRate = rate;
    audio.channelCount = channels;
    audio.frameCount = frames;
    const int encoding = format & SF_FORMAT_SUBMASK;
    const int bits = encoding == SF_FORMAT_PCM_24 ? 24 : encoding == SF_FORMAT_PCM_32 ? 32 : 16;
    audio.integers = testSignal(frames, channels, bits, loudness, seed);
    return audio;
}

inline TestAudio floatAudio(int format, int rate, int channels, std::int64_t frames,
                            double loudness) {
    TestAudio audio =
        integerAudio(SF_FORMAT_WAV | SF_FORMAT_PCM_32, rate, channels, frames, loudness);
    audio.format = format;
    for (const int value : audio.integers) {
        // 24 significant bits: exact as a float.
        audio.floats.push_back(static_cast<float>((value >> 8) / 8388608.0));
    }
    audio.integers.clear();
    return audio;
}

// The values the chain takes in for a file's samples, in 16-bit units.
inline std::vector<double> chainInput(const TestAudio& audio) {
    std::vector<double> values;
    for (const int value : audio.integers) {
        values.push_back(value / 65536.0);
    }
    for (const float value : audio.floats) {
        values.push_back(32768.0 * value);
    }
    return values;
}

// `stylus`, when given, plays under the stylus model with those angles.
inline std::vector<double> chainOutput(const std::vector<double>& input, int rate, int channels,
                                       const GroovePath* path = nullptr,
                                       const StylusAngles* stylus = nullptr,
                                       const StylusTip* tip = nullptr) {
    ChainSettings settings;
    if (stylus != nullptr) {
        settings.model = PickupModel::Stylus;
        settings.stylus = *stylus;
    }
    if (tip != nullptr) {
        settings.tip = *tip;
    }
    settings.sampleRate = rate;
    settings.channelCount = channels;
    settings.disc = kDisc;
    settings.coefficients = &projectCoefficients();
    if (path != nullptr) {
        settings.moving = true;
        settings.path = *path;
        settings.path.frameCount = static_cast<std::int64_t>(input.size()) / channels;
        settings.path.sampleRate = rate;
        settings.path.revolutionsPerMinute = kDisc.revolutionsPerMinute;
    }
    StreamingChain chain(settings);
    const std::int64_t frames = static_cast<std::int64_t>(input.size()) / channels;
    chain.pushFrames(input.data(), frames);
    chain.finish();
    std::vector<double> output(input.size());
    EXPECT_EQ(chain.pullFrames(output.data(), frames), frames);
    return output;
}

inline double peakOf(const std::vector<double>& values) {
    double peak = 0.0;
    for (const double value : values) {
        peak = std::max(peak, std::fabs(value));
    }
    return peak;
}

// The written samples the output should hold: integers in the file's steps, or floats.
struct ExpectedOutput {
    std::vector<int> steps;
    std::vector<float> floats;
};

inline ExpectedOutput expectedOutput(const std::vector<double>& output, int bits) {
    ExpectedOutput expected;
    if (bits == 32) {
        for (const double value : output) {
            expected.floats.push_back(static_cast<float>(value / 32768.0));
        }
        return expected;
    }
    const double gain =
        chooseOutputGain(peakOf(output), bits == 16 ? kOutputPeakLimit : kOutputPeakLimit24);
    DitherGenerator dither;
    for (const double value : output) {
        const double r1 = dither.next();
        const double r2 = dither.next();
        expected.steps.push_back(bits == 16 ? quantiseSample(value, gain, r1, r2)
                                            : quantiseSample24(value, gain, r1, r2));
    }
    return expected;
}

inline std::vector<int> stepsOf(const TestAudio& audio, int bits) {
    std::vector<int> steps;
    for (const int value : audio.integers) {
        steps.push_back(value >> (32 - bits));
    }
    return steps;
}
