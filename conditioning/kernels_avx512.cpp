// The delay-search and resampler kernels for AVX-512: 32 samples and 8
// doubles per vector. Compiled with -mavx512f -mavx512bw (and DQ, VL).
#include "common/intrinsics.h"

#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
#include "conditioning/polyphase_kernel_impl.h"
#include "conditioning/resampler_kernel_impl.h"

namespace kelvor {

namespace {

struct AlignVec {
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

struct ResampleVec {
    typedef __m512d V;
    static constexpr int32_t W = 8;
    // 4 vectors: 20 accumulators, 5 coefficients and 4 inputs of 32 registers.
    static constexpr int BLOCK_VECTORS = 4;
    static V zero() { return _mm512_setzero_pd(); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static V broadcast(const double* p) { return _mm512_set1_pd(*p); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
};

}  // namespace

void correlate_chunk_avx512(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                            int32_t k_end, int64_t* c) {
    static_assert(AlignVec::W == ALIGN_RESIDUES_AVX512, "residues are the vector width");
    correlate_chunk_body<AlignVec>(r, dh, dl, len, k_begin, k_end, c);
}

void resample_groups_avx512(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                            int32_t sums_stride) {
    groups_body<ResampleVec>(streams, stride, coefs, groups, sums, sums_stride);
}

void polyphase_run_avx512(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                          double* y, double* scratch) {
    polyphase_groups<ResampleVec, 4>(f, x, first, k0, count, y, scratch);
}

int32_t delay_sums_avx512(double* sums, const double* x, const double* y, int32_t count, int32_t shifts) {
    return delay_sums_kernel<ResampleVec>(sums, x, y, count, shifts);
}

}  // namespace kelvor
