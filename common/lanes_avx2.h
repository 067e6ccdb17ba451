// The lanes of AVX2 (common/lanes.h): 4 doubles, 16 16-bit integers. For
// sources compiled with -mavx2 only.
#ifndef COMMON_LANES_AVX2_H
#define COMMON_LANES_AVX2_H

#include <cstdint>

#include "common/intrinsics.h"
#include "common/lanes.h"

#ifndef __AVX2__
#error "common/lanes_avx2.h needs a source compiled for AVX2"
#endif

namespace kelvor {
namespace avx2 {
namespace {

struct Int16s {
    typedef __m256i T;
    static constexpr int32_t LANES = INT16_LANES_AVX2;
    static T zero() { return _mm256_setzero_si256(); }
    static T splat(int16_t v) { return _mm256_set1_epi16(v); }
    static T load(const int16_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
    static T load(const uint16_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
    static T add(T a, T b) { return _mm256_add_epi16(a, b); }
    static T mul_low(T a, T b) { return _mm256_mullo_epi16(a, b); }
    static T madd_add(T acc, T a, T b) { return _mm256_add_epi32(acc, _mm256_madd_epi16(a, b)); }
    static int64_t sum32(T v) {
        alignas(32) int32_t lanes[LANES / 2];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
        int64_t sum = 0;
        for (int32_t i = 0; i < LANES / 2; i++) sum += lanes[i];
        return sum;
    }
};

struct Doubles {
    typedef __m256d T;
    typedef __m256d Mask;
    static constexpr int32_t LANES = DOUBLE_LANES_AVX2;
    static T zero() { return _mm256_setzero_pd(); }
    static T splat(double v) { return _mm256_set1_pd(v); }
    // The value loaded, then set: GCC takes _mm256_broadcast_sd's pointer
    // for a read that may alias the accumulators of a kernel, and then keeps
    // them in memory across its whole loop.
    static T broadcast(const double* p) { return _mm256_set1_pd(*p); }
    static T load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, T v) { _mm256_storeu_pd(p, v); }
    static T add(T a, T b) { return _mm256_add_pd(a, b); }
    static T sub(T a, T b) { return _mm256_sub_pd(a, b); }
    static T mul(T a, T b) { return _mm256_mul_pd(a, b); }
    static T div(T a, T b) { return _mm256_div_pd(a, b); }
    static T sqrt(T a) { return _mm256_sqrt_pd(a); }
    static T min(T a, T b) { return _mm256_min_pd(a, b); }
    static Mask greater(T a, T b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static Mask greater_equal(T a, T b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static Mask equal(T a, T b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static Mask equal_or_unordered(T a, T b) { return _mm256_cmp_pd(a, b, _CMP_EQ_UQ); }
    static T select(Mask m, T a, T b) { return _mm256_blendv_pd(b, a, m); }
    static T from_low_uint16s(Int16s::T w) { return _mm256_cvtepi32_pd(_mm_cvtepu16_epi32(_mm256_castsi256_si128(w))); }
};

}  // namespace
}  // namespace avx2
}  // namespace kelvor

#endif
