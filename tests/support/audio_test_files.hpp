#pragma once

// Audio files written and read with libsndfile for tests, sample for sample exact: integer
// samples are exchanged left-justified in 32 bits (a 16-bit sample s is s << 16, a 24-bit
// sample s is s << 8), float samples as stored.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

struct TestAudio {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;  // container | encoding
    int sampleRate = 44100;
    int channelCount = 2;
    std::int64_t frameCount = 0;
    std::vector<int> integers;  // interleaved, left-justified (integer files)
    std::vector<float> floats;  // interleaved, as stored (float files)
};

inline bool isFloatFormat(int format) {
    const int encoding = format & SF_FORMAT_SUBMASK;
    return encoding == SF_FORMAT_FLOAT || encoding == SF_FORMAT_DOUBLE;
}

// Writes `audio` (integers or floats, by its format); false when libsndfile refuses.
inline bool writeTestAudio(const std::string& path, const TestAudio& audio) {
    SF_INFO info{};
    info.format = audio.format;
    info.samplerate = audio.sampleRate;
    info.channels = audio.channelCount;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    sf_count_t written = 0;
    if (isFloatFormat(audio.format)) {
        sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        sf_command(file, SFC_SET_CLIPPING, nullptr, SF_FALSE);
        written = sf_writef_float(file, audio.floats.data(), audio.frameCount);
    } else {
        written = sf_writef_int(file, audio.integers.data(), audio.frameCount);
    }
    return sf_close(file) == 0 && written == audio.frameCount;
}

// Reads a whole file; frameCount -1 when libsndfile cannot open it.
inline TestAudio readTestAudio(const std::string& path) {
    TestAudio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        audio.frameCount = -1;
        return audio;
    }
    audio.format = info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK);
    audio.sampleRate = info.samplerate;
    audio.channelCount = info.channels;
    audio.frameCount = info.frames;
    const std::size_t count = static_cast<std::size_t>(info.frames * info.channels);
    if (isFloatFormat(audio.format)) {
        audio.floats.resize(count);
        sf_readf_float(file, audio.floats.data(), info.frames);
    } else {
        audio.integers.resize(count);
        sf_readf_int(file, audio.integers.data(), info.frames);
    }
    sf_close(file);
    return audio;
}

// What a file holds as the chain takes it in, in 16-bit units, read to its end: integer samples
// exactly, float samples and decoded lossy ones (Vorbis, Opus, MP3) times 32768. `info` gets the
// file's format.
inline std::vector<double> readValues(const std::string& path, SF_INFO& info) {
    info = SF_INFO{};
    std::vector<double> values;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return values;
    }
    const int encoding = info.format & SF_FORMAT_SUBMASK;
    const bool decoded = isFloatFormat(info.format) || encoding == SF_FORMAT_VORBIS ||
                         encoding == SF_FORMAT_OPUS || encoding == SF_FORMAT_MPEG_LAYER_III;
    constexpr sf_count_t kBlock = 4096;
    std::vector<double> doubles(static_cast<std::size_t>(kBlock * info.channels));
    std::vector<int> integers(doubles.size());
    for (;;) {
        sf_count_t got = 0;
        if (decoded) {
            sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
            got = sf_readf_double(file, doubles.data(), kBlock);
            for (sf_count_t k = 0; k < got * info.channels; ++k) {
                values.push_back(32768.0 * doubles[static_cast<std::size_t>(k)]);
            }
        } else {
            got = sf_readf_int(file, integers.data(), kBlock);
            for (sf_count_t k = 0; k < got * info.channels; ++k) {
                values.push_back(integers[static_cast<std::size_t>(k)] / 65536.0);
            }
        }
        if (got <= 0) {
            break;
        }
    }
    sf_close(file);
    return values;
}

// A test signal of `frames` frames: a tone of a few kilohertz at 44.1 kHz (so the groove moves
// fast) plus noise, peaking near
// `loudness` (in 16-bit units, up to 32767), each channel its own. Integer samples are
// `bits` wide and left-justified; the same values in 16-bit units are what the chain takes in.
inline std::vector<int> testSignal(std::int64_t frames, int channels, int bits, double loudness,
                                   unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const double scale = static_cast<double>(1LL << (bits - 16));  // 16-bit units to steps
    const long long largest = (1LL << (bits - 1)) - 1;
    std::vector<int> samples(static_cast<std::size_t>(frames * channels));
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const double value =
                loudness *
                (0.7 * std::sin(0.35 * static_cast<double>(i) * (c + 1)) + 0.3 * noise(random));
            long long step = std::llround(value * scale);
            step = std::max(-largest, std::min(largest, step));
            samples[static_cast<std::size_t>(i * channels + c)] =
                static_cast<int>(static_cast<std::uint32_t>(step) << (32 - bits));
        }
    }
    return samples;
}
