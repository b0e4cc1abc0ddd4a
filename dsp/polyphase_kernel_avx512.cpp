// The lane kernel on AVX-512: sixteen lanes in two vectors of eight doubles.
//
// Each term must give what the x87 unit gives: the product rounded to 64 bits, the sum rounded
// to 64 bits, then to double. A fused multiply-add rounds the exact a·b + c to double once,
// which is the same double unless the exact value lies so close to a rounding boundary of the
// double grid that the two roundings through 64 bits could end on the other side. Every term
// therefore also finds how far the exact value is from the fused result (the rounding error of
// the product and of the sum, recovered without loss), and where that leaves less room to the
// nearest boundary than the roundings through 64 bits could use up, the lane's term is redone
// in extended precision. The result is the x87 result in every case; the vector path only
// decides when it already has it.

#include <cmath>
#include <cstdint>

#include "dsp/extended.hpp"
#include "dsp/polyphase_kernel.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

namespace {

#define CARTRIVEX_WIDE __attribute__((target("avx512f,avx512dq,fma")))

struct WideConstants {
    __m512d boundSlope;   // covers 2^-64 (|p| + |s|) and the small errors of the recovery
    __m512d floor;        // keeps the test away from the bottom of the double range
    __m512d belowOne;     // 1 - 2^-53: moves a power of two into the binade below
    __m512d exponent;     // the exponent field
    __m512d halfSpacing;  // 2^-53, less a margin
    __m512d zero;
};

CARTRIVEX_WIDE inline WideConstants wideConstants() {
    return WideConstants{
        _mm512_set1_pd(0x1.00000000001p-63),
        _mm512_set1_pd(0x1p-950),
        _mm512_set1_pd(0x1.fffffffffffffp-1),
        _mm512_castsi512_pd(_mm512_set1_epi64(0x7FF0000000000000LL)),
        _mm512_set1_pd(0x1.ffffffffffep-54),
        _mm512_setzero_pd(),
    };
}

// One term on eight lanes: returns acc + tap·samples as the x87 unit forms and stores it.
// A zero sample leaves acc as it is under both roundings, if the tap is finite: `zeroSettles`
// is all lanes then and none otherwise.
CARTRIVEX_WIDE inline __m512d wideTerm(const WideConstants& k, __m512d tap, double tapValue,
                                       __mmask8 zeroSettles, __m512d sample, __m512d acc) {
    const __m512d fused = _mm512_fmadd_pd(tap, sample, acc);
    // a·b = product + productError exactly, product + acc = sum + sumError exactly.
    const __m512d product = _mm512_mul_pd(tap, sample);
    const __m512d productError = _mm512_fmsub_pd(tap, sample, product);
    const __m512d sum = _mm512_add_pd(product, acc);
    const __m512d accPart = _mm512_sub_pd(sum, product);
    const __m512d sumError = _mm512_add_pd(_mm512_sub_pd(product, _mm512_sub_pd(sum, accPart)),
                                           _mm512_sub_pd(acc, accPart));
    const __m512d tail = _mm512_add_pd(sumError, productError);
    // The exact a·b + acc less the fused result.
    const __m512d residual = _mm512_add_pd(_mm512_sub_pd(sum, fused), tail);
    // Room the roundings through 64 bits may take, plus the residual's own distance.
    const __m512d larger =
        _mm512_maskz_range_pd(0xFF, product, sum, 0x0B);  // max(|product|, |sum|)
    // (The maximum takes its second operand when either is not a number, so a NaN stays.)
    const __m512d used = _mm512_maskz_max_pd(
        0xFF, k.floor, _mm512_fmadd_pd(larger, k.boundSlope, _mm512_abs_pd(residual)));
    // Half the spacing of the double grid around the fused result, the narrower side.
    const __m512d binade = _mm512_and_pd(_mm512_mul_pd(fused, k.belowOne), k.exponent);
    const __m512d room = _mm512_mul_pd(binade, k.halfSpacing);
    const __mmask8 settled = _mm512_cmp_pd_mask(used, room, _CMP_LT_OQ) |
                             (_mm512_cmp_pd_mask(sample, k.zero, _CMP_EQ_OQ) & zeroSettles);
    if (settled == 0xFF) [[likely]] {
        return fused;
    }
    alignas(64) double result[8], samples[8], sums[8];
    _mm512_store_pd(result, fused);
    _mm512_store_pd(samples, sample);
    _mm512_store_pd(sums, acc);
    for (int w = 0; w < 8; ++w) {
        if (((settled >> w) & 1) == 0) {
            result[w] = stored(sums[w] + static_cast<long double>(tapValue) *
                                             static_cast<long double>(samples[w]));
        }
    }
    return _mm512_load_pd(result);
}

}  // namespace

CARTRIVEX_WIDE void accumulateLanesAvx512(const double* newest, const PhaseTerm* terms,
                                          std::int64_t termCount, double* acc) {
    static_assert(kLanes == 16, "the kernel below keeps sixteen lanes in two vectors");
    const WideConstants k = wideConstants();
    __m512d low = _mm512_loadu_pd(acc);
    __m512d high = _mm512_loadu_pd(acc + 8);
    for (std::int64_t c = 0; c < termCount; ++c) {
        const double* samples = newest + terms[c].offset;
        const double tapValue = terms[c].tap;
        const __m512d tap = _mm512_set1_pd(tapValue);
        const __mmask8 zeroSettles = std::isfinite(tapValue) ? 0xFF : 0x00;
        low = wideTerm(k, tap, tapValue, zeroSettles, _mm512_loadu_pd(samples), low);
        high = wideTerm(k, tap, tapValue, zeroSettles, _mm512_loadu_pd(samples + 8), high);
    }
    _mm512_storeu_pd(acc, low);
    _mm512_storeu_pd(acc + 8, high);
}

#else

void accumulateLanesAvx512(const double* newest, const PhaseTerm* terms, std::int64_t termCount,
                           double* acc) {
    accumulateLanesPortable(newest, terms, termCount, acc);
}

#endif
