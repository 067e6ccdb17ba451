// The delay-search and resampler kernels for AVX2: 16 samples and 4
// doubles per vector. Compiled with -mavx2.
#include "common/intrinsics.h"

#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
#include "conditioning/polyphase_kernel_impl.h"
#include "conditioning/resampler_kernel_impl.h"

namespace kelvor {

namespace {

struct AlignVec {
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

struct ResampleVec {
    typedef __m256d V;
    static constexpr int32_t W = 4;
    // 2 vectors: 10 accumulators, 2 inputs and a coefficient of 16 registers.
    static constexpr int BLOCK_VECTORS = 2;
    static V zero() { return _mm256_setzero_pd(); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    // The value loaded, then set: GCC takes _mm256_broadcast_sd's pointer
    // for a read that may alias the accumulators, and keeps the polyphase
    // kernel's in memory across every lag.
    static V broadcast(const double* p) { return _mm256_set1_pd(*p); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
};

}  // namespace

void correlate_chunk_avx2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c) {
    static_assert(AlignVec::W == ALIGN_RESIDUES_AVX2, "residues are the vector width");
    correlate_chunk_body<AlignVec>(r, dh, dl, len, k_begin, k_end, c);
}

void resample_groups_avx2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride) {
    groups_body<ResampleVec>(streams, stride, coefs, groups, sums, sums_stride);
}

void polyphase_run_avx2(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                        double* y, double* scratch) {
    polyphase_groups<ResampleVec, 2>(f, x, first, k0, count, y, scratch);
}

int32_t delay_sums_avx2(double* sums, const double* x, const double* y, int32_t count, int32_t shifts) {
    return delay_sums_kernel<ResampleVec>(sums, x, y, count, shifts);
}

}  // namespace kelvor
