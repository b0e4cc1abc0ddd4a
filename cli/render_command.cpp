#include <iostream>

#include "cli/commands.hpp"

void addRenderCommand(CLI::App& program, CommandOutcome& outcome) {
    CLI::App* command = program.add_subcommand("render", "(being built)");
    command->callback([&outcome] {
        std::cerr << "cartrivex-cli render: not built yet\n";
        outcome.exitCode = kExitFileError;
    });
}
