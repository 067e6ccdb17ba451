// The STOI and ESTOI correlation kernels for AVX2, four segments per
// batch. Compiled with -mavx2.
#include "measures/correlation_kernel_impl.h"
#include "measures/kernels.h"

namespace kelvor {

void stoi_batches_avx2(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                       int32_t batches, double c, double* d_interm) {
    stoi_body(X, Y, frames, segments, first, batches, c, d_interm);
}

void estoi_batches_avx2(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                        NoiseJumps jumps, uint16_t* state, double* d1) {
    estoi_body(X, Y, frames, first, batches, jumps, state, d1);
}

}  // namespace kelvor
