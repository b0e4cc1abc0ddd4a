#include <iostream>

#include "cli/commands.hpp"

void addArmCommand(CLI::App& program, CommandOutcome& outcome) {
    CLI::App* command = program.add_subcommand("arm", "(being built)");
    command->callback([&outcome] {
        std::cerr << "cartrivex-cli arm: not built yet\n";
        outcome.exitCode = kExitFileError;
    });
}
