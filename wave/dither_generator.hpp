#pragma once

#include <cstdint>

// The dither source: a 32-bit linear congruential sequence that starts with all bits set and is
// never seeded, so every run draws the same values.
struct DitherGenerator {
    std::uint32_t state = 4294967295u;
    // Steps the state and returns a value in [0, 1).
    double next();
};
