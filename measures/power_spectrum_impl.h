// Body of the double-precision power spectra (power_spectrum.h), a template
// over the element type: double for the plain loop, a vector of doubles
// (one frame per lane) for the kernels, which therefore perform the plain
// loop's operations lane by lane and give its bits. The vector type is
// one of GCC's vector types (__m256d, __m512d), whose +, -, * act lane by
// lane. Included by power_spectrum.cpp and the kernel source of each
// instruction set; every definition here has internal linkage.
#ifndef MEASURES_POWER_SPECTRUM_IMPL_H
#define MEASURES_POWER_SPECTRUM_IMPL_H

#include <cstdint>

#include "common/geometry.h"

namespace kelvor {

// The real frame of FFT_LENGTH points (the frame and its zeros) is taken as
// Z_POINTS complex values, transformed as two halves of HALF_POINTS each.
constexpr int32_t Z_POINTS = FFT_LENGTH / 2;
constexpr int32_t HALF_POINTS = Z_POINTS / 2;

// cos and sin of 2 pi j / 512 for j = 0 .. 256 (twiddles of the split and,
// at every second entry, of the inner transforms), and the bit reversal of
// 7 bits. Built once (power_twiddles in power_spectrum.cpp).
struct PowerTwiddles {
    double c[BIN_COUNT];
    double s[BIN_COUNT];
    int16_t reversed[HALF_POINTS];
};
const PowerTwiddles& power_twiddles();

namespace {

template <typename T>
inline T splat(double v) {
    return T{} + v;
}

// One butterfly of stage `half`: (re, im)[a], [b] with the twiddle of
// index j * step (cos and sin of 2 pi j step / 512).
template <typename T>
inline void butterfly(T* re, T* im, int32_t a, int32_t b, const T& c, const T& s) {
    // (re + i im)(c - i s)
    const T tr = re[b] * c + im[b] * s;
    const T ti = im[b] * c - re[b] * s;
    re[b] = re[a] - tr;
    im[b] = im[a] - ti;
    re[a] = re[a] + tr;
    im[a] = im[a] + ti;
}

// In place, re/im of 128 points in bit-reversed order in, natural order
// out: the DFT with negative exponent. Radix 2, decimation in time; the
// stages are taken two at a time over groups of four points (the same
// butterflies with the same operands, so the same bits, in half the passes
// over the data), the last one alone.
template <typename T>
inline void transform_128(T* re, T* im, const PowerTwiddles& tw) {
    for (int32_t half = 1; half < HALF_POINTS / 2; half *= 4) {
        const int32_t step = Z_POINTS / half;  // twiddle index step of stage `half`, in 512ths
        for (int32_t j = 0; j < half; j++) {
            const T c1 = splat<T>(tw.c[j * step]);
            const T s1 = splat<T>(tw.s[j * step]);
            const T c2 = splat<T>(tw.c[j * step / 2]);
            const T s2 = splat<T>(tw.s[j * step / 2]);
            const T c3 = splat<T>(tw.c[(j + half) * step / 2]);
            const T s3 = splat<T>(tw.s[(j + half) * step / 2]);
            for (int32_t b = j; b < HALF_POINTS; b += 4 * half) {
                butterfly(re, im, b, b + half, c1, s1);
                butterfly(re, im, b + 2 * half, b + 3 * half, c1, s1);
                butterfly(re, im, b, b + 2 * half, c2, s2);
                butterfly(re, im, b + half, b + 3 * half, c3, s3);
            }
        }
    }
    const int32_t half = HALF_POINTS / 2;
    for (int32_t j = 0; j < half; j++) butterfly(re, im, j, j + half, splat<T>(tw.c[j * 4]), splat<T>(tw.s[j * 4]));
}

// One frame per lane: x(n) reads sample n of every lane's frame; put(k, p)
// stores the power of bin k of every lane.
template <typename T, typename Load, typename Store>
inline void power_body(Load x, Store put, const PowerTwiddles& tw) {
    T ar[HALF_POINTS], ai[HALF_POINTS], br[HALF_POINTS], bi[HALF_POINTS];
    // z[m] = x[2m] + i x[2m + 1]; its transform at the even bins is A, at the
    // odd bins the transform of z[m] w^m (w = exp(-2 pi i / 256)), B.
    for (int32_t m = 0; m < HALF_POINTS; m++) {
        const T zr = x(2 * m);
        const T zi = x(2 * m + 1);
        const T c = splat<T>(tw.c[2 * m]);
        const T s = splat<T>(tw.s[2 * m]);
        const int32_t r = tw.reversed[m];
        ar[r] = zr;
        ai[r] = zi;
        br[r] = zr * c + zi * s;
        bi[r] = zi * c - zr * s;
    }
    transform_128(ar, ai, tw);
    transform_128(br, bi, tw);
    // X[k] = E[k] + W^k O[k], with E and O the transforms of the even and the
    // odd samples: E = (Z[k] + conj Z[256 - k]) / 2, O = (Z[k] - conj Z[256 -
    // k]) / 2i, Z[2r] = A[r], Z[2r + 1] = B[r], W = exp(-2 pi i / 512).
    const T half = splat<T>(0.5);
    for (int32_t k = 0; k < BIN_COUNT; k++) {
        const int32_t kk = k & (Z_POINTS - 1);
        const int32_t mk = (Z_POINTS - k) & (Z_POINTS - 1);
        const T a = (kk & 1) ? br[kk >> 1] : ar[kk >> 1];
        const T b = (kk & 1) ? bi[kk >> 1] : ai[kk >> 1];
        const T c = (mk & 1) ? br[mk >> 1] : ar[mk >> 1];
        const T d = (mk & 1) ? bi[mk >> 1] : ai[mk >> 1];
        const T u = (b + d) * half;
        const T v = (c - a) * half;
        const T cs = splat<T>(tw.c[k]);
        const T sn = splat<T>(tw.s[k]);
        const T xr = (a + c) * half + (u * cs + v * sn);
        const T xi = (b - d) * half + (v * cs - u * sn);
        put(k, xr * xr + xi * xi);
    }
}

// The band envelopes of one frame per lane (see band_envelopes_lanes):
// each bin's power goes straight into its band's sum, bins ascending.
// sqrt(v) is the lane-wise square root.
template <typename T, typename Load, typename Sqrt>
inline void envelopes_body(Load x, const int32_t* lo, const int32_t* hi, int32_t bands, T* env, Sqrt sqrt,
                           const PowerTwiddles& tw) {
    constexpr int32_t MAX_BANDS = 32;
    T sums[MAX_BANDS];
    int32_t band_of[BIN_COUNT];
    for (int32_t k = 0; k < BIN_COUNT; k++) band_of[k] = -1;
    for (int32_t j = 0; j < bands; j++) {
        sums[j] = T{};
        for (int32_t k = lo[j]; k < hi[j]; k++) band_of[k] = j;
    }
    power_body<T>(x,
                  [&](int32_t k, T p) {
                      const int32_t j = band_of[k];
                      if (j >= 0) sums[j] = sums[j] + p;
                  },
                  tw);
    for (int32_t j = 0; j < bands; j++) env[j] = sqrt(sums[j]);
}

// The kernel of an instruction set: V has the vector type T of W doubles
// and sqrt(T), lane by lane. All eight lanes of `frames` (held side by
// side, ENVELOPE_LANES apart) are computed W at a time; the envelopes of
// the first `count` stored.
template <class V>
void band_envelopes_kernel(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                           double* env, const PowerTwiddles& tw) {
    typedef typename V::T T;
    constexpr int32_t W = V::W;
    constexpr int32_t SIDE_BY_SIDE = 8;
    alignas(64) double lanes[32 * W];
    for (int32_t first = 0; first < SIDE_BY_SIDE && first < count; first += W) {
        T out[32];
        envelopes_body<T>(
            [frames, first](int32_t n) {
                T v;
                __builtin_memcpy(&v, frames + n * SIDE_BY_SIDE + first, sizeof v);
                return v;
            },
            lo, hi, bands, out, V::sqrt, tw);
        for (int32_t j = 0; j < bands; j++) __builtin_memcpy(lanes + j * W, &out[j], sizeof out[j]);
        for (int32_t l = 0; l < W && first + l < count; l++) {
            for (int32_t j = 0; j < bands; j++) env[static_cast<size_t>(first + l) * bands + j] = lanes[j * W + l];
        }
    }
}

}  // namespace
}  // namespace kelvor

#endif
