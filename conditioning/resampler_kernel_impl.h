// Body of the resampler's vector kernels, included by the kernel source of
// each instruction set. The body is a template over a record Vec that the
// includer defines in an unnamed namespace, with: type V, constants W
// (doubles per vector) and BLOCK_VECTORS (the vectors of groups summed
// together), and static functions zero(), load(p) (unaligned),
// broadcast(p), mul(a, b), add(a, b) (separate instructions, never fused)
// and store(p, v) (unaligned). Everything here has internal linkage, so
// code compiled for one instruction set can never stand in for another's
// at link time.
#ifndef CONDITIONING_RESAMPLER_KERNEL_IMPL_H
#define CONDITIONING_RESAMPLER_KERNEL_IMPL_H

#include "conditioning/kernels.h"

namespace kelvor {
namespace {

// One lag for G * W groups: the value x[4t - c] of each group meets the
// five coefficients of the lag, one term per output.
template <class Vec, int G>
inline void lag_step(typename Vec::V (&acc)[G][RESAMPLE_GROUP], const double* s, const double* row)
{
    typename Vec::V xv[G];
    for (int g = 0; g < G; ++g) {
        xv[g] = Vec::load(s + g * Vec::W);
    }
    for (int q = 0; q < RESAMPLE_GROUP; ++q) {
        const typename Vec::V h = Vec::broadcast(row + q);
        for (int g = 0; g < G; ++g) {
            acc[g][q] = Vec::add(acc[g][q], Vec::mul(xv[g], h));
        }
    }
}

// The sums of groups b .. b + G * W - 1. Lag c = 4u - r reads stream r at
// entry b + RESAMPLE_REACH - u; the lags are taken in ascending order, so
// every accumulator adds its terms in ascending k. One lag per iteration:
// with four (one per stream) the compiler hoists all their coefficient
// loads and runs out of registers, which costs AVX2 about a third.
template <class Vec, int G>
void groups_block(const double* streams, int32_t stride, const double* coefs, int32_t b, double* sums,
                  int32_t sums_stride)
{
    typename Vec::V acc[G][RESAMPLE_GROUP];
    for (int g = 0; g < G; ++g) {
        for (int q = 0; q < RESAMPLE_GROUP; ++q) {
            acc[g][q] = Vec::zero();
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
        lag_step<Vec, G>(acc, at[r] - u, coefs + RESAMPLE_GROUP * row);
        if (r == 0) {
            r = 3;
            ++u;
        } else {
            --r;
        }
    }
    for (int g = 0; g < G; ++g) {
        for (int q = 0; q < RESAMPLE_GROUP; ++q) {
            Vec::store(sums + q * sums_stride + b + g * Vec::W, acc[g][q]);
        }
    }
}

// Blocks of BLOCK_VECTORS vectors of groups, then single vectors for the
// rest (groups is a multiple of 8, hence of W).
template <class Vec>
void groups_body(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                 int32_t sums_stride)
{
    constexpr int32_t span = Vec::BLOCK_VECTORS * Vec::W;
    int32_t b = 0;
    for (; b + span <= groups; b += span) {
        groups_block<Vec, Vec::BLOCK_VECTORS>(streams, stride, coefs, b, sums, sums_stride);
    }
    for (; b < groups; b += Vec::W) {
        groups_block<Vec, 1>(streams, stride, coefs, b, sums, sums_stride);
    }
}

}  // namespace
}  // namespace kelvor

#endif
