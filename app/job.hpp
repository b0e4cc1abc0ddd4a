#pragma once

#include "console/console_device.hpp"
#include "dsp/upsample_design.hpp"

// The whole interactive run, from the window set-up to the final key; returns the exit code.
int runJob(ConsoleDevice& device, const CoefficientSet& coefficients, int threadCount);
