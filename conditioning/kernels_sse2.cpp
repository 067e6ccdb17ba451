// The delay-search and resampler kernels for SSE2, the x86-64 baseline:
// 8 samples and 2 doubles per vector.
#include "common/intrinsics.h"

#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
#include "conditioning/resampler_kernel_impl.h"

namespace kelvor {

namespace {

struct AlignVec {
    typedef __m128i V;
    static constexpr int32_t W = 8;
    static V zero() { return _mm_setzero_si128(); }
    static V load(const int16_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
    static V madd_add(V acc, V a, V b) { return _mm_add_epi32(acc, _mm_madd_epi16(a, b)); }
    static int64_t lane_sum(V v) {
        alignas(16) int32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        return static_cast<int64_t>(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
    }
};

struct ResampleVec {
    typedef __m128d V;
    static constexpr int32_t W = 2;
    // 2 vectors: 10 accumulators, 2 inputs and a coefficient of 16 registers.
    static constexpr int BLOCK_VECTORS = 2;
    static V zero() { return _mm_setzero_pd(); }
    static V load(const double* p) { return _mm_loadu_pd(p); }
    static V broadcast(const double* p) { return _mm_set1_pd(*p); }
    static V mul(V a, V b) { return _mm_mul_pd(a, b); }
    static V add(V a, V b) { return _mm_add_pd(a, b); }
    static void store(double* p, V v) { _mm_storeu_pd(p, v); }
};

}  // namespace

void correlate_chunk_sse2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c) {
    static_assert(AlignVec::W == ALIGN_RESIDUES_SSE2, "residues are the vector width");
    correlate_chunk_body<AlignVec>(r, dh, dl, len, k_begin, k_end, c);
}

void resample_groups_sse2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride) {
    groups_body<ResampleVec>(streams, stride, coefs, groups, sums, sums_stride);
}

}  // namespace kelvor
