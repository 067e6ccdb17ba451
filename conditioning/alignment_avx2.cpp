// Delay-search kernel for AVX2 (16 samples per vector). Compiled with
// -mavx2 and called only after a run-time check of the processor.
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace {

struct Vec {
    typedef __m256i V;
    static constexpr int32_t W = 16;
    static V zero() { return _mm256_setzero_si256(); }
    static V load(const int16_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
    static V madd_add(V acc, V a, V b) { return _mm256_add_epi32(acc, _mm256_madd_epi16(a, b)); }
    static int64_t lane_sum(V v) {
        alignas(32) int32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
        int64_t sum = 0;
        for (int i = 0; i < 8; i++) sum += lanes[i];
        return sum;
    }
};

}  // namespace

#include "conditioning/alignment_kernel_impl.h"

void correlate_chunk_avx2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int64_t* c) {
    correlate_chunk_body(r, dh, dl, len, c);
}

#else

#include "conditioning/alignment_kernels.h"

void correlate_chunk_avx2(const int16_t*, const int16_t*, const int16_t*, int32_t, int64_t*) {}

#endif
