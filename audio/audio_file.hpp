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
    std::int64_t frameCount = 0;  // as libsndfile reports it: a count only when lengthKnown
    bool lengthKnown = true;      // false on a pipe, and for an Ogg stream whose end is missing
};

class AudioReader {
  public:
    AudioReader() = default;
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    // False with the system's or libsndfile's reason when the file cannot be opened as audio.
    bool open(const std::string& path, std::string& reason);
    // Standard input. A file redirected to it is read as that file. From a pipe the length is not
    // known (the header's count is not used), and a stream libsndfile cannot read from a pipe
    // (FLAC, CAF) is refused with a reason that says what to do instead.
    bool openStandardInput(std::string& reason);
    const AudioInfo& info() const { return info_; }

    // Reads up to `maxFrames` frames into `samples` (channelCount values a frame, in 16-bit
    // units); returns how many, 0 at the end. -1 when the file cannot be read on, with the reason.
    // A compressed stream (FLAC, Ogg, MP3) that cannot be decoded on after some audio ends there,
    // as a file cut off in the middle of a frame does; endWarning says so.
    std::int64_t read(double* samples, std::int64_t maxFrames, std::string& reason);

    // After the last read: how the file ended short of what its header promises, as a sentence
    // that starts with `name` ("side.wav is cut short: ..."); "" when it held all it promised.
    std::string endWarning(const std::string& name) const;

  private:
    bool openDescriptor(int fd, bool closeWithFile, bool regularFile, std::string& reason);

    SNDFILE* file_ = nullptr;
    AudioInfo info_;
    std::vector<int> integers_;
    std::int64_t promisedFrames_ = -1;  // what the header promises, -1 where it does not say
    std::int64_t framesRead_ = 0;
    bool regularFile_ = true;
    bool ended_ = false;
    std::string decodeError_;  // why a compressed stream ended early
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
    // Starts a stream on `fd` that is never sought back, such as a pipe. libsndfile refuses WAV
    // there, so a WAV stream gets a header of its own whose sizes say "unknown" (0xFFFFFFFF, as
    // common tools write it) and the samples as libsndfile would write them; AU, Ogg and MP3 go
    // through libsndfile, which streams them.
    bool openStream(int fd, const AudioFormat& format, int sampleRate, int channelCount,
                    std::string& reason);
    // The quality of a lossy encoding, 0 (smallest) to 1 (best), before the first write.
    bool setQuality(double quality, std::string& reason);

    // Integer samples in the file's own steps (a 24-bit file takes values up to ±8388607).
    bool writeIntegers(const std::int32_t* samples, std::int64_t frameCount, std::string& reason);
    // Float samples as stored (1 is full scale).
    bool writeFloats(const float* samples, std::int64_t frameCount, std::string& reason);
    // Completes the header; false with the reason when that fails.
    bool close(std::string& reason);

  private:
    bool writeStream(const void* data, std::size_t count, std::string& reason);

    SNDFILE* file_ = nullptr;
    int channelCount_ = 0;
    int shift_ = 0;  // from the file's steps to left-justified 32-bit integers
    std::vector<int> integers_;
    int streamFd_ = -1;  // a WAV stream written here, not by libsndfile
    int bytesPerSample_ = 0;
    std::vector<unsigned char> bytes_;
};

// True when libsndfile can write that format with that rate and channel count: it takes the
// format and starts a file of it. Where it refuses to start one (an Opus file at 44100 Hz),
// `reason` gets libsndfile's reason.
bool canWrite(const AudioFormat& format, int sampleRate, int channelCount,
              std::string* reason = nullptr);

// True when libsndfile's encoder for that (lossy) format takes that VBR quality.
bool canEncodeAt(double quality, const AudioFormat& format, int sampleRate, int channelCount);

// The bytes a WAV stream starts with: a header for `encoding` (16- or 24-bit integers or 32-bit
// floats) whose RIFF and data sizes are 0xFFFFFFFF, "unknown".
std::vector<unsigned char> waveStreamHeader(int encoding, int sampleRate, int channelCount);
