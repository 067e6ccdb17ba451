// Resampler kernel for AVX-512 (8 doubles per vector). Compiled with
// -mavx512f and called only after a run-time check of the processor.
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace {

struct Vec {
    typedef __m512d V;
    static constexpr int32_t W = 8;
    static V zero() { return _mm512_setzero_pd(); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static V broadcast(const double* p) { return _mm512_set1_pd(*p); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
};

// 2 vectors: 10 accumulators, 5 coefficients and 2 inputs of 32 registers.
constexpr int BLOCK_VECTORS = 4;

}  // namespace

#include "conditioning/resampler_kernel_impl.h"

void resample_groups_avx512(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                            int32_t sums_stride)
{
    groups_body(streams, stride, coefs, groups, sums, sums_stride);
}

#else

#include "conditioning/resampler_kernels.h"

void resample_groups_avx512(const double*, int32_t, const double*, int32_t, double*, int32_t) {}

#endif
