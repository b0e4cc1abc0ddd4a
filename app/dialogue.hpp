#pragma once

#include <string>

#include "console/console_screen.hpp"
#include "dsp/disc_parameters.hpp"
#include "wave/wave_info.hpp"

// Everything the user tells the program, and what it found out about the input file.
struct JobAnswers {
    std::string inputPath;
    WaveInfo waveInfo;
    DiscParameters discParameters;
    std::string outputPath;
};

// Dresses the window once at start: title, 80 x 65 layout, bright white screen.
void setUpWindow(ConsoleScreen& screen);

// Ends the line `count` times.
void blankLines(ConsoleScreen& screen, int count);

// The default beep, then a message box with the title and text.
void showError(ConsoleScreen& screen, const char* title, const std::string& text);

void setInputColour(ConsoleScreen& screen);
void setPromptColour(ConsoleScreen& screen);

// Clears the screen, shows the banner and asks for an input file until one is accepted.
void askInputFile(ConsoleScreen& screen, JobAnswers& answers);

void printFileReport(ConsoleScreen& screen, const WaveInfo& info);

// The speed is asked until it is "33" or "45"; a radius that stops the groove is refused.
void askDiscParameters(ConsoleScreen& screen, DiscParameters& parameters);

// Asks for the output file's name on the current row, with the prompt at column 1.
std::string askOutputFile(ConsoleScreen& screen);
