// Body of the double-precision vector kernels of the conditioning: the
// any-rate resampler (polyphase.h) and the delay search on doubles
// (alignment.h), a template over the doubles of an instruction set
// (common/lanes.h), included by the kernel source of each set, which
// instantiates it. Everything here has internal linkage.
//
// The lanes of a vector hold consecutive groups of `up` outputs (see
// PolyphaseChunk), whose inputs lie `down` samples apart. The input span is
// therefore dealt out into `down` streams, stream r holding the samples r,
// r + down, r + 2 down, ... from the first lag of the first group on; then
// at every lag the inputs of consecutive groups are consecutive entries of
// one stream, and one vector of them serves every output of a chunk. Each
// output adds its products lag by lag from 0.0, in ascending lag order
// (oldest input first), every product and sum rounded to double: the plain
// loop's terms in the plain loop's order, with terms 0 x added where the
// output has no tap, which leave a sum that is never -0.0 unchanged.
#ifndef CONDITIONING_POLYPHASE_KERNEL_IMPL_H
#define CONDITIONING_POLYPHASE_KERNEL_IMPL_H

#include "conditioning/polyphase.h"

namespace kelvor {
namespace {

template <class D, int32_t G>
void polyphase_groups(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count, double* y,
                      double* scratch) {
    typedef typename D::T T;
    constexpr int32_t P = POLYPHASE_CHUNK_OUTPUTS;
    const int32_t up = f->up;
    const int32_t down = f->down;
    const int64_t t0 = k0 / up;
    const int64_t groups = (k0 + count - 1) / up - t0 + 1;
    const int64_t stride = polyphase_stream_stride(f, count);
    // The inputs this call may read (the outputs asked for need no others;
    // outputs of the same groups outside them are computed from zeros and
    // dropped).
    const int64_t span_first = polyphase_newest(f, k0) - f->taps + 1;
    const int64_t span_end = polyphase_newest(f, k0 + count - 1) + 1;

    // Stream r, entry m: input base + r + m down (zero outside the span).
    const int64_t base = down * t0 + f->lag_min;
    {
        const int64_t entries = stride;
        for (int32_t r = 0; r < down; r++) {
            double* s = scratch + static_cast<int64_t>(r) * stride;
            int64_t i = base + r;
            for (int64_t m = 0; m < entries; m++, i += down) s[m] = i >= span_first && i < span_end ? x[i - first] : 0.0;
        }
    }

    for (int32_t c = 0; c < f->chunk_count; c++) {
        const PolyphaseChunk& chunk = f->chunks[c];
        const int64_t lag0 = chunk.lag_first - f->lag_min;  // stream position of the chunk's first lag
        for (int64_t g0 = 0; g0 < groups; g0 += G * D::LANES) {
            T acc[P][G];
            for (int32_t o = 0; o < P; o++) {
                for (int32_t g = 0; g < G; g++) acc[o][g] = D::zero();
            }
            int64_t r = lag0 % down;
            const double* s = scratch + r * stride + g0 + lag0 / down;
            const double* h = chunk.coefs;
            for (int32_t l = 0; l < chunk.lags; l++, h += P) {
                T in[G];
                for (int32_t g = 0; g < G; g++) in[g] = D::load(s + g * D::LANES);
                for (int32_t o = 0; o < P; o++) {
                    const T coef = D::broadcast(h + o);
                    for (int32_t g = 0; g < G; g++) acc[o][g] = D::add(acc[o][g], D::mul(coef, in[g]));
                }
                if (++r == down) {
                    r = 0;
                    s = s - static_cast<int64_t>(down - 1) * stride + 1;
                } else {
                    s += stride;
                }
            }
            alignas(64) double lanes[G * D::LANES];
            for (int32_t o = 0; o < chunk.outputs; o++) {
                for (int32_t g = 0; g < G; g++) D::store(lanes + g * D::LANES, acc[o][g]);
                for (int32_t i = 0; i < G * D::LANES && g0 + i < groups; i++) {
                    const int64_t k = up * (t0 + g0 + i) + chunk.first + o;
                    if (k >= k0 && k < k0 + count) y[k - k0] = lanes[i];
                }
            }
        }
    }
}

// The delay search on doubles (delay_sums_* in kernels.h): four vectors of
// delays at a time, one delay per lane, each adding its terms in ascending
// n; returns the delays done (whole groups from 0).
template <class D>
int32_t delay_sums_kernel(double* sums, const double* x, const double* y, int32_t count, int32_t shifts) {
    typedef typename D::T T;
    constexpr int32_t G = 4;  // four independent chains of additions
    int32_t s0 = 0;
    for (; s0 + G * D::LANES <= shifts; s0 += G * D::LANES) {
        T acc[G];
        for (int32_t g = 0; g < G; g++) acc[g] = D::load(sums + s0 + g * D::LANES);
        const double* d = y + s0;
        for (int32_t n = 0; n < count; n++, d++) {
            const T r = D::broadcast(x + n);
            for (int32_t g = 0; g < G; g++) acc[g] = D::add(acc[g], D::mul(r, D::load(d + g * D::LANES)));
        }
        for (int32_t g = 0; g < G; g++) D::store(sums + s0 + g * D::LANES, acc[g]);
    }
    return s0;
}

}  // namespace
}  // namespace kelvor

#endif
