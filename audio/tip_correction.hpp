#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_file.hpp"
#include "audio/audio_output.hpp"
#include "audio/file_render.hpp"
#include "audio/output_format.hpp"
#include "engine/streaming_chain.hpp"

// Undoing a play by a tip with a shape. The envelope a tip traces has no inverse in closed form,
// so it is undone by iteration. Render is the tracing T (the tip's shape, at each sample's groove
// velocity) followed by the tracking W (every traced high-rate sample moved by its own timing
// error), and W is undone exactly in one pass (TimingDirection::Undo). So for a played P:
//
//   q = W⁻¹(P)                         one pass, the tracking errors taken out
//   x₀ = q,  xₖ₊₁ = xₖ + (q − T(xₖ))   the tip's shape, by iteration
//
// T is the same chain with the tracking error and Δ set to zero (a point tip would give its
// input back below −140 dB). Near a fixed point, xₖ₊₁ − x* = (1 − T′)(xₖ − x*): each pass leaves
// of the error about what the tracing adds to a small change, which is of the order of the
// curvature ratio ε, far below 1 where the tip follows the groove. Iterating the whole chain
// instead would leave the tracking's phase error in the loop as well: a high frequency riding
// on a large low-frequency excursion is moved by ω·Δt, up to a radian toward the inner groove.
//
// Where the tip cannot follow (ε > 1) it skates over the crests: T does not respond to what is
// added to the troughs, the residual stops falling, and the best pass is kept. At the end the
// whole chain (T then W) renders the best x once more and its distance from P is reported: what
// correct promises, checked.
//
// The signals pass through float scratch files beside the output (4 bytes a sample): INPUT, q
// and three iterates, so memory stays small for a side of any length; the disk holds
// 5 × 4 bytes × the samples (a 25-minute stereo side at 44.1 kHz: about 2.6 GB).

// Residuals are reported in dB against INPUT's energy (all its samples, all channels),
// 10·log10(Σ residual² / Σ input²), and not below this floor (nothing left at all).
inline constexpr double kResidualFloorDecibels = -200.0;
// The tip's shape counts as undone once the residual is this far down: 80 dB below the input,
// where what the tracing of a 5 cm/s tone leaves at the inner groove (−27 dB for a 17.8 µm tip)
// has fallen by more than 50 dB.
inline constexpr double kConvergedDecibels = -80.0;
// A pass that lowers the residual by less than this has stopped it falling: at that rate (less
// than 11 % of it taken out a pass) eight more passes would gain less than 8 dB.
inline constexpr double kLeastFallDecibels = 1.0;
// The most passes that can be asked for.
inline constexpr int kMostIterations = 1000;

// What a pass reached: the residual q − T(x) of its x (pass 0: of q, the input with the
// tracking undone, which is what the tip's shape added).
struct TipPass {
    int pass = 0;
    double residualDecibels = 0.0;
};

enum class TipCorrectionStop {
    Stalled,  // the residual stopped falling (nothing left, or the tip cannot follow)
    Limit,    // every pass asked for was made, the residual still falling
};

struct TipCorrectionResult {
    RenderResult written;         // the output's frames, peak and gain
    std::vector<TipPass> passes;  // pass 0 (before any pass), then each pass made
    int bestPass = 0;             // the pass whose x was written
    double bestResidualDecibels = 0.0;
    double finalResidualDecibels = 0.0;  // INPUT against the whole chain's render of the output
    TipCorrectionStop stop = TipCorrectionStop::Stalled;
    bool converged = false;  // bestResidualDecibels at or below kConvergedDecibels
};

struct TipCorrectionRun {
    int iterations = 8;                          // the most passes, 1 to kMostIterations
    std::function<void(const TipPass&)> onPass;  // told after each pass (pass 0 included)
};

// The chain that takes the tracking errors out of what `played` renders: its timing undone, the
// tip a point.
ChainSettings trackingUndoSettings(ChainSettings played);
// The chain that traces as `played` does with no timing error at all: the tracking error zero at
// every radius and the vertical tracking angle the cutting one.
ChainSettings tipOnlySettings(ChainSettings played);

// 10·log10(difference / reference), from kResidualFloorDecibels; 0 dB where the reference is
// silent but the difference is not.
double residualDecibels(long double difference, long double reference);

// Writes to `output` (begun, not yet opened) the signal that, rendered with `played` (the
// settings render would use, fitted to the input, a tip with a shape), gives what `reader` holds,
// in `plan`'s format, as renderFile writes it. False with a message that names the file that
// could not be read or written.
bool correctTipFile(AudioReader& reader, const ChainSettings& played, AudioOutput& output,
                    const OutputPlan& plan, std::optional<double> quality, RenderProgress& progress,
                    const RenderNames& names, const TipCorrectionRun& run,
                    TipCorrectionResult& result, std::string& message);
