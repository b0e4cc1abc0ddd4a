#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

// Exit codes that scripts can rely on.
inline constexpr int kExitWritten = 0;     // the work is done and every output is written
inline constexpr int kExitFileError = 1;   // a file could not be read or written
inline constexpr int kExitUsageError = 2;  // the command line asks for something impossible

// What stops a subcommand: the exit code and the message. Thrown anywhere below a subcommand's
// run and caught once, in main, which prints it after "cartrivex-cli SUBCOMMAND: ".
class CommandError : public std::runtime_error {
  public:
    CommandError(int exitCode, const std::string& message)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const { return exitCode_; }

  private:
    int exitCode_;
};

// The command line asks for something impossible (exit code 2).
[[noreturn]] void usageError(const std::string& message);
// A file could not be read or written (exit code 1).
[[noreturn]] void fileError(const std::string& message);

// Flushes standard output: a file error when what was printed there could not be written.
void finishStandardOutput();

// A subcommand as main runs it: the CLI11 subcommand that holds its options, and its run, the
// function from those options to the exit code.
struct Subcommand {
    CLI::App* command = nullptr;
    std::function<int()> run;
};

// Each subcommand adds itself to the program, with its options, and returns its run.
Subcommand addRenderCommand(CLI::App& program);
Subcommand addArmCommand(CLI::App& program);
Subcommand addMeasureCommand(CLI::App& program);
Subcommand addCompareCommand(CLI::App& program);
Subcommand addStylusCommand(CLI::App& program);
Subcommand addCorrectCommand(CLI::App& program);
Subcommand addCalibrateCommand(CLI::App& program);
