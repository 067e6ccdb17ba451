// The delay-search and resampler kernels for SSE2, the x86-64 baseline
// (kernels.h): 8 samples and 2 doubles per vector.
#include "common/lanes_sse2.h"
#include "conditioning/alignment_kernel_impl.h"
#include "conditioning/kernels.h"
#include "conditioning/resampler_kernel_impl.h"

namespace kelvor {

void correlate_chunk_sse2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c) {
    correlate_chunk_body<sse2::Int16s>(r, dh, dl, len, k_begin, k_end, c);
}

// Two vectors of groups at a time: 10 accumulators, 2 inputs and a
// coefficient of the 16 registers.
void resample_groups_sse2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride) {
    groups_body<sse2::Doubles, 2>(streams, stride, coefs, groups, sums, sums_stride);
}

}  // namespace kelvor
