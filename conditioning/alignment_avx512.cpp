// Delay-search kernel for AVX-512 (32 samples per vector). Compiled with
// -mavx512bw and called only after a run-time check of the processor.
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace {

struct Vec {
    typedef __m512i V;
    static constexpr int32_t W = 32;
    static V zero() { return _mm512_setzero_si512(); }
    static V load(const int16_t* p) { return _mm512_load_si512(p); }
    static V madd_add(V acc, V a, V b) { return _mm512_add_epi32(acc, _mm512_madd_epi16(a, b)); }
    static int64_t lane_sum(V v) {
        alignas(64) int32_t lanes[16];
        _mm512_store_si512(lanes, v);
        int64_t sum = 0;
        for (int i = 0; i < 16; i++) sum += lanes[i];
        return sum;
    }
};

}  // namespace

#include "conditioning/alignment_kernel_impl.h"

void correlate_chunk_avx512(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int64_t* c) {
    correlate_chunk_body(r, dh, dl, len, c);
}

#else

#include "conditioning/alignment_kernels.h"

void correlate_chunk_avx512(const int16_t*, const int16_t*, const int16_t*, int32_t, int64_t*) {}

#endif
