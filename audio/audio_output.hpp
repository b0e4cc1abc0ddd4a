#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "audio/audio_file.hpp"
#include "files/safe_output.hpp"

// Where a rendered file goes: a file that appears whole or not at all (SafeOutput), or standard
// output for "-". The writer is started once the number of frames is known, so that a WAV file
// that outgrows 32-bit sizes is written as RF64.
class AudioOutput {
  public:
    // Starts the output at `path`; false with the system's reason. A file's temporary file is
    // made here, in its folder.
    bool begin(const std::string& path, std::string& reason);
    bool toStandardOutput() const { return toStandardOutput_; }
    // The folder for the run's scratch files: the output's, or $TMPDIR (/tmp) for standard output.
    const std::string& scratchFolder() const { return scratchFolder_; }

    // Starts the writer in `format` for `frames` frames (-1: not known), at `quality` when given;
    // false with libsndfile's reason. A WAV file of more than 4 GB of samples becomes RF64.
    bool open(const AudioFormat& format, int sampleRate, int channelCount, std::int64_t frames,
              std::optional<double> quality, std::string& reason);
    // The format as written (RF64 where a WAV file outgrew its sizes); valid after open.
    const AudioFormat& format() const { return format_; }
    AudioWriter& writer() { return writer_; }

    // Completes the file and puts it in place of the target; false with the reason, the target
    // left as it was.
    bool finish(std::string& reason);

  private:
    SafeOutput file_;
    AudioWriter writer_;
    AudioFormat format_;
    bool toStandardOutput_ = false;
    std::string scratchFolder_;
};
