// Body of the correlation kernels (kernels.h), a template over the lanes of
// an instruction set (common/lanes.h): D, its vector of doubles, and for
// the noise of ESTOI I, its vector of 16-bit integers. One segment per lane
// of D; every lane performs the plain loop's operations on its segment, in
// their order and with their roundings. Included by the kernel source of
// each instruction set, which instantiates it; everything here has
// internal linkage.
#ifndef MEASURES_CORRELATION_KERNEL_IMPL_H
#define MEASURES_CORRELATION_KERNEL_IMPL_H

#include <cstddef>
#include <cstdint>

#include "common/geometry.h"
#include "measures/kernels.h"

namespace kelvor {
namespace {

// 1 / |v| for the norm r = |v|, or 1 where r is 0 or not a number, as the
// plain loops' inverse_norm.
template <class D>
inline typename D::T inverse_norm(typename D::T r) {
    return D::select(D::equal_or_unordered(r, D::zero()), D::splat(1.0), D::div(D::splat(1.0), r));
}

// (v - mean(v)) scaled by the reciprocal of its norm, as
// centre_and_normalise does it for one segment.
template <class D>
inline void centre_and_normalise(const typename D::T* v, typename D::T* out) {
    typedef typename D::T T;
    T sum = D::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = D::add(sum, v[n]);
    const T mean = D::div(sum, D::splat(static_cast<double>(SEGMENT_LENGTH)));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) out[n] = D::sub(v[n], mean);
    T q = D::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) q = D::add(q, D::mul(out[n], out[n]));
    const T s = inverse_norm<D>(D::sqrt(q));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) out[n] = D::mul(s, out[n]);
}

// STOI correlations of segments m0 .. m0 + LANES - 1 in every band.
template <class D>
inline void stoi_batch(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t m0, double c,
                       double* d_interm) {
    typedef typename D::T T;
    const T cv = D::splat(c);
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        const double* x = X + static_cast<size_t>(j) * frames + m0;
        const double* y = Y + static_cast<size_t>(j) * frames + m0;
        T xv[SEGMENT_LENGTH];
        T yv[SEGMENT_LENGTH];
        T sx = D::zero();
        T sy = D::zero();
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            xv[n] = D::load(x + n);
            yv[n] = D::load(y + n);
            sx = D::add(sx, D::mul(xv[n], xv[n]));
            sy = D::add(sy, D::mul(yv[n], yv[n]));
        }
        // alpha = sqrt(sx / sy), 0 where the degraded band is all zero.
        const T alpha = D::select(D::equal(sy, D::zero()), D::zero(), D::sqrt(D::div(sx, sy)));
        T clipped[SEGMENT_LENGTH];
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            const T scaled = D::mul(alpha, yv[n]);
            const T bound = D::add(xv[n], D::mul(cv, xv[n]));
            // The bound where scaled reaches it; a scaled value that is not
            // a number stays.
            clipped[n] = D::select(D::greater_equal(scaled, bound), bound, scaled);
        }
        T xn[SEGMENT_LENGTH];
        T yn[SEGMENT_LENGTH];
        centre_and_normalise<D>(xv, xn);
        centre_and_normalise<D>(clipped, yn);
        T sum = D::zero();
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = D::add(sum, D::mul(xn[n], yn[n]));
        D::store(d_interm + static_cast<size_t>(j) * segments + m0, sum);
    }
}

template <class D>
inline void stoi_body(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                      int32_t batches, double c, double* d_interm) {
    for (int32_t b = 0; b < batches; b++) stoi_batch<D>(X, Y, frames, segments, first + b * D::LANES, c, d_interm);
}

// ------------------------------------------------------------------ ESTOI

// Draw number `draw` (from 0) of each lane's segment, whose draws start
// after the lane's state, held in the first LANES 16-bit lanes of states.
// The generator's value ((v * 2^-15) * 2 - 1) * 3 * 2^-52, v = state -
// 32768, is exact at every step (at most 18 significant bits, no
// underflow), so it equals (3 * state - 147456) * 2^-66, an exact integer
// times a power of two; formed here as state * (3 * 2^-66) - 147456 * 2^-66,
// whose product and difference are exact too: the same double.
template <class D, class I>
inline typename D::T draw_noise(typename I::T states, NoiseJumps jumps, int32_t draw) {
    const typename I::T mul = I::splat(static_cast<int16_t>(jumps.mul[draw + 1]));
    const typename I::T add = I::splat(static_cast<int16_t>(jumps.add[draw + 1]));
    const typename D::T state = D::from_low_uint16s(I::add(I::mul_low(states, mul), add));
    return D::sub(D::mul(state, D::splat(3 * 0x1p-66)), D::splat(147456 * 0x1p-66));
}

// Centring and normalisation of one row, as centre_rows and
// normalise_rows do them.
template <class D>
inline void centre_row(typename D::T* row) {
    typename D::T sum = D::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = D::add(sum, row[n]);
    const typename D::T mean = D::div(sum, D::splat(static_cast<double>(SEGMENT_LENGTH)));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) row[n] = D::sub(row[n], mean);
}

template <class D>
inline void normalise_row(typename D::T* row) {
    typename D::T q = D::zero();
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) q = D::add(q, D::mul(row[n], row[n]));
    const typename D::T g = inverse_norm<D>(D::sqrt(q));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) row[n] = D::mul(g, row[n]);
}

// A segment's matrix of one signal: band j, frame n at [j][n].
template <class D>
using Matrix = typename D::T[BAND_COUNT][SEGMENT_LENGTH];

// Column centring (with the rounded 1/15) and normalisation of column n.
template <class D>
inline void centre_and_normalise_column(Matrix<D>& a, int32_t n) {
    typedef typename D::T T;
    T col[BAND_COUNT];
    T sum = D::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        col[j] = a[j][n];
        sum = D::add(sum, col[j]);
    }
    const T mean = D::mul(sum, D::splat(1.0 / BAND_COUNT));
    for (int32_t j = 0; j < BAND_COUNT; j++) col[j] = D::sub(col[j], mean);
    T q = D::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) q = D::add(q, D::mul(col[j], col[j]));
    const T g = inverse_norm<D>(D::sqrt(q));
    for (int32_t j = 0; j < BAND_COUNT; j++) a[j][n] = D::mul(col[j], g);
}

// ESTOI values of segments m0 .. m0 + LANES - 1; lane l draws its noise
// after its state in `states`.
template <class D, class I>
inline void estoi_batch(const double* X, const double* Y, int32_t frames, int32_t m0, typename I::T states,
                        NoiseJumps jumps, double* d1, Matrix<D>& a, Matrix<D>& b) {
    typedef typename D::T T;
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
            a[j][n] = D::add(draw_noise<D, I>(states, jumps, 2 * i), D::load(x + n));
            b[j][n] = D::add(draw_noise<D, I>(states, jumps, 2 * i + 1), D::load(y + n));
        }
        centre_row<D>(a[j]);
        centre_row<D>(b[j]);
        normalise_row<D>(a[j]);
        normalise_row<D>(b[j]);
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            const int32_t i = SEGMENT_LENGTH * j + n;
            a[j][n] = D::add(draw_noise<D, I>(states, jumps, 2 * CELLS + i), a[j][n]);
            b[j][n] = D::add(draw_noise<D, I>(states, jumps, 3 * CELLS + i), b[j][n]);
        }
    }
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) centre_and_normalise_column<D>(a, n);
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) centre_and_normalise_column<D>(b, n);
    T sum = D::zero();
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = D::add(sum, D::mul(a[j][n], b[j][n]));
    }
    D::store(d1 + m0, D::mul(sum, D::splat(0.03333333333333333)));  // 1/30, applied by multiplication
}

template <class D, class I>
inline void estoi_body(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                       NoiseJumps jumps, uint16_t* state, double* d1) {
    static_assert(D::LANES <= I::LANES, "a noise state per lane of doubles");
    constexpr int32_t DRAWS = 4 * BAND_COUNT * SEGMENT_LENGTH;
    const uint32_t jmul = jumps.mul[DRAWS];
    const uint32_t jadd = jumps.add[DRAWS];
    Matrix<D> a;
    Matrix<D> b;
    alignas(64) uint16_t s[I::LANES] = {};
    uint32_t next = *state;
    for (int32_t bt = 0; bt < batches; bt++) {
        for (int32_t l = 0; l < D::LANES; l++) {
            s[l] = static_cast<uint16_t>(next);
            next = (jmul * next + jadd) & 0xFFFFu;
        }
        estoi_batch<D, I>(X, Y, frames, first + bt * D::LANES, I::load(s), jumps, d1, a, b);
    }
    *state = static_cast<uint16_t>(next);
}

}  // namespace
}  // namespace kelvor

#endif
