// Band envelopes of eight frames at a time for AVX-512 (the frame loop of
// stdft_bands). Compiled with -mavx512f and called only after a run-time
// check of the processor.
//
// Per frame the steps and values are those of the scalar loop: the
// windowed samples rounded to single precision, the transform by nspcFft,
// the magnitudes sqrt(im*im + re*re) of the band bins in double precision.
// The squared magnitudes of eight frames are then transposed, so that each
// band's sum runs with one frame per lane, over the band's bins in
// ascending order from +0, as the scalar sum does.
#include <cstddef>
#include <cstdint>

#include "measures/spectrum_kernels.h"
#include "nsp/nsp.h"

#if defined(__x86_64__) || defined(__i386__)
#include "measures/vector_intrinsics.h"

#include "measures/transpose_avx512.h"

namespace {

constexpr int32_t LANES = 8;
constexpr int32_t MAX_BLOCKS = (257 + 7) / 8;  // runs of eight bins that cover every bin

// The windowed frame as interleaved (re, +0) floats in x[0..255] and +0 in
// x[256..511].
void windowed_frame(const double* frame, const double* window, ComplexFloat* x) {
    const __m512i mix = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512 zero = _mm512_setzero_ps();
    float* out = reinterpret_cast<float*>(x);
    for (int32_t i = 0; i < 256; i += 8) {
        const __m512d v = _mm512_mul_pd(_mm512_loadu_pd(frame + i), _mm512_loadu_pd(window + i));
        const __m512 re = _mm512_castps256_ps512(_mm512_cvtpd_ps(v));
        _mm512_store_ps(out + 2 * i, _mm512_permutex2var_ps(re, mix, zero));
    }
    for (int32_t i = 512; i < 1024; i += 16) _mm512_store_ps(out + i, zero);
}

// Squared magnitudes of the bins lo .. lo + 8 * blocks - 1 of x into row.
void squared_magnitudes(const ComplexFloat* x, int32_t lo, int32_t blocks, double* row) {
    const __m512i split = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    for (int32_t b = 0; b < blocks; b++) {
        const __m512 both =
            _mm512_permutexvar_ps(split, _mm512_loadu_ps(reinterpret_cast<const float*>(x + lo + 8 * b)));
        const __m512d re = _mm512_cvtps_pd(_mm512_castps512_ps256(both));
        const __m512d im = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(both), 1)));
        const __m512d m = _mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(im, im), _mm512_mul_pd(re, re)));
        _mm512_store_pd(row + 8 * b, _mm512_mul_pd(m, m));
    }
}

}  // namespace

void stdft_bands_avx512(const double* signal, const double* window, const BandBins* bands, int32_t first_frame,
                        int32_t batches, int32_t frames, double* out) {
    alignas(64) ComplexFloat x[512];
    alignas(64) double rows[LANES][8 * MAX_BLOCKS];
    alignas(64) double columns[8 * MAX_BLOCKS][LANES];
    const int32_t lo = bands->lo;
    const int32_t blocks = (bands->hi - lo + 7) / 8;
    for (int32_t b = 0; b < batches; b++) {
        const int32_t t0 = first_frame + LANES * b;
        for (int32_t l = 0; l < LANES; l++) {
            windowed_frame(signal + static_cast<size_t>(t0 + l) * 128, window, x);
            nspcFft(x, 9, NSP_FFT_FORWARD);
            squared_magnitudes(x, lo, blocks, rows[l]);
        }
        for (int32_t k = 0; k < blocks; k++) transpose8x8(&rows[0][8 * k], 8 * MAX_BLOCKS, columns[8 * k]);
        for (int32_t j = 0; j < BAND_BINS_BANDS; j++) {
            __m512d sum = _mm512_setzero_pd();
            for (int32_t i = bands->first[j]; i < bands->first[j + 1]; i++) {
                sum = _mm512_add_pd(sum, _mm512_load_pd(columns[bands->bins[i] - lo]));
            }
            _mm512_storeu_pd(out + static_cast<size_t>(j) * frames + t0, _mm512_sqrt_pd(sum));
        }
    }
}

#else

void stdft_bands_avx512(const double*, const double*, const BandBins*, int32_t, int32_t, int32_t, double*) {}

#endif
