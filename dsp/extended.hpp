#pragma once

#include <limits>

// The signal chain computes in the x87 extended format (64-bit significand, round to nearest)
// and rounds to double exactly where a value is stored. The order of every evaluation is part
// of the result, so nothing here may be contracted or reordered.
static_assert(std::numeric_limits<long double>::digits == 64,
              "the signal chain needs the 80-bit extended type");

// The value of pi the chain is defined with.
inline constexpr long double kChainPi = 3.14159265359L;

// Rounds an extended intermediate to the double it is stored as.
inline double stored(long double value) {
    return static_cast<double>(value);
}
