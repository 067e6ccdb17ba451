// The lanes of SSE2, the x86-64 baseline (common/lanes.h): 2 doubles, 8
// 16-bit integers. For the instruction-set specific sources of x86-64.
#ifndef COMMON_LANES_SSE2_H
#define COMMON_LANES_SSE2_H

#include <cstdint>

#include "common/intrinsics.h"
#include "common/lanes.h"

namespace kelvor {
namespace sse2 {
namespace {

struct Int16s {
    typedef __m128i T;
    static constexpr int32_t LANES = INT16_LANES_SSE2;
    static T zero() { return _mm_setzero_si128(); }
    static T splat(int16_t v) { return _mm_set1_epi16(v); }
    static T load(const int16_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    static T load(const uint16_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    static T add(T a, T b) { return _mm_add_epi16(a, b); }
    static T mul_low(T a, T b) { return _mm_mullo_epi16(a, b); }
    static T madd_add(T acc, T a, T b) { return _mm_add_epi32(acc, _mm_madd_epi16(a, b)); }
    static int64_t sum32(T v) {
        alignas(16) int32_t lanes[LANES / 2];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        int64_t sum = 0;
        for (int32_t i = 0; i < LANES / 2; i++) sum += lanes[i];
        return sum;
    }
};

struct Doubles {
    typedef __m128d T;
    typedef __m128d Mask;
    static constexpr int32_t LANES = DOUBLE_LANES_SSE2;
    static T zero() { return _mm_setzero_pd(); }
    static T splat(double v) { return _mm_set1_pd(v); }
    static T broadcast(const double* p) { return _mm_set1_pd(*p); }
    static T load(const double* p) { return _mm_loadu_pd(p); }
    static void store(double* p, T v) { _mm_storeu_pd(p, v); }
    static T add(T a, T b) { return _mm_add_pd(a, b); }
    static T sub(T a, T b) { return _mm_sub_pd(a, b); }
    static T mul(T a, T b) { return _mm_mul_pd(a, b); }
    static T div(T a, T b) { return _mm_div_pd(a, b); }
    static T sqrt(T a) { return _mm_sqrt_pd(a); }
    static T min(T a, T b) { return _mm_min_pd(a, b); }
    static Mask greater(T a, T b) { return _mm_cmpgt_pd(a, b); }
    static Mask greater_equal(T a, T b) { return _mm_cmpge_pd(a, b); }
    static Mask equal(T a, T b) { return _mm_cmpeq_pd(a, b); }
    static Mask equal_or_unordered(T a, T b) { return _mm_or_pd(_mm_cmpeq_pd(a, b), _mm_cmpunord_pd(a, b)); }
    static T select(Mask m, T a, T b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
    static T from_low_uint16s(Int16s::T w) { return _mm_cvtepi32_pd(_mm_unpacklo_epi16(w, _mm_setzero_si128())); }
};

}  // namespace
}  // namespace sse2
}  // namespace kelvor

#endif
