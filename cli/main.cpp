#include <CLI/CLI.hpp>

#include "cli/commands.hpp"

int main(int argc, char** argv) {
    CLI::App program{
        "cartrivex-cli: the lateral tracking error of a phonograph pickup, simulated on whole "
        "records.\n\n"
        "Exit codes: 0 done, 1 a file could not be read or written, 2 a usage error.",
        "cartrivex-cli"};
    program.set_version_flag("--version", std::string("cartrivex-cli ") + CARTRIVEX_VERSION);
    program.require_subcommand(1, 1);
    CommandOutcome outcome;
    addRenderCommand(program, outcome);
    addArmCommand(program, outcome);
    addMeasureCommand(program, outcome);
    addCompareCommand(program, outcome);
    try {
        program.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return program.exit(error) == 0 ? kExitWritten : kExitUsageError;
    }
    return outcome.exitCode;
}
