// Body of the delay-search vector kernels, included by the kernel source of
// each instruction set. The body is a template over a record Vec that the
// includer defines in an unnamed namespace, with: type V, constant W
// (16-bit samples per vector), and static functions zero(), load(p)
// (aligned load), madd_add(acc, a, b) (acc plus the pairwise 32-bit sums of
// a*b) and lane_sum(acc) (the lanes' sum as a 64-bit integer). Everything
// here has internal linkage, so code compiled for one instruction set can
// never stand in for another's at link time.
#ifndef CONDITIONING_ALIGNMENT_KERNEL_IMPL_H
#define CONDITIONING_ALIGNMENT_KERNEL_IMPL_H

#include <cstring>

#include "conditioning/kernels.h"

namespace kelvor {
namespace {

// Delays are handled by residue k modulo W: the window shifted by k is
// copied to an aligned buffer once, so that the delays k, k + W, k + 2W, ...
// read it with aligned loads only (unaligned loads of 16-bit steps would
// split cache lines on almost every load). G delays share each reference
// load.
template <class Vec, int G>
void correlate_group(const int16_t* r, const int16_t* ch, const int16_t* cl, int32_t len, int32_t k, int32_t a0,
                     int64_t* c) {
    typename Vec::V h[G];
    typename Vec::V l[G];
    for (int g = 0; g < G; g++) {
        h[g] = Vec::zero();
        l[g] = Vec::zero();
    }
    for (int32_t i = 0; i < len; i += Vec::W) {
        typename Vec::V rv = Vec::load(r + i);
        for (int g = 0; g < G; g++) {
            int32_t at = i + Vec::W * (a0 + g);
            h[g] = Vec::madd_add(h[g], rv, Vec::load(ch + at));
            l[g] = Vec::madd_add(l[g], rv, Vec::load(cl + at));
        }
    }
    for (int g = 0; g < G; g++) c[k + Vec::W * (a0 + g)] += 256 * Vec::lane_sum(h[g]) + Vec::lane_sum(l[g]);
}

template <class Vec>
void correlate_chunk_body(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c) {
    constexpr int32_t SPAN_MAX = ALIGN_CHUNK_AVX512 + ALIGN_SHIFTS + 64;
    alignas(64) int16_t ch[SPAN_MAX];
    alignas(64) int16_t cl[SPAN_MAX];
    for (int32_t k = k_begin; k < k_end; k++) {
        int32_t shifts = (ALIGN_SHIFTS - 1 - k) / Vec::W + 1;  // delays k + W*a below 900
        int32_t span = len + Vec::W * shifts;
        memcpy(ch, dh + k, static_cast<size_t>(span) * sizeof(int16_t));
        memcpy(cl, dl + k, static_cast<size_t>(span) * sizeof(int16_t));
        int32_t a = 0;
        for (; a + 4 <= shifts; a += 4) correlate_group<Vec, 4>(r, ch, cl, len, k, a, c);
        switch (shifts - a) {
        case 3: correlate_group<Vec, 3>(r, ch, cl, len, k, a, c); break;
        case 2: correlate_group<Vec, 2>(r, ch, cl, len, k, a, c); break;
        case 1: correlate_group<Vec, 1>(r, ch, cl, len, k, a, c); break;
        default: break;
        }
    }
}

}  // namespace
}  // namespace kelvor

#endif
