#include <optional>
#include <string>

#include "cli/chain_command.hpp"
#include "cli/commands.hpp"
#include "dsp/tip_tracing.hpp"

// correct is render run the other way: the same options, the same output, the samples moved back.
// The exact relation is written at TimingModel::correctedTime; in short, render moves a cut
// high-rate sample of value x from its instant τ to τ − Δt(x) and keeps its value, so a played
// sample of value p at instant t was cut at t + Δt(p), and correct puts it there: it negates the
// tracking tangent (and, for the stylus model, Δ = tan VTA − tan cutting angle), which negates
// Δt exactly in the chain's arithmetic.

namespace {

constexpr const char* kCorrectIntroduction =
    "correct writes the recording that, rendered with the same options, gives INPUT: it takes\n"
    "out of a transfer the timing errors that the pickup's tracking error added when the record\n"
    "was played (with --model stylus, also those of the vertical tracking angle). Describe how\n"
    "INPUT was played: --rpm; the side's radii (--from at the first sample, --to at the last)\n"
    "or a constant --radius; the arm (--arm, --alignment with --mounting) or a fixed --angle;\n"
    "--amplitude, the groove's millimetres per full scale of the transfer (cartrivex-cli\n"
    "calibrate finds it from a test record's reference band); for the stylus model --vta and\n"
    "--cutting-angle.\n"
    "\n"
    "How: as render, the recording filter turns INPUT into groove displacement, raised 144-fold\n"
    "in rate. render plays a cut sample of value x at t - dt(x), dt = (y tan(alpha) - z Delta)/v\n"
    "from its own displacements, so a played sample of value p at t was cut at t + dt(p):\n"
    "correct moves every high-rate sample by exactly the opposite of render's shift, reads them\n"
    "back at the input's instants by render's rule, and the playback filter turns them back into\n"
    "audio. correct of a render gives the original back to within -114 to -134 dB (tones and\n"
    "music, fixed angles, arms, the stylus model), what the interpolation between the\n"
    "high-rate samples leaves. A tip's shape (--stylus) cannot be undone in one pass and is not\n"
    "taken yet.\n"
    "\n"
    "Example: the scale from the test record's 1 kHz band at 5 cm/s, then a side played by a\n"
    "222 mm Baerwald arm from the outer groove to the inner, and what was taken out:\n"
    "  cartrivex-cli calibrate band.flac --tone 1000 --velocity 5 --start 2 --seconds 5\n"
    "  cartrivex-cli correct transfer.flac corrected.flac --rpm 33 --amplitude 1.611 \\\n"
    "      --alignment baerwald --mounting 222 --from 146 --to 60.3\n"
    "  cartrivex-cli compare transfer.flac corrected.flac\n"
    "\n";

const ChainCommandText kCorrectText = {
    "correct",
    "Take the pickup's tracking error out of a transfer: the recording that render turns into "
    "INPUT",
    "The played recording (a transfer) to correct; - reads stdin", kCorrectIntroduction,
    TimingDirection::Undo};

// A tip other than a point traces an envelope that one pass cannot undo: refused, never ignored.
// What is not a tip at all is left to render's own check and its words.
void refuseTipShape(const CLI::App& command) {
    const CLI::Option* stylus = command.get_option_no_throw("--stylus");
    if (stylus == nullptr || stylus->count() == 0) {
        return;
    }
    const std::string shape = stylus->as<std::string>();
    std::string message;
    const std::optional<StylusTip> tip = parseStylusTip(shape, message);
    if (tip && !tip->point()) {
        usageError("--stylus " + shape +
                   ": correct undoes the tracking errors only; a tip's shape cannot be taken out "
                   "yet (leave --stylus out, or give --stylus point)");
    }
}

}  // namespace

Subcommand addCorrectCommand(CLI::App& program) {
    Subcommand subcommand = addChainCommand(program, kCorrectText);
    const CLI::App* command = subcommand.command;
    subcommand.run = [command, run = subcommand.run] {
        refuseTipShape(*command);
        return run();
    };
    return subcommand;
}
