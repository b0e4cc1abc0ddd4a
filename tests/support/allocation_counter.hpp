#pragma once

// Counts the memory taken while a stretch of code runs: operator new in all its forms and, where
// no sanitizer owns the C allocator, malloc, calloc, realloc and their kin. The counting
// replacements live in the test program that includes tests/realtime/allocation_hooks.cpp; code
// loaded into it (a plugin's shared object) takes its memory through them too.

#include <cstdint>

namespace allocation_counter {

// Starts counting from 0; stops and returns the count.
void start();
std::int64_t stop();
// Whether the C allocator's functions are counted as well as operator new.
bool countsMalloc();

}  // namespace allocation_counter
