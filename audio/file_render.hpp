#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "audio/audio_file.hpp"
#include "audio/audio_output.hpp"
#include "audio/output_format.hpp"
#include "engine/streaming_chain.hpp"

// A whole recording run through the chain into an audio output, a block at a time, in memory
// that stays small for any length.
//
// 32-bit float is the unscaled output over 32768, written as it comes. 16 and 24 bits and
// encoded outputs are scaled by one gain for the whole output, which needs the whole output's
// peak: the unscaled output (8 bytes a sample) goes to an unnamed scratch file in the output's
// folder first, then it is scaled, dithered (16 and 24 bits) or encoded, and written. A float
// output whose length is not known yet (read from a pipe) takes the same way, so that its header
// is written once, for the length it has.

// Told how far the render has come; a front end draws it.
class RenderProgress {
  public:
    virtual ~RenderProgress() = default;
    // A phase named `label` over `totalFrames` frames at `sampleRate`; -1 when not known.
    virtual void start(const std::string& label, std::int64_t totalFrames, int sampleRate) = 0;
    virtual void update(std::int64_t doneFrames) = 0;
};

// How the input and the output are named in messages ("standard input" for "-").
struct RenderNames {
    std::string input;
    std::string output;
};

struct RenderResult {
    std::int64_t frames = 0;
    double peak = 0.0;  // the unscaled output's largest magnitude
    double gain = 1.0;  // what the output was scaled by
};

// The gain of an output scaled as a whole: 16 and 24 bits keep 2 steps below full scale before
// dither, an encoded output stays as far below it as 16 bits so that nothing clips; float is
// unscaled.
double gainFor(OutputKind kind, double peak);

// Renders what `reader` holds through `chain` into `output` (begun, not yet opened), in `plan`'s
// format at `quality`, and finishes the output. False with a message that names the file that
// could not be read or written.
bool renderFile(AudioReader& reader, StreamingChain& chain, AudioOutput& output,
                const OutputPlan& plan, std::optional<double> quality, RenderProgress& progress,
                const RenderNames& names, RenderResult& result, std::string& message);

// Frames already made, handed back a block at a time: fills `values` with the next `frames`
// frames; false with a message that says what could not be read.
using FrameSource = std::function<bool(double* values, std::int64_t frames, std::string& message)>;

// Where such frames go: `output` (begun, not yet opened) in `plan`'s format.
struct FrameTarget {
    AudioOutput& output;
    const OutputPlan& plan;
    std::optional<double> quality;
    int sampleRate;
    int channelCount;
    const std::string& outputName;  // as messages name it
};

// Writes `result.frames` frames of `source`, whose unscaled peak is `result.peak`, as renderFile
// writes a chain's output: one gain for the whole output (set in result.gain), dithered or
// encoded, or 32-bit float unscaled; and finishes the output. False with a message.
bool writeFrames(const FrameSource& source, const FrameTarget& target, RenderProgress& progress,
                 RenderResult& result, std::string& message);
