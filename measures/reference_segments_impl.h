// Body of the reference profile's segment computations (reference.h), a
// template over a record of lane operations: one segment per lane, each
// lane performing the operations of the plain loop (the record with one
// lane of doubles) on its own segment, in the same order, so that every
// level gives the same bits. Included by reference.cpp and by the kernel
// source of each instruction set; everything here has internal linkage.
//
// The record Lanes provides: type T, constant W (lanes), and static
// functions zero(), splat(v), load(p) (W consecutive doubles, unaligned),
// add, sub, mul, div, sqrt, min (a < b ? a : b), positive(a) (a > 0), and
// select(mask, a, b), lane(v, l) (the double of lane l).
#ifndef MEASURES_REFERENCE_SEGMENTS_IMPL_H
#define MEASURES_REFERENCE_SEGMENTS_IMPL_H

#include <cstdint>

#include "measures/reference.h"

namespace kelvor {

// The layout of the envelopes a batch of segments reads: band j of frame f
// at x[j * stride + f]; the segment in lane l starts at frame at + l.
struct SegmentInput {
    const double* x;
    const double* y;
    int32_t stride;
    int32_t at;
    int32_t noise_base;   // the overall index of lane 0's segment, modulo the noise period
    const double* noise;  // reference_noise(), padded
    double clip;          // 1 + 10^(15/20)
};

// What a batch gives back: lane l's band correlations at correlation[l *
// 15 + j], their sum (bands in order) at band_sum[l], its ESTOI at estoi[l].
struct SegmentOutput {
    double* correlation;
    double* band_sum;
    double* estoi;
};

namespace {

constexpr int32_t SEG_N = 30;
constexpr int32_t SEG_J = 15;

template <class L>
inline typename L::T sum_lanes(const typename L::T* v, int32_t count, int32_t stride) {
    typename L::T s = L::zero();
    for (int32_t i = 0; i < count; i++) s = L::add(s, v[i * stride]);
    return s;
}

// Adds eps times the noise of elements e0, e0 + e_step, ... to count values
// `stride` apart, then makes them zero-mean and unit-norm; values without
// spread become zeros.
template <class L>
inline void normalise_lanes(typename L::T* v, int32_t count, int32_t stride, const SegmentInput& in, int32_t e0,
                            int32_t e_step) {
    typedef typename L::T T;
    const T eps = L::splat(REFERENCE_EPS);
    T sum = L::zero();
    for (int32_t i = 0; i < count; i++) {
        // Element e of segment m is G[(36 e + m) mod period] (36 e stays
        // below the period); lane l's segment is m + l, the next entry of
        // the padded table.
        int32_t at = REFERENCE_NOISE_STEP * (e0 + i * e_step) + in.noise_base;
        if (at >= REFERENCE_NOISE_PERIOD) at -= REFERENCE_NOISE_PERIOD;
        v[i * stride] = L::add(v[i * stride], L::mul(eps, L::load(in.noise + at)));
        sum = L::add(sum, v[i * stride]);
    }
    const T mean = L::div(sum, L::splat(static_cast<double>(count)));
    T squares = L::zero();
    for (int32_t i = 0; i < count; i++) {
        v[i * stride] = L::sub(v[i * stride], mean);
        squares = L::add(squares, L::mul(v[i * stride], v[i * stride]));
    }
    const auto spread = L::positive(squares);
    const T inverse = L::div(L::splat(1.0), L::sqrt(L::select(spread, squares, L::splat(1.0))));
    for (int32_t i = 0; i < count; i++) v[i * stride] = L::select(spread, L::mul(v[i * stride], inverse), L::zero());
}

// STOI correlation of one band (x, y: SEG_N values each).
template <class L>
inline typename L::T stoi_lanes(const typename L::T* x, const typename L::T* y, const SegmentInput& in) {
    typedef typename L::T T;
    const T eps = L::splat(REFERENCE_EPS);
    T xx = L::zero();
    T yy = L::zero();
    for (int32_t n = 0; n < SEG_N; n++) {
        xx = L::add(xx, L::mul(x[n], x[n]));
        yy = L::add(yy, L::mul(y[n], y[n]));
    }
    const T scale = L::div(L::sqrt(xx), L::add(L::sqrt(yy), eps));
    const T clip = L::splat(in.clip);
    T yp[SEG_N];
    for (int32_t n = 0; n < SEG_N; n++) yp[n] = L::min(L::mul(y[n], scale), L::mul(x[n], clip));
    const T count = L::splat(static_cast<double>(SEG_N));
    const T mx = L::div(sum_lanes<L>(x, SEG_N, 1), count);
    const T my = L::div(sum_lanes<L>(yp, SEG_N, 1), count);
    T xz[SEG_N];
    T sx = L::zero();
    T sy = L::zero();
    for (int32_t n = 0; n < SEG_N; n++) {
        xz[n] = L::sub(x[n], mx);
        yp[n] = L::sub(yp[n], my);
        sx = L::add(sx, L::mul(xz[n], xz[n]));
        sy = L::add(sy, L::mul(yp[n], yp[n]));
    }
    const T nx = L::add(L::sqrt(sx), eps);
    const T ny = L::add(L::sqrt(sy), eps);
    T sum = L::zero();
    for (int32_t n = 0; n < SEG_N; n++) sum = L::add(sum, L::mul(L::div(xz[n], nx), L::div(yp[n], ny)));
    return sum;
}

// The W segments of one batch.
template <class L>
void segment_batch(const SegmentInput& in, const SegmentOutput& out) {
    typedef typename L::T T;
    T x[SEG_J * SEG_N];
    T y[SEG_J * SEG_N];
    for (int32_t j = 0; j < SEG_J; j++) {
        const double* px = in.x + static_cast<int64_t>(j) * in.stride + in.at;
        const double* py = in.y + static_cast<int64_t>(j) * in.stride + in.at;
        for (int32_t n = 0; n < SEG_N; n++) {
            x[j * SEG_N + n] = L::load(px + n);
            y[j * SEG_N + n] = L::load(py + n);
        }
    }

    T band_sum = L::zero();
    for (int32_t j = 0; j < SEG_J; j++) {
        const T d = stoi_lanes<L>(x + j * SEG_N, y + j * SEG_N, in);
        band_sum = L::add(band_sum, d);
        for (int32_t l = 0; l < L::W; l++) out.correlation[l * SEG_J + j] = L::lane(d, l);
    }

    // ESTOI: rows (bands over frames), then columns (frames over bands), of
    // each signal; noise elements 30 j + n, from 0 (rows of x), 450
    // (columns of x), 900 and 1350 (those of y).
    for (int32_t j = 0; j < SEG_J; j++) normalise_lanes<L>(x + j * SEG_N, SEG_N, 1, in, j * SEG_N, 1);
    for (int32_t n = 0; n < SEG_N; n++) normalise_lanes<L>(x + n, SEG_J, SEG_N, in, SEG_J * SEG_N + n, SEG_N);
    for (int32_t j = 0; j < SEG_J; j++) normalise_lanes<L>(y + j * SEG_N, SEG_N, 1, in, 2 * SEG_J * SEG_N + j * SEG_N, 1);
    for (int32_t n = 0; n < SEG_N; n++) normalise_lanes<L>(y + n, SEG_J, SEG_N, in, 3 * SEG_J * SEG_N + n, SEG_N);
    T products = L::zero();
    for (int32_t i = 0; i < SEG_J * SEG_N; i++) products = L::add(products, L::mul(x[i], y[i]));
    const T estoi = L::div(products, L::splat(static_cast<double>(SEG_N)));

    for (int32_t l = 0; l < L::W; l++) {
        out.band_sum[l] = L::lane(band_sum, l);
        out.estoi[l] = L::lane(estoi, l);
    }
}

}  // namespace
}  // namespace kelvor

#endif
