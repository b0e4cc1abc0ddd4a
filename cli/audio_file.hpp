#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sndfile.h>

// Audio files through libsndfile, read and written a block of frames at a time. Samples are
// exchanged in the units of 16-bit sample values (32768 is full scale, whatever the file holds):
// a 16-bit sample s is s, a 24-bit sample s is s / 256, a float sample x is 32768 x. For integer
// and float files these values are exact.

struct AudioFormat {
    int container = 0;  // SF_FORMAT_WAV, SF_FORMAT_FLAC, ... (the major format)
    int encoding = 0;   // SF_FORMAT_PCM_16, SF_FORMAT_FLOAT, ... (the subtype)
    int endian = 0;     // SF_FORMAT_ENDMASK bits, 0 for the container's own order

    int sndfileFormat() const { return container | encoding | endian; }
};

// "WAV", "RF64", "W64", "AIFF", "FLAC", ...: the short name of a container.
std::string containerName(int container);
// Bits per sample of an encoding (16 for PCM_16, 32 for FLOAT, 64 for DOUBLE), 0 where the
// encoding has no fixed width (compressed or companded).
int encodingBits(int encoding);
// True for the float encodings and the lossy codecs, whose samples are read as numbers in
// [-1, 1]; false for integer samples.
bool isFloatEncoding(int encoding);
// "integer", "float", or the codec's name ("u-law", "vorbis", ...).
std::string encodingName(int encoding);

struct AudioInfo {
    AudioFormat format;
    int sampleRate = 0;
    int channelCount = 0;
    std::int64_t frameCount = 0;
};

class AudioReader {
  public:
    AudioReader() = default;
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    // False with the system's or libsndfile's reason when the file cannot be opened as audio.
    bool open(const std::string& path, std::string& reason);
    const AudioInfo& info() const { return info_; }

    // Reads up to `maxFrames` frames into `samples` (channelCount values a frame, in 16-bit
    // units); returns how many, 0 at the end. -1 when the file cannot be read on, with the reason.
    std::int64_t read(double* samples, std::int64_t maxFrames, std::string& reason);

  private:
    SNDFILE* file_ = nullptr;
    AudioInfo info_;
    std::vector<int> integers_;
};

class AudioWriter {
  public:
    AudioWriter() = default;
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    // Starts a file on the open descriptor `fd` (which stays the caller's to close). False with
    // libsndfile's reason when the format cannot be written.
    bool open(int fd, const AudioFormat& format, int sampleRate, int channelCount,
              std::string& reason);

    // Integer samples in the file's own steps (a 24-bit file takes values up to ±8388607).
    bool writeIntegers(const std::int32_t* samples, std::int64_t frameCount, std::string& reason);
    // Float samples as stored (1 is full scale).
    bool writeFloats(const float* samples, std::int64_t frameCount, std::string& reason);
    // Completes the header; false with the reason when that fails.
    bool close(std::string& reason);

  private:
    SNDFILE* file_ = nullptr;
    int channelCount_ = 0;
    int shift_ = 0;  // from the file's steps to left-justified 32-bit integers
    std::vector<int> integers_;
};

// True when libsndfile can write that format with that rate and channel count.
bool canWrite(const AudioFormat& format, int sampleRate, int channelCount);
