#pragma once

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"
#include "dsp/timing_model.hpp"

// A subcommand that runs a recording through the whole chain into an output file: render, which
// plays it, and correct, which undoes the play. Both take the same options (the disc, the side,
// the arm, the model, the output's format, threads, quiet, json), write the output the same way
// (safe write, progress, gain and dither, pipes, the report) and exit with the same codes; they
// differ only in the direction the samples are moved and in their words.
struct ChainCommandText {
    const char* name;                // the subcommand
    const char* description;         // its line in cartrivex-cli --help
    const char* inputHelp;           // INPUT's line in its --help
    const char* footerIntroduction;  // what it does, before the options' shared explanation
    TimingDirection direction;
};

// Adds the subcommand to the program; `text` must outlive the program.
Subcommand addChainCommand(CLI::App& program, const ChainCommandText& text);
