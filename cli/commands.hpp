#pragma once

#include <CLI/CLI.hpp>

// Exit codes that scripts can rely on.
inline constexpr int kExitWritten = 0;     // the work is done and every output is written
inline constexpr int kExitFileError = 1;   // a file could not be read or written
inline constexpr int kExitUsageError = 2;  // the command line asks for something impossible

// What the subcommand that ran has to say to the shell.
struct CommandOutcome {
    int exitCode = kExitWritten;
};

// Each subcommand adds itself to the program with its options and its run, which sets the
// outcome's exit code.
void addRenderCommand(CLI::App& program, CommandOutcome& outcome);
void addArmCommand(CLI::App& program, CommandOutcome& outcome);
void addMeasureCommand(CLI::App& program, CommandOutcome& outcome);
void addCompareCommand(CLI::App& program, CommandOutcome& outcome);
