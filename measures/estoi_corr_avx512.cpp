// ESTOI values for AVX-512, eight segments per batch. Compiled with -mavx512f and
// called only after a run-time check of the processor.
#include "measures/correlation_kernel_impl.h"

void estoi_batches_avx512(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                          NoiseJumps jumps, uint16_t* state, double* d1) {
    estoi_body(X, Y, frames, first, batches, jumps, state, d1);
}
