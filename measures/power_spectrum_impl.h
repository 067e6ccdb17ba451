// Body of the double-precision power spectra (power_spectrum.h), a template
// over the doubles of an instruction set (common/lanes.h): plain::Doubles
// for the plain loop, a vector (one frame per lane) for the kernels, which
// therefore perform the plain loop's operations lane by lane and give its
// bits. Included by power_spectrum.cpp and the kernel source of each
// instruction set; every definition here has internal linkage.
#ifndef MEASURES_POWER_SPECTRUM_IMPL_H
#define MEASURES_POWER_SPECTRUM_IMPL_H

#include <cstdint>

#include "common/geometry.h"
#include "common/lanes.h"

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

// One butterfly of stage `half`: (re, im)[a], [b] with the twiddle of
// index j * step (cos and sin of 2 pi j step / 512).
template <class D>
inline void butterfly(typename D::T* re, typename D::T* im, int32_t a, int32_t b, typename D::T c,
                      typename D::T s) {
    typedef typename D::T T;
    // (re + i im)(c - i s)
    const T tr = D::add(D::mul(re[b], c), D::mul(im[b], s));
    const T ti = D::sub(D::mul(im[b], c), D::mul(re[b], s));
    re[b] = D::sub(re[a], tr);
    im[b] = D::sub(im[a], ti);
    re[a] = D::add(re[a], tr);
    im[a] = D::add(im[a], ti);
}

// In place, re/im of 128 points in bit-reversed order in, natural order
// out: the DFT with negative exponent. Radix 2, decimation in time; the
// stages are taken two at a time over groups of four points (the same
// butterflies with the same operands, so the same bits, in half the passes
// over the data), the last one alone.
template <class D>
inline void transform_128(typename D::T* re, typename D::T* im, const PowerTwiddles& tw) {
    typedef typename D::T T;
    for (int32_t half = 1; half < HALF_POINTS / 2; half *= 4) {
        const int32_t step = Z_POINTS / half;  // twiddle index step of stage `half`, in 512ths
        for (int32_t j = 0; j < half; j++) {
            const T c1 = D::splat(tw.c[j * step]);
            const T s1 = D::splat(tw.s[j * step]);
            const T c2 = D::splat(tw.c[j * step / 2]);
            const T s2 = D::splat(tw.s[j * step / 2]);
            const T c3 = D::splat(tw.c[(j + half) * step / 2]);
            const T s3 = D::splat(tw.s[(j + half) * step / 2]);
            for (int32_t b = j; b < HALF_POINTS; b += 4 * half) {
                butterfly<D>(re, im, b, b + half, c1, s1);
                butterfly<D>(re, im, b + 2 * half, b + 3 * half, c1, s1);
                butterfly<D>(re, im, b, b + 2 * half, c2, s2);
                butterfly<D>(re, im, b + half, b + 3 * half, c3, s3);
            }
        }
    }
    const int32_t half = HALF_POINTS / 2;
    for (int32_t j = 0; j < half; j++) {
        butterfly<D>(re, im, j, j + half, D::splat(tw.c[j * 4]), D::splat(tw.s[j * 4]));
    }
}

// The two 128-point transforms of one frame per lane, x(n) reading sample n
// of every lane's frame: z[m] = x[2m] + i x[2m + 1]; its transform at the
// even bins is A (ar, ai), at the odd bins the transform of z[m] w^m (w =
// exp(-2 pi i / 256)), B (br, bi); both in natural order.
template <class D, typename Load>
inline void half_transforms(Load x, typename D::T* ar, typename D::T* ai, typename D::T* br, typename D::T* bi,
                            const PowerTwiddles& tw) {
    typedef typename D::T T;
    for (int32_t m = 0; m < HALF_POINTS; m++) {
        const T zr = x(2 * m);
        const T zi = x(2 * m + 1);
        const T c = D::splat(tw.c[2 * m]);
        const T s = D::splat(tw.s[2 * m]);
        const int32_t r = tw.reversed[m];
        ar[r] = zr;
        ai[r] = zi;
        br[r] = D::add(D::mul(zr, c), D::mul(zi, s));
        bi[r] = D::sub(D::mul(zi, c), D::mul(zr, s));
    }
    transform_128<D>(ar, ai, tw);
    transform_128<D>(br, bi, tw);
}

// Bin k (0 .. 256) of the frame's 512-point spectrum, *xr + i *xi, from its
// half transforms: X[k] = E[k] + W^k O[k], with E and O the transforms of
// the even and the odd samples: E = (Z[k] + conj Z[256 - k]) / 2, O = (Z[k]
// - conj Z[256 - k]) / 2i, Z[2r] = A[r], Z[2r + 1] = B[r], W = exp(-2 pi i /
// 512).
template <class D>
inline void spectrum_bin(const typename D::T* ar, const typename D::T* ai, const typename D::T* br,
                         const typename D::T* bi, int32_t k, const PowerTwiddles& tw, typename D::T* xr,
                         typename D::T* xi) {
    typedef typename D::T T;
    const T half = D::splat(0.5);
    const int32_t kk = k & (Z_POINTS - 1);
    const int32_t mk = (Z_POINTS - k) & (Z_POINTS - 1);
    const T a = (kk & 1) ? br[kk >> 1] : ar[kk >> 1];
    const T b = (kk & 1) ? bi[kk >> 1] : ai[kk >> 1];
    const T c = (mk & 1) ? br[mk >> 1] : ar[mk >> 1];
    const T d = (mk & 1) ? bi[mk >> 1] : ai[mk >> 1];
    const T u = D::mul(D::add(b, d), half);
    const T v = D::mul(D::sub(c, a), half);
    const T cs = D::splat(tw.c[k]);
    const T sn = D::splat(tw.s[k]);
    *xr = D::add(D::mul(D::add(a, c), half), D::add(D::mul(u, cs), D::mul(v, sn)));
    *xi = D::add(D::mul(D::sub(b, d), half), D::sub(D::mul(v, cs), D::mul(u, sn)));
}

// One frame per lane: x(n) reads sample n of every lane's frame; put(k, p)
// stores the power of bin k of every lane.
template <class D, typename Load, typename Store>
inline void power_body(Load x, Store put, const PowerTwiddles& tw) {
    typedef typename D::T T;
    T ar[HALF_POINTS], ai[HALF_POINTS], br[HALF_POINTS], bi[HALF_POINTS];
    half_transforms<D>(x, ar, ai, br, bi, tw);
    for (int32_t k = 0; k < BIN_COUNT; k++) {
        T xr, xi;
        spectrum_bin<D>(ar, ai, br, bi, k, tw, &xr, &xi);
        put(k, D::add(D::mul(xr, xr), D::mul(xi, xi)));
    }
}

// The band envelopes of one frame per lane (see band_envelopes_lanes):
// each bin's power goes straight into its band's sum, bins ascending.
template <class D, typename Load>
inline void envelopes_body(Load x, const int32_t* lo, const int32_t* hi, int32_t bands, typename D::T* env,
                           const PowerTwiddles& tw) {
    typedef typename D::T T;
    constexpr int32_t MAX_BANDS = 32;
    T sums[MAX_BANDS];
    int32_t band_of[BIN_COUNT];
    for (int32_t k = 0; k < BIN_COUNT; k++) band_of[k] = -1;
    for (int32_t j = 0; j < bands; j++) {
        sums[j] = D::zero();
        for (int32_t k = lo[j]; k < hi[j]; k++) band_of[k] = j;
    }
    power_body<D>(x,
                  [&](int32_t k, T p) {
                      const int32_t j = band_of[k];
                      if (j >= 0) sums[j] = D::add(sums[j], p);
                  },
                  tw);
    for (int32_t j = 0; j < bands; j++) env[j] = D::sqrt(sums[j]);
}

// The kernel of an instruction set's doubles D: all the frames of
// `frames` (held side by side, DOUBLE_LANES_MAX apart) are computed LANES
// at a time; the envelopes of the first `count` stored.
template <class D>
void band_envelopes_kernel(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                           double* env, const PowerTwiddles& tw) {
    typedef typename D::T T;
    constexpr int32_t W = D::LANES;
    constexpr int32_t MAX_BANDS = 32;
    alignas(64) double lanes[MAX_BANDS * W];
    for (int32_t first = 0; first < DOUBLE_LANES_MAX && first < count; first += W) {
        T out[MAX_BANDS];
        envelopes_body<D>([frames, first](int32_t n) { return D::load(frames + n * DOUBLE_LANES_MAX + first); }, lo,
                          hi, bands, out, tw);
        for (int32_t j = 0; j < bands; j++) D::store(lanes + j * W, out[j]);
        for (int32_t l = 0; l < W && first + l < count; l++) {
            for (int32_t j = 0; j < bands; j++) env[static_cast<size_t>(first + l) * bands + j] = lanes[j * W + l];
        }
    }
}

}  // namespace
}  // namespace kelvor

#endif
