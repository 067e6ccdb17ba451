// Frame energies of the silent-frame removal for AVX-512, eight frames at
// a time. Compiled with -mavx512f and called only after a run-time check of
// the processor.
//
// Each lane holds one frame and forms its energy exactly as the scalar
// loop does: every 16-bit sample converted and scaled by 2^-15 (exact),
// windowed and rounded to double, squared, and added to a sum that starts
// at +0, in ascending sample order. The frames of a batch start 128 samples
// apart; blocks of 8 x 8 samples are transposed so that one vector holds
// the same sample of the eight frames.
#include <cstddef>
#include <cstdint>

#include "measures/silence_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include "measures/vector_intrinsics.h"

#include "measures/transpose_avx512.h"

void frame_energies_pcm_avx512(const int16_t* x, const double* window, int32_t first, int32_t batches,
                               double* energy) {
    const __m512d scale = _mm512_set1_pd(0x1p-15);
    for (int32_t b = 0; b < batches; b++) {
        const int16_t* frames = x + static_cast<size_t>(first + 8 * b) * 128;
        __m512d sum = _mm512_setzero_pd();
        for (int32_t n0 = 0; n0 < 256; n0 += 8) {
            __m512d r[8];
            for (int l = 0; l < 8; l++) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frames + 128 * l + n0));
                r[l] = _mm512_mul_pd(_mm512_cvtepi32_pd(_mm256_cvtepi16_epi32(v)), scale);
            }
            __m512d c[8];
            transpose8x8(r, c);
            for (int e = 0; e < 8; e++) {
                const __m512d t = _mm512_mul_pd(c[e], _mm512_set1_pd(window[n0 + e]));
                sum = _mm512_add_pd(sum, _mm512_mul_pd(t, t));
            }
        }
        _mm512_storeu_pd(energy + first + 8 * b, sum);
    }
}

#else

void frame_energies_pcm_avx512(const int16_t*, const double*, int32_t, int32_t, double*) {}

#endif
