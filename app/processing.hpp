#pragma once

#include "app/dialogue.hpp"
#include "console/console_screen.hpp"
#include "dsp/upsample_design.hpp"

enum class ProcessingOutcome {
    Finished,         // the output file is written
    InputLost,        // the input could not be read again: ask for a file anew
    OutputAbandoned,  // no output file could be written and the user gave up
    OutOfMemory,
};

struct ProcessingResult {
    ProcessingOutcome outcome = ProcessingOutcome::Finished;
    double outputGain = 1.0;
};

// Runs the signal chain under its progress lines and writes the output file.
ProcessingResult runProcessing(ConsoleScreen& screen, JobAnswers& answers,
                               const CoefficientSet& coefficients, int threadCount);
