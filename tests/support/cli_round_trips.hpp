#pragma once

// Signals written as files, run through the built cartrivex-cli (render, correct) and read back,
// in the chain's units (16-bit sample values, 32768 is full scale).

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/audio_test_files.hpp"
#include "tests/support/process_run.hpp"

// `cartrivex-cli COMMAND INPUT OUTPUT` with `arguments`.
inline ProcessResult chainRun(const std::string& command, const std::string& input,
                              const std::string& output,
                              const std::vector<std::string>& arguments) {
    std::vector<std::string> line = {CARTRIVEX_CLI, command, input, output};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return runProcess(line);
}

// A float WAV of interleaved values in 16-bit units.
inline TestAudio floatWave(const std::vector<double>& values, int channels) {
    TestAudio audio;
    audio.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    audio.channelCount = channels;
    audio.frameCount = static_cast<std::int64_t>(values.size()) / channels;
    for (const double value : values) {
        audio.floats.push_back(static_cast<float>(value / 32768));
    }
    return audio;
}

// The values of a file read back, in 16-bit units, float or integer (left-justified).
inline std::vector<double> valuesOf(const TestAudio& audio) {
    std::vector<double> values;
    for (const float value : audio.floats) {
        values.push_back(static_cast<double>(value) * 32768);
    }
    for (const int value : audio.integers) {
        values.push_back(static_cast<double>(value) / 65536);
    }
    return values;
}
