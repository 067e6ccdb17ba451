// Body of the delay-search vector kernels (kernels.h), a template over the
// 16-bit integers of an instruction set (Int16s, common/lanes.h), included
// by the kernel source of each set, which instantiates it. Everything here
// has internal linkage, so code compiled for one instruction set can never
// stand in for another's at link time.
#ifndef CONDITIONING_ALIGNMENT_KERNEL_IMPL_H
#define CONDITIONING_ALIGNMENT_KERNEL_IMPL_H

#include <cstring>

#include "conditioning/kernels.h"

namespace kelvor {
namespace {

// Delays are handled by residue k modulo I::LANES: the window shifted by k is
// copied to an aligned buffer once, so that the delays k, k + LANES, ...
// read it with aligned loads only (unaligned loads of 16-bit steps would
// split cache lines on almost every load). G delays share each reference
// load.
template <class I, int G>
void correlate_group(const int16_t* r, const int16_t* ch, const int16_t* cl, int32_t len, int32_t k, int32_t a0,
                     int64_t* c) {
    typename I::T h[G];
    typename I::T l[G];
    for (int g = 0; g < G; g++) {
        h[g] = I::zero();
        l[g] = I::zero();
    }
    for (int32_t i = 0; i < len; i += I::LANES) {
        typename I::T rv = I::load(r + i);
        for (int g = 0; g < G; g++) {
            int32_t at = i + I::LANES * (a0 + g);
            h[g] = I::madd_add(h[g], rv, I::load(ch + at));
            l[g] = I::madd_add(l[g], rv, I::load(cl + at));
        }
    }
    for (int g = 0; g < G; g++) c[k + I::LANES * (a0 + g)] += 256 * I::sum32(h[g]) + I::sum32(l[g]);
}

template <class I>
void correlate_chunk_body(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c) {
    constexpr int32_t SPAN_MAX = ALIGN_CHUNK_AVX512 + ALIGN_SHIFTS + 64;
    alignas(64) int16_t ch[SPAN_MAX];
    alignas(64) int16_t cl[SPAN_MAX];
    for (int32_t k = k_begin; k < k_end; k++) {
        int32_t shifts = (ALIGN_SHIFTS - 1 - k) / I::LANES + 1;  // delays k + LANES * a below 900
        int32_t span = len + I::LANES * shifts;
        memcpy(ch, dh + k, static_cast<size_t>(span) * sizeof(int16_t));
        memcpy(cl, dl + k, static_cast<size_t>(span) * sizeof(int16_t));
        int32_t a = 0;
        for (; a + 4 <= shifts; a += 4) correlate_group<I, 4>(r, ch, cl, len, k, a, c);
        switch (shifts - a) {
        case 3: correlate_group<I, 3>(r, ch, cl, len, k, a, c); break;
        case 2: correlate_group<I, 2>(r, ch, cl, len, k, a, c); break;
        case 1: correlate_group<I, 1>(r, ch, cl, len, k, a, c); break;
        default: break;
        }
    }
}

}  // namespace
}  // namespace kelvor

#endif
