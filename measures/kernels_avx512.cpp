// The measures' kernels for AVX-512: the STOI and ESTOI correlations
// (eight segments per batch), the frame energies of the silent-frame
// removal, the band envelopes of stdft_bands (eight frames at a time) and
// the reference profile's band envelopes and segments (eight per vector)
// and their gradients.
// Compiled with -mavx512f -mavx512bw -mavx512dq -mavx512vl.
#include <cstddef>
#include <cstdint>

#include "common/lanes_avx512.h"
#include "measures/correlation_kernel_impl.h"
#include "measures/kernels.h"
#include "measures/power_spectrum_impl.h"
#include "measures/reference_gradient_impl.h"
#include "measures/reference_segments_impl.h"
#include "measures/spectrum.h"
#include "measures/transpose_avx512.h"
#include "nsp/nsp.h"

namespace kelvor {

// ------------------------------------------------------------ correlations

void stoi_batches_avx512(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                         int32_t batches, double c, double* d_interm) {
    stoi_body<avx512::Doubles>(X, Y, frames, segments, first, batches, c, d_interm);
}

void estoi_batches_avx512(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                          NoiseJumps jumps, uint16_t* state, double* d1) {
    estoi_body<avx512::Doubles, avx512::Int16s>(X, Y, frames, first, batches, jumps, state, d1);
}

// --------------------------------------------------- silent-frame removal

// Frame energies, eight frames at a time. Each lane holds one frame and forms its energy exactly as the scalar
// loop does: every 16-bit sample converted and scaled by 2^-15 (exact),
// windowed and rounded to double, squared, and added to a sum that starts
// at +0, in ascending sample order. The frames of a batch start 128 samples
// apart; blocks of 8 x 8 samples are transposed so that one vector holds
// the same sample of the eight frames.

void frame_energies_pcm_avx512(const int16_t* x, const double* window, int32_t first, int32_t batches,
                               double* energy) {
    const __m512d scale = _mm512_set1_pd(0x1p-15);
    for (int32_t b = 0; b < batches; b++) {
        const int16_t* frames = x + static_cast<size_t>(first + 8 * b) * FRAME_HOP;
        __m512d sum = _mm512_setzero_pd();
        for (int32_t n0 = 0; n0 < FRAME_LENGTH; n0 += 8) {
            __m512d r[8];
            for (int l = 0; l < 8; l++) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frames + FRAME_HOP * l + n0));
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

// -------------------------------------------------- spectra and envelopes

// Band envelopes of eight frames at a time (the frame loop of stdft_bands).
// Per frame the steps and values are those of the scalar loop: the
// windowed samples rounded to single precision, the transform by nspcFft,
// the magnitudes sqrt(im*im + re*re) of the band bins in double precision.
// The squared magnitudes of eight frames are then transposed, so that each
// band's sum runs with one frame per lane, over the band's bins in
// ascending order from +0, as the scalar sum does.

namespace {

constexpr int32_t LANES = avx512::Doubles::LANES;  // frames side by side
constexpr int32_t MAX_BLOCKS = (BIN_COUNT + 7) / 8;  // runs of eight bins that cover every bin

// The windowed frame as interleaved (re, +0) floats in x[0 .. FRAME_LENGTH
// - 1] and +0 in the rest of its FFT_LENGTH values.
void windowed_frame(const double* frame, const double* window, ComplexFloat* x) {
    const __m512i mix = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512 zero = _mm512_setzero_ps();
    float* out = reinterpret_cast<float*>(x);
    for (int32_t i = 0; i < FRAME_LENGTH; i += 8) {
        const __m512d v = _mm512_mul_pd(_mm512_loadu_pd(frame + i), _mm512_loadu_pd(window + i));
        const __m512 re = _mm512_castps256_ps512(_mm512_cvtpd_ps(v));
        _mm512_store_ps(out + 2 * i, _mm512_permutex2var_ps(re, mix, zero));
    }
    for (int32_t i = 2 * FRAME_LENGTH; i < 2 * FFT_LENGTH; i += 16) _mm512_store_ps(out + i, zero);
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
    alignas(64) ComplexFloat x[FFT_LENGTH];
    alignas(64) double rows[LANES][8 * MAX_BLOCKS];
    alignas(64) double columns[8 * MAX_BLOCKS][LANES];
    const int32_t lo = bands->lo;
    const int32_t blocks = (bands->hi - lo + 7) / 8;
    for (int32_t b = 0; b < batches; b++) {
        const int32_t t0 = first_frame + LANES * b;
        for (int32_t l = 0; l < LANES; l++) {
            windowed_frame(signal + static_cast<size_t>(t0 + l) * FRAME_HOP, window, x);
            nspcFft(x, FFT_ORDER, NSP_FFT_FORWARD);
            squared_magnitudes(x, lo, blocks, rows[l]);
        }
        for (int32_t k = 0; k < blocks; k++) transpose8x8(&rows[0][8 * k], 8 * MAX_BLOCKS, columns[8 * k]);
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            __m512d sum = _mm512_setzero_pd();
            for (int32_t i = bands->first[j]; i < bands->first[j + 1]; i++) {
                sum = _mm512_add_pd(sum, _mm512_load_pd(columns[bands->bins[i] - lo]));
            }
            _mm512_storeu_pd(out + static_cast<size_t>(j) * frames + t0, _mm512_sqrt_pd(sum));
        }
    }
}

// ------------------- reference profile's envelopes and segments, and their gradient

void band_envelopes_avx512(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                           double* env, const PowerTwiddles& tw) {
    band_envelopes_kernel<avx512::Doubles>(frames, count, lo, hi, bands, env, tw);
}

void reference_segments_avx512(const SegmentInput& in, const SegmentOutput& out) {
    segment_batch<avx512::Doubles>(in, out);
}

void reference_segment_gradients_avx512(const SegmentGradientInput& in, const SegmentGradientOutput& out) {
    segment_gradient_batch<avx512::Doubles>(in, out);
}

void frame_gradients_avx512(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                            const double* const* coef, double* const* out, const PowerTwiddles& tw) {
    frame_gradients_kernel<avx512::Doubles>(frames, count, lo, hi, bands, coef, out, tw);
}

}  // namespace kelvor
