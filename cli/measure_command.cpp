#include <iostream>

#include "cli/commands.hpp"

void addMeasureCommand(CLI::App& program, CommandOutcome& outcome) {
    CLI::App* command = program.add_subcommand("measure", "(being built)");
    command->callback([&outcome] {
        std::cerr << "cartrivex-cli measure: not built yet\n";
        outcome.exitCode = kExitFileError;
    });
}
