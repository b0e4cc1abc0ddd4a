#pragma once

// Whether this processor runs the AVX-512 forms of the inner loops (foundation and the double
// and quadword instructions).
bool hasAvx512();
