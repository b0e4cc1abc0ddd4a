#include "audio/audio_output.hpp"

#include <unistd.h>

namespace {

// A WAV file's sizes are 32-bit; a larger output is written as RF64, its 64-bit form.
constexpr std::int64_t kLargestWaveData = 0xFFFFFFFFLL - 4096;

}  // namespace

bool AudioOutput::begin(const std::string& path, std::string& reason) {
    toStandardOutput_ = path == "-";
    if (toStandardOutput_) {
        scratchFolder_ = temporaryFolder();
        return true;
    }
    if (!file_.begin(path, reason)) {
        return false;
    }
    scratchFolder_ = file_.folder();
    return true;
}

bool AudioOutput::open(const AudioFormat& format, int sampleRate, int channelCount,
                       std::int64_t frames, std::optional<double> quality, std::string& reason) {
    format_ = format;
    const std::int64_t dataBytes = frames * channelCount * (encodingBits(format.encoding) / 8);
    if (!toStandardOutput_ &&
        (format.container == SF_FORMAT_WAV || format.container == SF_FORMAT_WAVEX) && frames >= 0 &&
        dataBytes > kLargestWaveData) {
        format_.container = SF_FORMAT_RF64;
    }
    const bool opened =
        toStandardOutput_
            ? writer_.openStream(STDOUT_FILENO, format_, sampleRate, channelCount, reason)
            : writer_.open(file_.fd(), format_, sampleRate, channelCount, reason);
    return opened && (!quality || writer_.setQuality(*quality, reason));
}

bool AudioOutput::finish(std::string& reason) {
    return writer_.close(reason) && (toStandardOutput_ || file_.commit(reason));
}
