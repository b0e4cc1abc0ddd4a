#pragma once

#include <string>
#include <string_view>
#include <vector>

// Coefficient files: decimal tap values, tap 0 first, separated by commas or by line ends that
// hold a carriage return. Line feeds and tabs are dropped inside a value, blanks before a value
// are skipped, a value may stand in double quotes, an empty value is 0 and Ctrl-Z ends the file.
// Exactly `tapCount` values are taken; missing ones are 0.
std::vector<double> parseCoefficientText(std::string_view text, int tapCount);

// Reads the named file; a file that cannot be opened or read gives all-zero taps.
std::vector<double> readCoefficientFile(const std::string& path, int tapCount);

// Like readCoefficientFile, but tells whether the file could be read, and why not.
bool loadCoefficientFile(const std::string& path, int tapCount, std::vector<double>& taps,
                         std::string& reason);
