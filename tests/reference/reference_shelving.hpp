#pragma once

#include <vector>

// The lateral modulation filter and its inverse written out step by step, as the yardstick for
// dsp/shelving_filter.

struct ReferenceSection {
    double wz, wp, num0, num1, den1, den0;
};

ReferenceSection referenceShelvingSection(double zeroFrequency, double poleFrequency,
                                          double samplePeriod);

std::vector<double> referenceRunSection(const std::vector<double>& x,
                                        const ReferenceSection& section);

std::vector<double> referenceFilterLateral(const std::vector<double>& midComponent, int sampleRate);

std::vector<double> referenceInverseFilterLateral(const std::vector<double>& distortedLateral,
                                                  int sampleRate);
