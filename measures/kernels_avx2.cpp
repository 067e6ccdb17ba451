// The measures' kernels for AVX2 (kernels.h): the STOI and ESTOI
// correlations and the reference profile's band envelopes and segments and
// their gradients, four segments or frames per vector. Compiled with
// -mavx2.
#include "common/lanes_avx2.h"
#include "measures/correlation_kernel_impl.h"
#include "measures/kernels.h"
#include "measures/power_spectrum_impl.h"
#include "measures/reference_gradient_impl.h"
#include "measures/reference_segments_impl.h"

namespace kelvor {

void stoi_batches_avx2(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                       int32_t batches, double c, double* d_interm) {
    stoi_body<avx2::Doubles>(X, Y, frames, segments, first, batches, c, d_interm);
}

void estoi_batches_avx2(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                        NoiseJumps jumps, uint16_t* state, double* d1) {
    estoi_body<avx2::Doubles, avx2::Int16s>(X, Y, frames, first, batches, jumps, state, d1);
}

void band_envelopes_avx2(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                         double* env, const PowerTwiddles& tw) {
    band_envelopes_kernel<avx2::Doubles>(frames, count, lo, hi, bands, env, tw);
}

void reference_segments_avx2(const SegmentInput& in, const SegmentOutput& out) {
    segment_batch<avx2::Doubles>(in, out);
}

void reference_segment_gradients_avx2(const SegmentGradientInput& in, const SegmentGradientOutput& out) {
    segment_gradient_batch<avx2::Doubles>(in, out);
}

void frame_gradients_avx2(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                          const double* const* coef, double* const* out, const PowerTwiddles& tw) {
    frame_gradients_kernel<avx2::Doubles>(frames, count, lo, hi, bands, coef, out, tw);
}

}  // namespace kelvor
