// An 8 x 8 transpose of doubles for the AVX-512 kernels of the measures.
// Include only from sources compiled for AVX-512, after <immintrin.h>; its
// function has internal linkage.
#ifndef MEASURES_TRANSPOSE_AVX512_H
#define MEASURES_TRANSPOSE_AVX512_H

#include <cstdint>

namespace kelvor {
namespace {

// Element e of r[l] goes to lane l of c[e].
inline void transpose8x8(const __m512d* r, __m512d* c) {
    __m512d t[8];
    for (int l = 0; l < 8; l += 2) {
        t[l] = _mm512_unpacklo_pd(r[l], r[l + 1]);
        t[l + 1] = _mm512_unpackhi_pd(r[l], r[l + 1]);
    }
    // u: pairs of 128-bit lanes gathered from rows l and l + 2.
    const __m512i lo2 = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i hi2 = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    __m512d u[8];
    for (int l = 0; l < 8; l += 4) {
        u[l] = _mm512_permutex2var_pd(t[l], lo2, t[l + 2]);
        u[l + 1] = _mm512_permutex2var_pd(t[l + 1], lo2, t[l + 3]);
        u[l + 2] = _mm512_permutex2var_pd(t[l], hi2, t[l + 2]);
        u[l + 3] = _mm512_permutex2var_pd(t[l + 1], hi2, t[l + 3]);
    }
    const __m512i lo4 = _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 10, 11);
    const __m512i hi4 = _mm512_setr_epi64(4, 5, 6, 7, 12, 13, 14, 15);
    for (int e = 0; e < 4; e++) {
        c[e] = _mm512_permutex2var_pd(u[e], lo4, u[e + 4]);
        c[e + 4] = _mm512_permutex2var_pd(u[e], hi4, u[e + 4]);
    }
}

// The same from memory to memory: element e of row l (rows + l * stride)
// goes to lane l of out + 8 * e.
inline void transpose8x8(const double* rows, int32_t stride, double* out) {
    __m512d r[8];
    for (int l = 0; l < 8; l++) r[l] = _mm512_loadu_pd(rows + l * stride);
    __m512d c[8];
    transpose8x8(r, c);
    for (int e = 0; e < 8; e++) _mm512_storeu_pd(out + 8 * e, c[e]);
}

}  // namespace
}  // namespace kelvor

#endif
