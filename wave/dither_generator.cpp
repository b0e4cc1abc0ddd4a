#include "wave/dither_generator.hpp"

double DitherGenerator::next() {
    state = state * 134775813u + 1u;  // modulo 2^32 by unsigned wrap-around
    // The upper 31 bits as a fraction of 2^31; exact in a double.
    return static_cast<double>(state >> 1) / 2147483648.0;
}
