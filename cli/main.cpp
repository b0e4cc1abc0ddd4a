#include <cstdio>
#include <new>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"

namespace {

// Runs the subcommand; whatever stops it is told here, once, after the subcommand's name.
int run(const Subcommand& subcommand) {
    const std::string prefix = "cartrivex-cli " + subcommand.command->get_name() + ": ";
    try {
        return subcommand.run();
    } catch (const CommandError& error) {
        std::fprintf(stderr, "%s%s\n", prefix.c_str(), error.what());
        return error.exitCode();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%snot enough memory\n", prefix.c_str());
        return kExitFileError;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App program{
        "cartrivex-cli: the lateral tracking error of a phonograph pickup, simulated on whole "
        "records.\n\n"
        "Exit codes: 0 done, 1 a file could not be read or written, 2 a usage error.",
        "cartrivex-cli"};
    program.set_version_flag("--version", std::string("cartrivex-cli ") + CARTRIVEX_VERSION);
    program.footer(
        "Examples:\n"
        "  A whole side as a 222 mm Baerwald arm plays it, outer groove to inner:\n"
        "    cartrivex-cli render side.flac played.flac --rpm 33 --amplitude 0.05 \\\n"
        "        --alignment baerwald --mounting 222 --from 146 --to 60.3\n"
        "  The four named alignments for that arm, as a table and a plot:\n"
        "    cartrivex-cli arm --alignment baerwald --mounting 222 --compare --plot arm.png\n"
        "  Their distortion measured from rendered test tones across the side:\n"
        "    cartrivex-cli measure --alignment baerwald --mounting 222 --compare --plot thd.png\n"
        "  What the render added to the music, by time and by frequency:\n"
        "    cartrivex-cli compare side.flac played.flac --plot difference.png\n"
        "  The --amplitude of a transfer, from its test record's 1 kHz band at 5 cm/s:\n"
        "    cartrivex-cli calibrate band.flac --tone 1000 --velocity 5\n"
        "  A transfer of a side played by that arm, at that scale, with the tracking error taken "
        "out:\n"
        "    cartrivex-cli correct transfer.flac corrected.flac --rpm 33 --amplitude 1.611 \\\n"
        "        --alignment baerwald --mounting 222 --from 146 --to 60.3\n"
        "  Where a conical, an elliptical and a line-contact tip stop following 5 cm/s:\n"
        "    cartrivex-cli stylus --compare --plot tips.png\n"
        "\n"
        "cartrivex-cli SUBCOMMAND --help tells what each subcommand takes.");
    program.require_subcommand(1, 1);
    const std::vector<Subcommand> subcommands = {
        addRenderCommand(program), addCorrectCommand(program), addCalibrateCommand(program),
        addArmCommand(program),    addMeasureCommand(program), addCompareCommand(program),
        addStylusCommand(program)};
    try {
        program.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return program.exit(error) == 0 ? kExitWritten : kExitUsageError;
    }
    for (const Subcommand& subcommand : subcommands) {
        if (subcommand.command->parsed()) {
            return run(subcommand);
        }
    }
    return kExitWritten;
}
