#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "audio/file_render.hpp"

// A progress line on stderr, redrawn in place a few times a second: what is being done, a bar,
// the percentage, the speed as a multiple of real time and the time left. It draws only when
// stderr is a terminal and it is not silenced; otherwise every call does nothing.
class ProgressBar : public RenderProgress {
  public:
    // `enabled` false: silent (--quiet). The terminal is asked once, here.
    explicit ProgressBar(bool enabled);
    ~ProgressBar() override;  // clears a line left drawn
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Starts a phase named `label` over `totalFrames` frames of audio at `sampleRate`; -1 when the
    // total is not known (a pipe), and the line then shows how much is done.
    void start(const std::string& label, std::int64_t totalFrames, int sampleRate) override;
    // `doneFrames` of the phase's frames are done; draws when the last drawing is old enough.
    void update(std::int64_t doneFrames) override;
    // Removes the line, leaving the cursor at the start of an empty line.
    void clear();

    bool drawing() const { return drawing_; }

  private:
    void draw(std::int64_t doneFrames);

    bool drawing_ = false;
    bool drawn_ = false;
    std::string label_;
    std::int64_t totalFrames_ = 0;
    int sampleRate_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastDrawn_;
};

// The line drawn for a phase: label, bar, percentage, speed and time left, e.g.
// "rendering [########------------]  40%   75.2x real time   0:12 left". Without a speed yet
// (no time has passed), the speed and time left are left out.
std::string progressLine(const std::string& label, double fraction, double speed,
                         double secondsLeft);

// The line drawn for a phase whose length is not known: label, the audio done and the speed, e.g.
// "rendering   2:05 of audio   75.2x real time".
std::string openEndedProgressLine(const std::string& label, double secondsDone, double speed);
