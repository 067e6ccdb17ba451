// Body of the resampler's vector kernels (kernels.h), a template over the
// doubles of an instruction set (common/lanes.h), included by the kernel
// source of each set, which instantiates it. Everything here has internal
// linkage, so code compiled for one instruction set can never stand in for
// another's at link time.
#ifndef CONDITIONING_RESAMPLER_KERNEL_IMPL_H
#define CONDITIONING_RESAMPLER_KERNEL_IMPL_H

#include "conditioning/kernels.h"

namespace kelvor {
namespace {

// One lag for G * LANES groups: the value x[4t - c] of each group meets the
// five coefficients of the lag, one term per output.
template <class D, int G>
inline void lag_step(typename D::T (&acc)[G][RESAMPLE_GROUP], const double* s, const double* row)
{
    typename D::T xv[G];
    for (int g = 0; g < G; ++g) {
        xv[g] = D::load(s + g * D::LANES);
    }
    for (int q = 0; q < RESAMPLE_GROUP; ++q) {
        const typename D::T h = D::broadcast(row + q);
        for (int g = 0; g < G; ++g) {
            acc[g][q] = D::add(acc[g][q], D::mul(xv[g], h));
        }
    }
}

// The sums of groups b .. b + G * LANES - 1. Lag c = 4u - r reads stream r at
// entry b + RESAMPLE_REACH - u; the lags are taken in ascending order, so
// every accumulator adds its terms in ascending k. One lag per iteration:
// with four (one per stream) the compiler hoists all their coefficient
// loads and runs out of registers, which costs AVX2 about a third.
template <class D, int G>
void groups_block(const double* streams, int32_t stride, const double* coefs, int32_t b, double* sums,
                  int32_t sums_stride)
{
    typename D::T acc[G][RESAMPLE_GROUP];
    for (int g = 0; g < G; ++g) {
        for (int q = 0; q < RESAMPLE_GROUP; ++q) {
            acc[g][q] = D::zero();
        }
    }
    // Stream r at entry b + RESAMPLE_REACH, where lag c = 4u - r reads u
    // entries back.
    const double* at[4];
    for (int32_t r = 0; r < 4; ++r) {
        at[r] = streams + r * stride + b + RESAMPLE_REACH;
    }
    int32_t r = 3;
    int32_t u = 0;
    for (int32_t row = 0; row < RESAMPLE_LAGS; ++row) {
        lag_step<D, G>(acc, at[r] - u, coefs + RESAMPLE_GROUP * row);
        if (r == 0) {
            r = 3;
            ++u;
        } else {
            --r;
        }
    }
    for (int g = 0; g < G; ++g) {
        for (int q = 0; q < RESAMPLE_GROUP; ++q) {
            D::store(sums + q * sums_stride + b + g * D::LANES, acc[g][q]);
        }
    }
}

// Blocks of G vectors of groups summed together (as many as the registers
// hold: five accumulators, an input and a coefficient per vector), then
// single vectors for the rest (groups is a multiple of 8, hence of LANES).
template <class D, int G>
void groups_body(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                 int32_t sums_stride)
{
    constexpr int32_t span = G * D::LANES;
    int32_t b = 0;
    for (; b + span <= groups; b += span) {
        groups_block<D, G>(streams, stride, coefs, b, sums, sums_stride);
    }
    for (; b < groups; b += D::LANES) {
        groups_block<D, 1>(streams, stride, coefs, b, sums, sums_stride);
    }
}

}  // namespace
}  // namespace kelvor

#endif
