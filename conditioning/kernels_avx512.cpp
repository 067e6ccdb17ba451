// The delay-search and resampler kernels for AVX-512: 32 samples and 8
// doubles per vector. Compiled with -mavx512f -mavx512bw (and DQ, VL).
#include "common/intrinsics.h"

#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
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

void correlate_chunk_avx512(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int64_t* c) {
    correlate_chunk_body<AlignVec>(r, dh, dl, len, c);
}

void resample_groups_avx512(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                            int32_t sums_stride) {
    groups_body<ResampleVec>(streams, stride, coefs, groups, sums, sums_stride);
}

}  // namespace kelvor

namespace kelvor {

void polyphase_run_avx512(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                          double* y) {
    // Four outputs at a time, each with its own accumulator (its partial
    // sums 0 .. 7 in the lanes), so that four chains of additions overlap.
    const int32_t taps = f->taps;
    PolyphaseStep step(f, k0);
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const double* row[4];
        const double* xs[4];
        __m512d s[4];
        for (int32_t o = 0; o < 4; o++) {
            row[o] = f->coefs + static_cast<int64_t>(step.phase) * taps;
            xs[o] = x + (step.newest - taps + 1 - first);
            s[o] = _mm512_setzero_pd();
            step.next();
        }
        for (int32_t t = 0; t < taps; t += 8) {
            for (int32_t o = 0; o < 4; o++) {
                s[o] = _mm512_add_pd(s[o], _mm512_mul_pd(_mm512_load_pd(row[o] + t), _mm512_loadu_pd(xs[o] + t)));
            }
        }
        for (int32_t o = 0; o < 4; o++) {
            const __m256d a = _mm256_add_pd(_mm512_castpd512_pd256(s[o]), _mm512_extractf64x4_pd(s[o], 1));
            const __m128d b = _mm_add_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
            y[i + o] = _mm_cvtsd_f64(_mm_add_sd(b, _mm_unpackhi_pd(b, b)));
        }
    }
    for (; i < count; i++) {
        const double* row = f->coefs + static_cast<int64_t>(step.phase) * taps;
        const double* xs = x + (step.newest - taps + 1 - first);
        step.next();
        __m512d s = _mm512_setzero_pd();  // partial sums 0 .. 7
        for (int32_t t = 0; t < taps; t += 8) {
            s = _mm512_add_pd(s, _mm512_mul_pd(_mm512_load_pd(row + t), _mm512_loadu_pd(xs + t)));
        }
        const __m256d a = _mm256_add_pd(_mm512_castpd512_pd256(s), _mm512_extractf64x4_pd(s, 1));
        const __m128d b = _mm_add_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
        y[i] = _mm_cvtsd_f64(_mm_add_sd(b, _mm_unpackhi_pd(b, b)));
    }
}

}  // namespace kelvor
