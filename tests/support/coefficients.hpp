#pragma once

// The project's own coefficient files, read once per test program.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dsp/coefficient_set.hpp"

inline const CoefficientSet& projectCoefficients() {
    static const CoefficientSet set = [] {
        CoefficientSet loaded;
        std::string message;
        if (!loadCoefficientSet(CARTRIVEX_SOURCE_DIR, loaded, message)) {
            ADD_FAILURE() << message;
        }
        return loaded;
    }();
    return set;
}

// The same taps as the direct implementation takes them.
inline std::vector<std::vector<double>> projectTapLists() {
    const CoefficientSet& set = projectCoefficients();
    return {set.taps.begin(), set.taps.end()};
}
