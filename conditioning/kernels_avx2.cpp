// The delay-search and resampler kernels for AVX2: 16 samples and 4
// doubles per vector. Compiled with -mavx2.
#include "common/intrinsics.h"

#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
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
    static V broadcast(const double* p) { return _mm256_broadcast_sd(p); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
};

}  // namespace

void correlate_chunk_avx2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int64_t* c) {
    correlate_chunk_body<AlignVec>(r, dh, dl, len, c);
}

void resample_groups_avx2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride) {
    groups_body<ResampleVec>(streams, stride, coefs, groups, sums, sums_stride);
}

}  // namespace kelvor

namespace kelvor {

void polyphase_run_avx2(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                        double* y) {
    // Three outputs at a time, each with two accumulators (partial sums
    // 0 .. 3 and 4 .. 7), so that six chains of additions overlap.
    const int32_t taps = f->taps;
    PolyphaseStep step(f, k0);
    int32_t i = 0;
    for (; i < count;) {
        const int32_t group = count - i >= 3 ? 3 : 1;
        const double* row[3];
        const double* xs[3];
        __m256d lo[3];
        __m256d hi[3];
        for (int32_t o = 0; o < group; o++) {
            row[o] = f->coefs + static_cast<int64_t>(step.phase) * taps;
            xs[o] = x + (step.newest - taps + 1 - first);
            step.next();
            lo[o] = _mm256_setzero_pd();
            hi[o] = _mm256_setzero_pd();
        }
        if (group == 3) {
            for (int32_t t = 0; t < taps; t += 8) {
                for (int32_t o = 0; o < 3; o++) {
                    lo[o] = _mm256_add_pd(lo[o], _mm256_mul_pd(_mm256_load_pd(row[o] + t), _mm256_loadu_pd(xs[o] + t)));
                    hi[o] = _mm256_add_pd(hi[o],
                                          _mm256_mul_pd(_mm256_load_pd(row[o] + t + 4), _mm256_loadu_pd(xs[o] + t + 4)));
                }
            }
        } else {
            for (int32_t t = 0; t < taps; t += 8) {
                lo[0] = _mm256_add_pd(lo[0], _mm256_mul_pd(_mm256_load_pd(row[0] + t), _mm256_loadu_pd(xs[0] + t)));
                hi[0] = _mm256_add_pd(hi[0], _mm256_mul_pd(_mm256_load_pd(row[0] + t + 4), _mm256_loadu_pd(xs[0] + t + 4)));
            }
        }
        for (int32_t o = 0; o < group; o++) {
            const __m256d a = _mm256_add_pd(lo[o], hi[o]);  // s0+s4, s1+s5, s2+s6, s3+s7
            const __m128d b = _mm_add_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
            y[i + o] = _mm_cvtsd_f64(_mm_add_sd(b, _mm_unpackhi_pd(b, b)));
        }
        i += group;
    }
}

}  // namespace kelvor
