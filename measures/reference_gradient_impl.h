// Bodies of the reference profile's gradient (reference_gradient.h): the
// backward pass of a batch of segments, one segment per lane, and of a
// batch of rebuilt frames' spectra, one frame per lane. Templates over the
// doubles of an instruction set (common/lanes.h), so that the plain loop
// (plain::Doubles) and the vector kernels perform the same operations lane
// by lane and give the same bits. Included by reference_gradient.cpp and by
// the kernel source of each instruction set; everything here has internal
// linkage.
//
// Non-smooth points take one rule each: where the clipping of STOI is
// active the gradient is that of the branch taken (the clipped value does
// not depend on the degraded signal; a tie counts as clipped, as the
// minimum takes the clipped value); a norm or a band envelope of zero
// contributes 0 where its derivative would divide by it.
#ifndef MEASURES_REFERENCE_GRADIENT_IMPL_H
#define MEASURES_REFERENCE_GRADIENT_IMPL_H

#include <cstdint>

#include "common/geometry.h"
#include "common/lanes.h"
#include "measures/power_spectrum_impl.h"
#include "measures/reference_segments_impl.h"

namespace kelvor {

// A batch of segments to differentiate: the envelopes and the noise as
// segment_batch reads them, and the weight of each segment in each score
// (1 / (15 M) for STOI, 1 / M for ESTOI, M segments), 0 for a score whose
// gradient is not wanted.
struct SegmentGradientInput {
    SegmentInput segment;
    double stoi_weight;
    double estoi_weight;
};

// What a batch gives back: the derivative of each wanted score with respect
// to the degraded envelope of band j, frame n of lane l's segment (its
// frame at + l + n), at [(j * 30 + n) * 8 + l]; 64-byte aligned.
struct SegmentGradientOutput {
    double* stoi;
    double* estoi;
};

namespace {

// The backward pass of normalise_all: g holds the gradient with respect
// to the normalised u (in v) and is left holding the one with respect to
// the values before: for each vector, (g - u (u . g)) / norm, less its mean.
template <class L, int32_t COUNT, int32_t LENGTH, int32_t C_STEP, int32_t I_STEP>
inline void normalise_backward(const typename L::T* u, const typename L::T* inverse, typename L::T* g) {
    typedef typename L::T T;
    T dot[COUNT];
    T sum[COUNT];
    for (int32_t c = 0; c < COUNT; c++) dot[c] = sum[c] = L::zero();
    for (int32_t i = 0; i < LENGTH; i++) {
        for (int32_t c = 0; c < COUNT; c++) {
            const int32_t at = c * C_STEP + i * I_STEP;
            dot[c] = L::add(dot[c], L::mul(u[at], g[at]));
        }
    }
    for (int32_t i = 0; i < LENGTH; i++) {
        for (int32_t c = 0; c < COUNT; c++) {
            const int32_t at = c * C_STEP + i * I_STEP;
            g[at] = L::mul(L::sub(g[at], L::mul(u[at], dot[c])), inverse[c]);
            sum[c] = L::add(sum[c], g[at]);
        }
    }
    const T length = L::splat(static_cast<double>(LENGTH));
    for (int32_t c = 0; c < COUNT; c++) sum[c] = L::div(sum[c], length);
    for (int32_t i = 0; i < LENGTH; i++) {
        for (int32_t c = 0; c < COUNT; c++) {
            const int32_t at = c * C_STEP + i * I_STEP;
            g[at] = L::sub(g[at], sum[c]);
        }
    }
}

// The gradients of the LANES segments of one batch (see segment_batch for the
// forward definitions, which are recomputed here).
template <class L>
void segment_gradient_batch(const SegmentGradientInput& gin, const SegmentGradientOutput& out) {
    typedef typename L::T T;
    constexpr int32_t J = BAND_COUNT;
    constexpr int32_t N = SEGMENT_LENGTH;
    constexpr int32_t LANES = DOUBLE_LANES_MAX;  // the output's stride
    const SegmentInput& in = gin.segment;
    T x[J * N];  // band j, frame n at j * N + n
    T y[J * N];
    T a[J * N];
    T b[J * N];
    load_segments<L>(in, x, y);
    const T eps = L::splat(REFERENCE_EPS);
    const T zero = L::zero();
    const T one = L::splat(1.0);
    const T count = L::splat(static_cast<double>(N));

    if (out.stoi != nullptr) {
        // Forward: y' = min(y s, x c) with s = |x| / (|y| + eps); xz, yz
        // the zero-mean x and y' (yz into a); d = xz . yz / ((|xz| + eps)(|yz|
        // + eps)).
        const T clip = L::splat(in.clip);
        const T weight = L::splat(gin.stoi_weight);
        StoiBands<L> f;
        stoi_bands<L>(in, x, y, a, &f);
        const T* scale = f.scale;
        const T* mx = f.mean_x;
        T dscale[J], k1[J], k2[J], sx[J], sy[J];
        for (int32_t j = 0; j < J; j++) {
            // d s / d y_k = -(s / den) y_k / |y|, den = |y| + eps; 0 where
            // |y| = 0.
            const T norm_y = L::sqrt(f.squares_y[j]);
            const T den = L::add(norm_y, eps);
            const auto some = L::greater(f.squares_y[j], zero);
            dscale[j] = L::select(some, L::div(L::div(scale[j], den), L::select(some, norm_y, one)), zero);
        }
        // Backward: d d / d yz = xz k1 - yz k2 with k1 = w / (nx ny) and
        // k2 = xy k1 / (ny |yz|) (0 where |yz| = 0).
        for (int32_t j = 0; j < J; j++) {
            const T norm_x = L::add(L::sqrt(f.xx[j]), eps);
            const T norm_yz = L::sqrt(f.yy[j]);
            const T norm_y = L::add(norm_yz, eps);
            k1[j] = L::div(weight, L::mul(norm_x, norm_y));
            const auto some = L::greater(f.yy[j], zero);
            k2[j] = L::select(some, L::div(L::mul(f.xy[j], k1[j]), L::mul(norm_y, L::select(some, norm_yz, one))), zero);
            sx[j] = zero;
        }
        for (int32_t n = 0; n < N; n++) {
            for (int32_t j = 0; j < J; j++) {
                const T g = L::sub(L::mul(L::sub(x[j * N + n], mx[j]), k1[j]), L::mul(a[j * N + n], k2[j]));
                b[j * N + n] = g;
                sx[j] = L::add(sx[j], g);
            }
        }
        // Through the means (g - mean g), then the clipping: an element
        // that took y s passes its gradient to y directly and, through s,
        // to every y of the band (the sum t); a clipped one passes nothing.
        for (int32_t j = 0; j < J; j++) {
            sx[j] = L::div(sx[j], count);
            sy[j] = zero;
        }
        for (int32_t n = 0; n < N; n++) {
            for (int32_t j = 0; j < J; j++) {
                const T g = L::sub(b[j * N + n], sx[j]);
                const auto free = L::greater(L::sub(L::mul(x[j * N + n], clip), L::mul(y[j * N + n], scale[j])), zero);
                const T passed = L::select(free, g, zero);
                b[j * N + n] = passed;
                sy[j] = L::add(sy[j], L::mul(passed, y[j * N + n]));
            }
        }
        for (int32_t j = 0; j < J; j++) {
            const T through_scale = L::mul(sy[j], dscale[j]);
            for (int32_t n = 0; n < N; n++) {
                const T g = L::sub(L::mul(b[j * N + n], scale[j]), L::mul(through_scale, y[j * N + n]));
                L::store(out.stoi + (j * N + n) * LANES, g);
            }
        }
    }

    if (out.estoi != nullptr) {
        // Forward: x normalised as segment_batch does; y by rows (noise
        // elements from 900) into y, then a copy by columns (from 1350)
        // into a. The score is sum(x . a) / 30.
        T row_inverse[J];
        T column_inverse[N];
        normalise_all<L, J, N, N, 1>(x, in, 0);
        normalise_all<L, N, J, 1, N>(x, in, J * N);
        normalise_all<L, J, N, N, 1>(y, in, 2 * J * N, row_inverse);
        for (int32_t e = 0; e < J * N; e++) a[e] = y[e];
        normalise_all<L, N, J, 1, N>(a, in, 3 * J * N, column_inverse);
        // Backward: the gradient w x / 30 back through the columns, then
        // the rows.
        const T weight = L::div(L::splat(gin.estoi_weight), count);
        for (int32_t e = 0; e < J * N; e++) b[e] = L::mul(x[e], weight);
        normalise_backward<L, N, J, 1, N>(a, column_inverse, b);
        normalise_backward<L, J, N, N, 1>(y, row_inverse, b);
        for (int32_t e = 0; e < J * N; e++) L::store(out.estoi + e * LANES, b[e]);
    }
}

// The backward pass of the band envelopes of one frame per lane: x(n)
// reads sample n of every lane's frame (256 samples, the windowed rebuilt
// frame band_envelopes_lanes transforms); coef[m][j] is the gradient with
// respect to the envelope of band j divided by that envelope (0 for an
// envelope of zero), for the wanted scores m (coef[m] null otherwise);
// put(m, n, v) stores the gradient of score m with respect to sample n.
//
// With X the frame's 512-point spectrum, the envelope e_j = sqrt(sum of
// |X[k]|^2 over the band's bins), d e_j / d Re X[k] = Re X[k] / e_j (and
// likewise the imaginary part), so the gradient of a score with respect to
// X[k] is coef[band of k] X[k]; it goes back through the transpose of each
// linear step of power_body: the split into bins 0 .. 256, the two
// 128-point transforms (the transpose of a transform with a negative
// exponent is the conjugate of that transform of the conjugate) and the
// packing of the samples into complex values.
template <class D, typename Load, typename Put>
inline void frame_gradient_body(Load x, const int32_t* lo, const int32_t* hi, int32_t bands,
                                const typename D::T* const* coef, Put put, const PowerTwiddles& tw) {
    typedef typename D::T T;
    constexpr int32_t MAX_BANDS = 32;
    constexpr int32_t SCORES = 2;
    int32_t band_of[BIN_COUNT];
    for (int32_t k = 0; k < BIN_COUNT; k++) band_of[k] = -1;
    int32_t k_first = BIN_COUNT;
    int32_t k_end = 0;
    for (int32_t j = 0; j < bands && j < MAX_BANDS; j++) {
        for (int32_t k = lo[j]; k < hi[j]; k++) band_of[k] = j;
        if (lo[j] < hi[j] && lo[j] < k_first) k_first = lo[j];
        if (hi[j] > k_end) k_end = hi[j];
    }
    T ar[HALF_POINTS], ai[HALF_POINTS], br[HALF_POINTS], bi[HALF_POINTS];
    half_transforms<D>(x, ar, ai, br, bi, tw);

    // The gradients with respect to Z (Z[2r] = A[r], Z[2r + 1] = B[r]),
    // natural order, for each wanted score.
    T gr[SCORES][Z_POINTS];
    T gi[SCORES][Z_POINTS];
    for (int32_t m = 0; m < SCORES; m++) {
        if (coef[m] == nullptr) continue;
        for (int32_t k = 0; k < Z_POINTS; k++) gr[m][k] = gi[m][k] = D::zero();
    }
    const T half = D::splat(0.5);
    for (int32_t k = k_first; k < k_end; k++) {
        const int32_t j = band_of[k];
        if (j < 0) continue;
        T xr, xi;
        spectrum_bin<D>(ar, ai, br, bi, k, tw, &xr, &xi);
        // With a, b the bin's and c, d its mirror's (256 - k) values in Z:
        // xr = (a + c)/2 + cs (b + d)/2 + sn (c - a)/2,
        // xi = (b - d)/2 + cs (c - a)/2 - sn (b + d)/2.
        const int32_t kk = k & (Z_POINTS - 1);
        const int32_t mk = (Z_POINTS - k) & (Z_POINTS - 1);
        const T cs = D::splat(tw.c[k]);
        const T sn = D::splat(tw.s[k]);
        const T h_cs = D::mul(cs, half);
        const T minus = D::sub(half, D::mul(sn, half));  // (1 - sn) / 2
        const T plus = D::add(half, D::mul(sn, half));   // (1 + sn) / 2
        for (int32_t m = 0; m < SCORES; m++) {
            if (coef[m] == nullptr) continue;
            const T gxr = D::mul(coef[m][j], xr);
            const T gxi = D::mul(coef[m][j], xi);
            gr[m][kk] = D::add(gr[m][kk], D::sub(D::mul(gxr, minus), D::mul(gxi, h_cs)));
            gi[m][kk] = D::add(gi[m][kk], D::add(D::mul(gxr, h_cs), D::mul(gxi, minus)));
            gr[m][mk] = D::add(gr[m][mk], D::add(D::mul(gxr, plus), D::mul(gxi, h_cs)));
            gi[m][mk] = D::add(gi[m][mk], D::sub(D::mul(gxr, h_cs), D::mul(gxi, plus)));
        }
    }
    for (int32_t m = 0; m < SCORES; m++) {
        if (coef[m] == nullptr) continue;
        // The transforms' transposes: conj(F conj(g)) for A and B.
        for (int32_t r = 0; r < HALF_POINTS; r++) {
            const int32_t at = tw.reversed[r];
            ar[at] = gr[m][2 * r];
            ai[at] = D::sub(D::zero(), gi[m][2 * r]);
            br[at] = gr[m][2 * r + 1];
            bi[at] = D::sub(D::zero(), gi[m][2 * r + 1]);
        }
        transform_128<D>(ar, ai, tw);
        transform_128<D>(br, bi, tw);
        // The packing: z[m] = x[2m] + i x[2m + 1] into A directly and into
        // B turned by w^m, whose transpose turns back. The conjugate of the
        // transforms' outputs is folded in (their imaginary parts negated).
        for (int32_t n = 0; n < HALF_POINTS; n++) {
            const T c = D::splat(tw.c[2 * n]);
            const T s = D::splat(tw.s[2 * n]);
            put(m, 2 * n, D::add(ar[n], D::add(D::mul(br[n], c), D::mul(bi[n], s))));
            put(m, 2 * n + 1, D::sub(D::sub(D::mul(br[n], s), D::mul(bi[n], c)), ai[n]));
        }
    }
}

// The kernel of an instruction set's doubles D: all the frames of `frames`
// (sample n of frame l at n * DOUBLE_LANES_MAX + l) are computed LANES at a
// time: coef[m] holds band j of frame l at j * DOUBLE_LANES_MAX + l, and
// out[m] receives sample n of frame l at n * DOUBLE_LANES_MAX + l (null for
// a score not wanted).
template <class D>
void frame_gradients_kernel(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi,
                            int32_t bands, const double* const* coef, double* const* out, const PowerTwiddles& tw) {
    typedef typename D::T T;
    constexpr int32_t SIDE_BY_SIDE = DOUBLE_LANES_MAX;
    for (int32_t first = 0; first < SIDE_BY_SIDE && first < count; first += D::LANES) {
        T c[2][32];
        const T* lanes[2] = {nullptr, nullptr};
        for (int32_t m = 0; m < 2; m++) {
            if (coef[m] == nullptr) continue;
            for (int32_t j = 0; j < bands && j < 32; j++) c[m][j] = D::load(coef[m] + j * SIDE_BY_SIDE + first);
            lanes[m] = c[m];
        }
        frame_gradient_body<D>([frames, first](int32_t n) { return D::load(frames + n * SIDE_BY_SIDE + first); }, lo,
                               hi, bands, lanes,
                               [out, first](int32_t m, int32_t n, T v) { D::store(out[m] + n * SIDE_BY_SIDE + first, v); },
                               tw);
    }
}

}  // namespace
}  // namespace kelvor

#endif
