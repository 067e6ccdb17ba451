// Resampler kernel for AVX2 (4 doubles per vector). Compiled with -mavx2
// and called only after a run-time check of the processor.
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace {

struct Vec {
    typedef __m256d V;
    static constexpr int32_t W = 4;
    static V zero() { return _mm256_setzero_pd(); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static V broadcast(const double* p) { return _mm256_broadcast_sd(p); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
};

// 2 vectors: 10 accumulators, 2 inputs and a coefficient of 16 registers.
constexpr int BLOCK_VECTORS = 2;

}  // namespace

#include "conditioning/resampler_kernel_impl.h"

void resample_groups_avx2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride)
{
    groups_body(streams, stride, coefs, groups, sums, sums_stride);
}

#else

#include "conditioning/resampler_kernels.h"

void resample_groups_avx2(const double*, int32_t, const double*, int32_t, double*, int32_t) {}

#endif
