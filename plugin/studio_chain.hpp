#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "dsp/disc_parameters.hpp"
#include "dsp/upsample_design.hpp"
#include "engine/streaming_chain.hpp"
#include "plugin/plugin_ports.hpp"

// The chain as a plugin plays it: audio in any block size, a constant latency, controls that may
// move while it plays, and nothing in run() that takes memory, a lock, a file or a thread.
//
// The input is gathered into internal blocks of kBlockFrames frames, each pushed into the chain
// when it is complete and followed by pulling every frame the chain has ready. The chain's output
// trails its input by at most chainLagFrames for the largest timing error the controls' ranges
// allow, so frame k of the plugin's output is the chain's frame k − latency(), latency() being
// that lag plus kBlockFrames − 1: the plugin pads the chain's own delay to it.
//
// The largest timing error. The recording filter's gain from the largest input magnitude to the
// largest groove displacement is at most 1 (lateralFilterGainBound), the upsampler's a little
// above 1 (upsamplerGainBound), and mid = (L + R)/2 is no larger than L or R. So with every input
// sample within ±kInputLimit of full scale, |Δt| = |y|·tan α / v is at most
// kInputLimit·gains·a·tan α / v, largest at the largest amplitude and angle on the slowest groove
// (33 1/3 rpm at the smallest radius). An input sample beyond ±kInputLimit (+12 dBFS) is limited to
// it, and one that is not a number is taken as 0: no input can make the plugin late.
//
// Controls. Each internal block reads the controls; a value outside its range is taken as the
// nearest end of it (a value that is not a number as the default), the speed as the nearest of
// 33 1/3, 45 and 78, and every value as the shortest decimal that names the float, as it would be
// typed on the command line. A change moves the disc linearly from the internal block it starts
// on across kRampSeconds, so that the timing error, and the read position with it, never jumps:
// thrown from one end of its range to the other at the slowest groove and the largest amplitude,
// the angle moves the read position of a signal held at full scale to one side by about 1.1 ms,
// which spread over 20 ms bends the pitch by under ten per cent for that moment. A change that
// comes while one is under way waits for it to end, and then moves to the controls' latest values.
class StudioChain {
  public:
    static constexpr std::int64_t kBlockFrames = 64;
    static constexpr double kRampSeconds = 0.02;
    static constexpr double kInputLimit = 4.0;

    // Everything is made here. The sample rate must lie within 32000 .. 192000 Hz.
    StudioChain(int sampleRate, int channelCount, const CoefficientSet& coefficients);
    ~StudioChain();
    StudioChain(const StudioChain&) = delete;
    StudioChain& operator=(const StudioChain&) = delete;

    // Frames from an input frame to the output frame that carries it; the same for the whole
    // life of the plugin.
    std::int64_t latency() const { return latency_; }
    // The largest timing error the controls' ranges allow, in seconds.
    double timingErrorBound() const { return timingErrorBound_; }

    // The next run starts afresh: silence before it, the controls of its first block in force
    // from its first frame on.
    void activate() { fresh_ = true; }

    // Plays `frameCount` frames: inputs[c] and outputs[c] for each channel (they may be the same
    // buffers), `controls` one value per row of plugin::kControls (null: the defaults).
    void run(const float* const* inputs, float* const* outputs, std::uint32_t frameCount,
             const float* const* controls);

    // Output frames the chain had not made in time (always 0; for the tests).
    std::int64_t underruns() const { return underruns_; }
    // The most frames the chain's output trailed its input by so far (for the tests).
    std::int64_t largestLag() const { return largestLag_; }

  private:
    void start(const DiscParameters& disc);
    void readControls(const float* const* controls);
    void pushBlock();
    void pullReady();
    void emit(float* const* outputs, std::uint32_t at, std::uint32_t count);

    int channelCount_;
    std::int64_t rampFrames_;
    double timingErrorBound_;
    std::int64_t latency_;
    std::unique_ptr<StreamingChain> chain_;

    std::vector<double> block_;  // the internal block being gathered, interleaved
    std::int64_t gathered_ = 0;
    std::vector<double> ring_;  // the chain's output frames, at their frame number modulo size
    std::int64_t ringFrames_ = 0;
    std::int64_t pushed_ = 0;   // frames pushed into the chain
    std::int64_t pulled_ = 0;   // frames pulled from it
    std::int64_t emitted_ = 0;  // frames played out

    std::array<float, plugin::kControls.size()> seen_{};  // the values last read
    bool seenAny_ = false;
    DiscParameters wanted_;   // what the controls ask for
    DiscParameters applied_;  // what the chain plays once its last change is done
    bool fresh_ = true;
    std::int64_t underruns_ = 0;
    std::int64_t largestLag_ = 0;
};

// The disc that the controls' values give (see above); `values` holds one value per row of
// plugin::kControls, null for a control that is not connected.
DiscParameters discFromControls(const float* const* values);

// The largest timing error over the controls' ranges at `sampleRate`, with `coefficients`'
// upsampler, for inputs within ±StudioChain::kInputLimit (see above), in seconds.
double largestTimingError(int sampleRate, const CoefficientSet& coefficients);
