// Body of the correlation kernels, included by the kernel source of each
// instruction set and compiled for that set: AVX-512 (W = 8) where
// __AVX512F__ is defined, else AVX2 (W = 4). Everything here has internal
// linkage, so code compiled for one instruction set can never stand in for
// another's at link time; the includer defines the entry functions.
//
// Vec holds the lane-wise operations: load and store (unaligned), add, sub,
// mul, div and sqrt (single correctly rounded instructions, never fused),
// zero_where_zero(t, v) (0.0 in the lanes where t == 0, else v),
// one_where_zero_or_nan(r, v) (1.0 where r == 0 or r is not a number, else
// v), clip(s, b) (b where s >= b, else s, so a lane of s that is not a
// number stays), states(p) (W 16-bit noise states as 32-bit integers) and
// noise_units(s, mul, add) (3 * ((mul * s + add) mod 65536) - 147456 in
// each lane, as doubles).
#ifndef MEASURES_CORRELATION_KERNEL_IMPL_H
#define MEASURES_CORRELATION_KERNEL_IMPL_H

#include "common/intrinsics.h"

#include <cstddef>

#include "measures/kernels.h"

namespace kelvor {
namespace {

#if defined(__AVX512F__)

struct Vec {
    typedef __m512d V;
    typedef __m256i I;
    static constexpr int32_t W = CORRELATION_LANES_AVX512;
    static V zero() { return _mm512_setzero_pd(); }
    static V set1(double d) { return _mm512_set1_pd(d); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static V sqrt(V a) { return _mm512_sqrt_pd(a); }
    static V zero_where_zero(V t, V v) {
        return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(t, zero(), _CMP_EQ_OQ), v, zero());
    }
    static V one_where_zero_or_nan(V r, V v) {
        return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(r, zero(), _CMP_EQ_UQ), v, set1(1.0));
    }
    static V clip(V s, V b) { return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(s, b, _CMP_GE_OQ), s, b); }
    static I states(const uint16_t* p) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static V noise_units(I s, uint32_t mul, uint32_t add) {
        const I t = _mm256_add_epi32(_mm256_mullo_epi32(s, _mm256_set1_epi32(static_cast<int32_t>(mul))),
                                     _mm256_set1_epi32(static_cast<int32_t>(add)));
        const I u = _mm256_and_si256(t, _mm256_set1_epi32(0xFFFF));
        const I u3 = _mm256_add_epi32(u, _mm256_add_epi32(u, u));
        return _mm512_cvtepi32_pd(_mm256_sub_epi32(u3, _mm256_set1_epi32(147456)));
    }
};

#else

struct Vec {
    typedef __m256d V;
    typedef __m128i I;
    static constexpr int32_t W = CORRELATION_LANES_AVX2;
    static V zero() { return _mm256_setzero_pd(); }
    static V set1(double d) { return _mm256_set1_pd(d); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V div(V a, V b) { return _mm256_div_pd(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_pd(a); }
    static V zero_where_zero(V t, V v) { return _mm256_blendv_pd(v, zero(), _mm256_cmp_pd(t, zero(), _CMP_EQ_OQ)); }
    static V one_where_zero_or_nan(V r, V v) {
        return _mm256_blendv_pd(v, set1(1.0), _mm256_cmp_pd(r, zero(), _CMP_EQ_UQ));
    }
    static V clip(V s, V b) { return _mm256_blendv_pd(s, b, _mm256_cmp_pd(s, b, _CMP_GE_OQ)); }
    static I states(const uint16_t* p) {
        return _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    static V noise_units(I s, uint32_t mul, uint32_t add) {
        const I t = _mm_add_epi32(_mm_mullo_epi32(s, _mm_set1_epi32(static_cast<int32_t>(mul))),
                                  _mm_set1_epi32(static_cast<int32_t>(add)));
        const I u = _mm_and_si128(t, _mm_set1_epi32(0xFFFF));
        const I u3 = _mm_add_epi32(u, _mm_add_epi32(u, u));
        return _mm256_cvtepi32_pd(_mm_sub_epi32(u3, _mm_set1_epi32(147456)));
    }
};

#endif

}  // namespace

namespace {

typedef Vec::V V;

// (v - mean(v)) scaled by the reciprocal of its norm, as
// centre_and_normalise does it for one segment.
inline void centre_and_normalise(const V* v, V* out) {
    V sum = Vec::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = Vec::add(sum, v[n]);
    const V mean = Vec::div(sum, Vec::set1(static_cast<double>(SEGMENT_LENGTH)));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) out[n] = Vec::sub(v[n], mean);
    V q = Vec::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) q = Vec::add(q, Vec::mul(out[n], out[n]));
    const V r = Vec::sqrt(q);
    const V s = Vec::one_where_zero_or_nan(r, Vec::div(Vec::set1(1.0), r));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) out[n] = Vec::mul(s, out[n]);
}

// STOI correlations of segments m0 .. m0 + W - 1 in every band.
inline void stoi_batch(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t m0, double c,
                       double* d_interm) {
    const V cv = Vec::set1(c);
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        const double* x = X + static_cast<size_t>(j) * frames + m0;
        const double* y = Y + static_cast<size_t>(j) * frames + m0;
        V xv[SEGMENT_LENGTH];
        V yv[SEGMENT_LENGTH];
        V sx = Vec::zero();
        V sy = Vec::zero();
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            xv[n] = Vec::load(x + n);
            yv[n] = Vec::load(y + n);
            sx = Vec::add(sx, Vec::mul(xv[n], xv[n]));
            sy = Vec::add(sy, Vec::mul(yv[n], yv[n]));
        }
        const V alpha = Vec::zero_where_zero(sy, Vec::sqrt(Vec::div(sx, sy)));
        V clipped[SEGMENT_LENGTH];
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            const V scaled = Vec::mul(alpha, yv[n]);
            const V bound = Vec::add(xv[n], Vec::mul(cv, xv[n]));
            clipped[n] = Vec::clip(scaled, bound);
        }
        V xn[SEGMENT_LENGTH];
        V yn[SEGMENT_LENGTH];
        centre_and_normalise(xv, xn);
        centre_and_normalise(clipped, yn);
        V sum = Vec::zero();
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = Vec::add(sum, Vec::mul(xn[n], yn[n]));
        Vec::store(d_interm + static_cast<size_t>(j) * segments + m0, sum);
    }
}

inline void stoi_body(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                      int32_t batches, double c, double* d_interm) {
    for (int32_t b = 0; b < batches; b++) stoi_batch(X, Y, frames, segments, first + b * Vec::W, c, d_interm);
}

// ------------------------------------------------------------------ ESTOI

typedef V Matrix[BAND_COUNT][SEGMENT_LENGTH];

// Draw number `draw` (from 0) of each lane's segment, whose draws start
// after the lane's state s. The generator's value ((v * 2^-15) * 2 - 1) *
// 3 * 2^-52, v = state - 32768, is exact at every step (at most 18
// significant bits, no underflow), so it equals (3 * state - 147456) *
// 2^-66, an exact integer times a power of two: the same double.
inline V draw_noise(Vec::I s, NoiseJumps jumps, int32_t draw) {
    return Vec::mul(Vec::noise_units(s, jumps.mul[draw + 1], jumps.add[draw + 1]), Vec::set1(0x1p-66));
}

// Centring and normalisation of one row, as centre_rows and
// normalise_rows do them.
inline void centre_row(V* row) {
    V sum = Vec::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = Vec::add(sum, row[n]);
    const V mean = Vec::div(sum, Vec::set1(static_cast<double>(SEGMENT_LENGTH)));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) row[n] = Vec::sub(row[n], mean);
}

inline void normalise_row(V* row) {
    V q = Vec::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) q = Vec::add(q, Vec::mul(row[n], row[n]));
    const V r = Vec::sqrt(q);
    const V g = Vec::one_where_zero_or_nan(r, Vec::div(Vec::set1(1.0), r));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) row[n] = Vec::mul(g, row[n]);
}

// Column centring (with the rounded 1/15) and normalisation of column n.
inline void centre_and_normalise_column(Matrix a, int32_t n) {
    V col[BAND_COUNT];
    V sum = Vec::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        col[j] = a[j][n];
        sum = Vec::add(sum, col[j]);
    }
    const V mean = Vec::mul(sum, Vec::set1(1.0 / BAND_COUNT));
    for (int32_t j = 0; j < BAND_COUNT; j++) col[j] = Vec::sub(col[j], mean);
    V q = Vec::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) q = Vec::add(q, Vec::mul(col[j], col[j]));
    const V r = Vec::sqrt(q);
    const V g = Vec::one_where_zero_or_nan(r, Vec::div(Vec::set1(1.0), r));
    for (int32_t j = 0; j < BAND_COUNT; j++) a[j][n] = Vec::mul(col[j], g);
}

// ESTOI values of segments m0 .. m0 + W - 1; lane l draws its noise after
// state s[l].
inline void estoi_batch(const double* X, const double* Y, int32_t frames, int32_t m0, Vec::I s,
                        NoiseJumps jumps, double* d1, Matrix a, Matrix b) {
    constexpr int32_t CELLS = BAND_COUNT * SEGMENT_LENGTH;
    // Noisy copies (draws 0 .. 899, the reference's draw first for each
    // element), row centring, row normalisation, then draws 900 .. 1349 on
    // the reference and 1350 .. 1799 on the degraded matrix. Each row
    // depends on itself only, so it goes through all four steps at once.
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        const double* x = X + static_cast<size_t>(j) * frames + m0;
        const double* y = Y + static_cast<size_t>(j) * frames + m0;
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            const int32_t i = SEGMENT_LENGTH * j + n;
            a[j][n] = Vec::add(draw_noise(s, jumps, 2 * i), Vec::load(x + n));
            b[j][n] = Vec::add(draw_noise(s, jumps, 2 * i + 1), Vec::load(y + n));
        }
        centre_row(a[j]);
        centre_row(b[j]);
        normalise_row(a[j]);
        normalise_row(b[j]);
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            const int32_t i = SEGMENT_LENGTH * j + n;
            a[j][n] = Vec::add(draw_noise(s, jumps, 2 * CELLS + i), a[j][n]);
            b[j][n] = Vec::add(draw_noise(s, jumps, 3 * CELLS + i), b[j][n]);
        }
    }
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) centre_and_normalise_column(a, n);
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) centre_and_normalise_column(b, n);
    V sum = Vec::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = Vec::add(sum, Vec::mul(a[j][n], b[j][n]));
    }
    Vec::store(d1 + m0, Vec::mul(sum, Vec::set1(0.03333333333333333)));
}

inline void estoi_body(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                       NoiseJumps jumps, uint16_t* state, double* d1) {
    constexpr int32_t DRAWS = 4 * BAND_COUNT * SEGMENT_LENGTH;
    const uint32_t jmul = jumps.mul[DRAWS];
    const uint32_t jadd = jumps.add[DRAWS];
    Matrix a;
    Matrix b;
    uint16_t s[Vec::W];
    uint32_t next = *state;
    for (int32_t bt = 0; bt < batches; bt++) {
        for (int32_t l = 0; l < Vec::W; l++) {
            s[l] = static_cast<uint16_t>(next);
            next = (jmul * next + jadd) & 0xFFFFu;
        }
        estoi_batch(X, Y, frames, first + bt * Vec::W, Vec::states(s), jumps, d1, a, b);
    }
    *state = static_cast<uint16_t>(next);
}

}  // namespace
}  // namespace kelvor

#endif
