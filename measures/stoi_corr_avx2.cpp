// STOI correlations for AVX2, four segments per batch. Compiled with -mavx2 and
// called only after a run-time check of the processor.
#include "measures/correlation_kernel_impl.h"

void stoi_batches_avx2(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                       int32_t batches, double c, double* d_interm) {
    stoi_body(X, Y, frames, segments, first, batches, c, d_interm);
}
