// The lanes of AVX-512 (common/lanes.h): 8 doubles, 32 16-bit integers.
// For sources compiled with -mavx512f -mavx512bw -mavx512dq -mavx512vl
// only.
#ifndef COMMON_LANES_AVX512_H
#define COMMON_LANES_AVX512_H

#include <cstdint>

#include "common/intrinsics.h"
#include "common/lanes.h"

#if !defined(__AVX512F__) || !defined(__AVX512BW__)
#error "common/lanes_avx512.h needs a source compiled for AVX-512 F and BW"
#endif

namespace kelvor {
namespace avx512 {
namespace {

struct Int16s {
    typedef __m512i T;
    static constexpr int32_t LANES = INT16_LANES_AVX512;
    static T zero() { return _mm512_setzero_si512(); }
    static T splat(int16_t v) { return _mm512_set1_epi16(v); }
    static T load(const int16_t* p) { return _mm512_load_si512(p); }
    static T load(const uint16_t* p) { return _mm512_load_si512(p); }
    static T add(T a, T b) { return _mm512_add_epi16(a, b); }
    static T mul_low(T a, T b) { return _mm512_mullo_epi16(a, b); }
    static T madd_add(T acc, T a, T b) { return _mm512_add_epi32(acc, _mm512_madd_epi16(a, b)); }
    static int64_t sum32(T v) {
        alignas(64) int32_t lanes[LANES / 2];
        _mm512_store_si512(lanes, v);
        int64_t sum = 0;
        for (int32_t i = 0; i < LANES / 2; i++) sum += lanes[i];
        return sum;
    }
};

struct Doubles {
    typedef __m512d T;
    typedef __mmask8 Mask;
    static constexpr int32_t LANES = DOUBLE_LANES_AVX512;
    static T zero() { return _mm512_setzero_pd(); }
    static T splat(double v) { return _mm512_set1_pd(v); }
    static T broadcast(const double* p) { return _mm512_set1_pd(*p); }
    static T load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, T v) { _mm512_storeu_pd(p, v); }
    static T add(T a, T b) { return _mm512_add_pd(a, b); }
    static T sub(T a, T b) { return _mm512_sub_pd(a, b); }
    static T mul(T a, T b) { return _mm512_mul_pd(a, b); }
    static T div(T a, T b) { return _mm512_div_pd(a, b); }
    static T sqrt(T a) { return _mm512_sqrt_pd(a); }
    static T min(T a, T b) { return _mm512_min_pd(a, b); }
    static Mask greater(T a, T b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static Mask greater_equal(T a, T b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static Mask equal(T a, T b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static Mask equal_or_unordered(T a, T b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_UQ); }
    static T select(Mask m, T a, T b) { return _mm512_mask_blend_pd(m, b, a); }
    static T from_low_uint16s(Int16s::T w) {
        return _mm512_cvtepi32_pd(_mm256_cvtepu16_epi32(_mm512_castsi512_si128(w)));
    }
};

}  // namespace
}  // namespace avx512
}  // namespace kelvor

#endif
