#pragma once

#include "console/console_device.hpp"
#include "dsp/upsampler.hpp"

// The whole interactive run, from the window set-up to the final key; returns the exit code.
int runJob(ConsoleDevice& device, const CoefficientSet& coefficients, int threadCount);
