#include "dsp/cpu_features.hpp"

bool hasAvx512() {
#if defined(__x86_64__)
    static const bool available =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return available;
#else
    return false;
#endif
}
