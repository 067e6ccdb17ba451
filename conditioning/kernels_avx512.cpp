// The delay-search and resampler kernels for AVX-512 (kernels.h): 32
// samples and 8 doubles per vector. Compiled with -mavx512f -mavx512bw (and
// DQ, VL).
#include "common/lanes_avx512.h"
#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
#include "conditioning/polyphase_kernel_impl.h"
#include "conditioning/resampler_kernel_impl.h"

namespace kelvor {

void correlate_chunk_avx512(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                            int32_t k_end, int64_t* c) {
    correlate_chunk_body<avx512::Int16s>(r, dh, dl, len, k_begin, k_end, c);
}

// Four vectors of groups at a time: 20 accumulators, 5 coefficients and 4
// inputs of the 32 registers.
void resample_groups_avx512(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                            int32_t sums_stride) {
    groups_body<avx512::Doubles, 4>(streams, stride, coefs, groups, sums, sums_stride);
}

void polyphase_run_avx512(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                          double* y, double* scratch) {
    polyphase_groups<avx512::Doubles, 4>(f, x, first, k0, count, y, scratch);
}

int32_t delay_sums_avx512(double* sums, const double* x, const double* y, int32_t count, int32_t shifts) {
    return delay_sums_kernel<avx512::Doubles>(sums, x, y, count, shifts);
}

}  // namespace kelvor
