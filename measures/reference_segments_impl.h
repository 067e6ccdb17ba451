// Body of the reference profile's segment computations (reference.h), a
// template over the doubles of an instruction set (common/lanes.h): one
// segment per lane, each lane performing the operations of the plain loop
// (plain::Doubles) on its own segment, in the same order, so that every
// level gives the same bits. Included by reference.cpp and by the kernel
// source of each instruction set; everything here has internal linkage.
#ifndef MEASURES_REFERENCE_SEGMENTS_IMPL_H
#define MEASURES_REFERENCE_SEGMENTS_IMPL_H

#include <cstdint>

#include "common/geometry.h"
#include "common/lanes.h"
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

// The noise of element e (see reference.h): G[(36 e + m) mod period] for
// lane 0's segment m; lane l's segment m + l reads the next entries.
template <class D>
inline typename D::T noise_at(const SegmentInput& in, int32_t e) {
    int32_t at = REFERENCE_NOISE_STEP * e + in.noise_base;  // 36 e stays below the period
    if (at >= REFERENCE_NOISE_PERIOD) at -= REFERENCE_NOISE_PERIOD;
    return D::load(in.noise + at);
}

// Adds eps times the noise to every value, then makes `count` vectors of
// `length` values zero-mean and unit-norm: vector c holds v[c * c_step + i *
// i_step] for i < length, its noise element e0 + c * c_step + i * i_step.
// Values without spread become zeros. Each vector's sums run in ascending
// i; the vectors are worked on side by side, so that their chains of
// additions overlap. inverse[c] receives 1 / the norm of vector c once its
// mean is taken off, or 0 where it has no spread: what the backward pass
// of the gradient needs.
template <class D, int32_t COUNT, int32_t LENGTH, int32_t C_STEP, int32_t I_STEP>
inline void normalise_all(typename D::T* v, const SegmentInput& in, int32_t e0, typename D::T* inverse) {
    typedef typename D::T T;
    const T eps = D::splat(REFERENCE_EPS);
    T sum[COUNT];
    T squares[COUNT];
    for (int32_t c = 0; c < COUNT; c++) sum[c] = squares[c] = D::zero();
    for (int32_t i = 0; i < LENGTH; i++) {
        for (int32_t c = 0; c < COUNT; c++) {
            const int32_t at = c * C_STEP + i * I_STEP;
            v[at] = D::add(v[at], D::mul(eps, noise_at<D>(in, e0 + at)));
            sum[c] = D::add(sum[c], v[at]);
        }
    }
    const T length = D::splat(static_cast<double>(LENGTH));
    T mean[COUNT];
    for (int32_t c = 0; c < COUNT; c++) mean[c] = D::div(sum[c], length);
    for (int32_t i = 0; i < LENGTH; i++) {
        for (int32_t c = 0; c < COUNT; c++) {
            const int32_t at = c * C_STEP + i * I_STEP;
            v[at] = D::sub(v[at], mean[c]);
            squares[c] = D::add(squares[c], D::mul(v[at], v[at]));
        }
    }
    for (int32_t c = 0; c < COUNT; c++) {
        const auto spread = D::greater(squares[c], D::zero());
        const T scale = D::div(D::splat(1.0), D::sqrt(D::select(spread, squares[c], D::splat(1.0))));
        inverse[c] = D::select(spread, scale, D::zero());
        for (int32_t i = 0; i < LENGTH; i++) {
            const int32_t at = c * C_STEP + i * I_STEP;
            v[at] = D::select(spread, D::mul(v[at], scale), D::zero());
        }
    }
}

template <class D, int32_t COUNT, int32_t LENGTH, int32_t C_STEP, int32_t I_STEP>
inline void normalise_all(typename D::T* v, const SegmentInput& in, int32_t e0) {
    typename D::T inverse[COUNT];
    normalise_all<D, COUNT, LENGTH, C_STEP, I_STEP>(v, in, e0, inverse);
}

// The envelopes of the batch's segments: band j, frame n of every lane's
// segment at x[j * SEGMENT_LENGTH + n] (reference) and y[...] (degraded).
template <class D>
inline void load_segments(const SegmentInput& in, typename D::T* x, typename D::T* y) {
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        const double* px = in.x + static_cast<int64_t>(j) * in.stride + in.at;
        const double* py = in.y + static_cast<int64_t>(j) * in.stride + in.at;
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            x[j * SEGMENT_LENGTH + n] = D::load(px + n);
            y[j * SEGMENT_LENGTH + n] = D::load(py + n);
        }
    }
}

// What STOI's forward pass leaves of every band (stoi_bands), for the
// correlations and for their gradient.
template <class D>
struct StoiBands {
    typedef typename D::T T;
    T squares_y[BAND_COUNT];  // |y|^2
    T scale[BAND_COUNT];      // |x| / (|y| + eps)
    T mean_x[BAND_COUNT];
    T xx[BAND_COUNT];  // |xz|^2, xz = x - mean_x
    T yy[BAND_COUNT];  // |yz|^2
    T xy[BAND_COUNT];  // xz . yz
};

// STOI's forward pass in every band of x and y (laid out as load_segments
// leaves them): y scaled by |x| / (|y| + eps), clipped at x (1 + 10^(15/20)),
// made zero-mean into yz (same layout); the sums of *b. Sums run over
// frames in order; the bands are worked on side by side, so that their
// chains of additions overlap.
template <class D>
inline void stoi_bands(const SegmentInput& in, const typename D::T* x, const typename D::T* y, typename D::T* yz,
                       StoiBands<D>* b) {
    typedef typename D::T T;
    constexpr int32_t N = SEGMENT_LENGTH;
    const T eps = D::splat(REFERENCE_EPS);
    const T count = D::splat(static_cast<double>(N));
    T sx[BAND_COUNT];
    T sy[BAND_COUNT];
    for (int32_t j = 0; j < BAND_COUNT; j++) sx[j] = sy[j] = D::zero();
    for (int32_t n = 0; n < N; n++) {
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            sx[j] = D::add(sx[j], D::mul(x[j * N + n], x[j * N + n]));
            sy[j] = D::add(sy[j], D::mul(y[j * N + n], y[j * N + n]));
        }
    }
    const T clip = D::splat(in.clip);
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        b->squares_y[j] = sy[j];
        b->scale[j] = D::div(D::sqrt(sx[j]), D::add(D::sqrt(sy[j]), eps));
        for (int32_t n = 0; n < N; n++) {
            const int32_t at = j * N + n;
            yz[at] = D::min(D::mul(y[at], b->scale[j]), D::mul(x[at], clip));
        }
        sx[j] = sy[j] = D::zero();
    }
    for (int32_t n = 0; n < N; n++) {
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            sx[j] = D::add(sx[j], x[j * N + n]);
            sy[j] = D::add(sy[j], yz[j * N + n]);
        }
    }
    T mean_y[BAND_COUNT];
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        b->mean_x[j] = D::div(sx[j], count);
        mean_y[j] = D::div(sy[j], count);
        b->xx[j] = b->yy[j] = b->xy[j] = D::zero();
    }
    for (int32_t n = 0; n < N; n++) {
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            const T xz = D::sub(x[j * N + n], b->mean_x[j]);
            const T v = D::sub(yz[j * N + n], mean_y[j]);
            yz[j * N + n] = v;
            b->xx[j] = D::add(b->xx[j], D::mul(xz, xz));
            b->yy[j] = D::add(b->yy[j], D::mul(v, v));
        }
    }
    for (int32_t n = 0; n < N; n++) {
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            const T xz = D::sub(x[j * N + n], b->mean_x[j]);
            b->xy[j] = D::add(b->xy[j], D::mul(xz, yz[j * N + n]));
        }
    }
}

// The LANES segments of one batch. Every band's (and every row's and
// column's) operations run in the order of the plain definition; the bands
// are worked on side by side, so that their chains of additions overlap.
template <class D>
void segment_batch(const SegmentInput& in, const SegmentOutput& out) {
    typedef typename D::T T;
    T x[BAND_COUNT * SEGMENT_LENGTH];  // band j, frame n at j * SEGMENT_LENGTH + n
    T y[BAND_COUNT * SEGMENT_LENGTH];
    load_segments<D>(in, x, y);

    // STOI of every band: the correlation of x and the clipped y, both
    // zero-mean and divided by (norm + eps), formed as the dot product of
    // the zero-mean values divided once by the product of the two (norm +
    // eps) (one division per band instead of sixty; the difference is in
    // the last bits).
    const T eps = D::splat(REFERENCE_EPS);
    const T count = D::splat(static_cast<double>(SEGMENT_LENGTH));
    T yz[BAND_COUNT * SEGMENT_LENGTH];
    StoiBands<D> bands;
    stoi_bands<D>(in, x, y, yz, &bands);
    T d[BAND_COUNT];
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        const T nx = D::add(D::sqrt(bands.xx[j]), eps);
        const T ny = D::add(D::sqrt(bands.yy[j]), eps);
        d[j] = D::div(bands.xy[j], D::mul(nx, ny));
    }
    T band_sum = D::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) band_sum = D::add(band_sum, d[j]);

    // ESTOI: rows (bands over frames), then columns (frames over bands), of
    // each signal; noise elements 30 j + n, from 0 (rows of x), 450
    // (columns of x), 900 and 1350 (those of y). The segment's value: each
    // band's products summed over frames, the bands summed in order,
    // divided by 30.
    normalise_all<D, BAND_COUNT, SEGMENT_LENGTH, SEGMENT_LENGTH, 1>(x, in, 0);
    normalise_all<D, SEGMENT_LENGTH, BAND_COUNT, 1, SEGMENT_LENGTH>(x, in, BAND_COUNT * SEGMENT_LENGTH);
    normalise_all<D, BAND_COUNT, SEGMENT_LENGTH, SEGMENT_LENGTH, 1>(y, in, 2 * BAND_COUNT * SEGMENT_LENGTH);
    normalise_all<D, SEGMENT_LENGTH, BAND_COUNT, 1, SEGMENT_LENGTH>(y, in, 3 * BAND_COUNT * SEGMENT_LENGTH);
    T a[BAND_COUNT];
    for (int32_t j = 0; j < BAND_COUNT; j++) a[j] = D::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            a[j] = D::add(a[j], D::mul(x[j * SEGMENT_LENGTH + n], y[j * SEGMENT_LENGTH + n]));
        }
    }
    T products = D::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) products = D::add(products, a[j]);
    const T estoi = D::div(products, count);

    alignas(64) double lanes[BAND_COUNT][DOUBLE_LANES_MAX];
    for (int32_t j = 0; j < BAND_COUNT; j++) D::store(lanes[j], d[j]);
    for (int32_t l = 0; l < D::LANES; l++) {
        for (int32_t j = 0; j < BAND_COUNT; j++) out.correlation[l * BAND_COUNT + j] = lanes[j][l];
    }
    D::store(lanes[0], band_sum);
    D::store(lanes[1], estoi);
    for (int32_t l = 0; l < D::LANES; l++) {
        out.band_sum[l] = lanes[0][l];
        out.estoi[l] = lanes[1][l];
    }
}

}  // namespace
}  // namespace kelvor

#endif
