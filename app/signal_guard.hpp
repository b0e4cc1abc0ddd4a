#pragma once

// On a signal that ends the program (from outside, or a crash), a half-written output file is
// removed and the terminal given back before the signal takes its usual course.
void installSignalGuard();
