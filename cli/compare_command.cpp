#include <iostream>

#include "cli/commands.hpp"

void addCompareCommand(CLI::App& program, CommandOutcome& outcome) {
    CLI::App* command = program.add_subcommand("compare", "(being built)");
    command->callback([&outcome] {
        std::cerr << "cartrivex-cli compare: not built yet\n";
        outcome.exitCode = kExitFileError;
    });
}
