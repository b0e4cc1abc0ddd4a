#pragma once

#include "dsp/block.hpp"

// Both groove components at one high-rate index, as one rigid tip reads them: the mid (lateral)
// and the side (vertical) value. Where a bound is asked for, each is the bound on its own
// component's magnitude.
struct StylusSample {
    double mid = 0.0;
    double side = 0.0;
    friend bool operator==(const StylusSample&, const StylusSample&) = default;
};

// The two components' blocks, read at the same instants.
struct StylusBlocks {
    SampleBlock mid;
    SampleBlock side;
};
