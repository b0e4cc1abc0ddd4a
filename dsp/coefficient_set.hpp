#pragma once

#include <string>
#include <vector>

#include "dsp/upsample_design.hpp"

// Reads the four stages' coefficient files. Each is looked for in the working directory first,
// then in the data folder beside the program, then in the installed share folder. False, with
// a message naming the file, when one is missing or cannot be read.
bool loadCoefficientSet(const std::string& programDirectory, CoefficientSet& coefficients,
                        std::string& message);

// The same, each file looked for in `folders` in their order.
bool loadCoefficientSetFrom(const std::vector<std::string>& folders, CoefficientSet& coefficients,
                            std::string& message);

// The folder the running program was started from, or "" when the system does not say.
std::string programDirectory();
