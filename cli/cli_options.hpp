#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "dsp/disc_parameters.hpp"
#include "dsp/worker_pool.hpp"

// The disc as the user gives it on the command line, before the speed rule and the checks.
struct DiscOptions {
    double rpm = 0.0;
    double radius = 0.0;     // mm
    double amplitude = 0.0;  // mm of lateral displacement at full scale
    double angle = 0.0;      // degrees of tracking error
};

// Adds the four required options --rpm, --radius, --amplitude and --angle.
void addDiscOptions(CLI::App& command, DiscOptions& options);

// Checks the values (all finite, rpm > 0, radius > 0, amplitude >= 0, |angle| < 90) and fills
// `disc` with them, the speed rule applied. False with a message naming the option and the value
// on the first value refused.
bool discParametersFrom(const DiscOptions& options, DiscParameters& disc, std::string& message);

// A number as the shortest text that reads back as the same double ("0.1", "-3", "inf", "nan").
std::string numberText(double value);
