#include "cli/chain_command.hpp"
#include "cli/commands.hpp"

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
    "high-rate samples leaves.\n"
    "\n"
    "A tip's shape (--stylus spherical:R or elliptical:R1xR2) traces an envelope that has no\n"
    "inverse in closed form: correct undoes the tracking in one pass, giving q, then iterates\n"
    "x <- x + (q - trace(x)) from x = q, trace being the chain with the tip and no tracking\n"
    "error, at most --iterations N passes (default 8, each costs about one render). It stops\n"
    "when a pass lowers the residual q - trace(x) by less than 1 dB and writes the x with the\n"
    "lowest; at the end the whole chain renders it once more and reports how far that lies from\n"
    "INPUT. Residuals are in dB against INPUT's energy. A 5 cm/s 1 kHz tone played by a 17.8 um\n"
    "spherical tip at the outer groove comes back within -150 dB. Where the groove is\n"
    "sharper than the tip (the tip skates over the crests) the residual stops falling: correct\n"
    "keeps the best pass, says what was left with a warning, and still exits 0 with OUTPUT\n"
    "written. With --json the report adds iterations, initial_residual_db (what the tip\n"
    "added), passes [{pass, residual_db}], best_pass, residual_db, final_residual_db,\n"
    "converged (the residual reached -80 dB) and stopped (stalled or limit). On a terminal,\n"
    "unless --quiet, a line a pass on stderr. Scratch files beside OUTPUT hold the input, q and\n"
    "three passes as floats: 20 bytes a sample of disk, little memory.\n"
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

}  // namespace

Subcommand addCorrectCommand(CLI::App& program) {
    return addChainCommand(program, kCorrectText);
}
