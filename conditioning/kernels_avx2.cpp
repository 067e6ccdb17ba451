// The delay-search and resampler kernels for AVX2 (kernels.h): 16 samples
// and 4 doubles per vector. Compiled with -mavx2.
#include "common/lanes_avx2.h"
#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
#include "conditioning/polyphase_kernel_impl.h"
#include "conditioning/resampler_kernel_impl.h"

namespace kelvor {

void correlate_chunk_avx2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c) {
    correlate_chunk_body<avx2::Int16s>(r, dh, dl, len, k_begin, k_end, c);
}

// Two vectors of groups at a time: 10 accumulators, 2 inputs and a
// coefficient of the 16 registers.
void resample_groups_avx2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride) {
    groups_body<avx2::Doubles, 2>(streams, stride, coefs, groups, sums, sums_stride);
}

void polyphase_run_avx2(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                        double* y, double* scratch) {
    polyphase_groups<avx2::Doubles, 2>(f, x, first, k0, count, y, scratch);
}

int32_t delay_sums_avx2(double* sums, const double* x, const double* y, int32_t count, int32_t shifts) {
    return delay_sums_kernel<avx2::Doubles>(sums, x, y, count, shifts);
}

}  // namespace kelvor
