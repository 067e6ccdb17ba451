// The measures' kernels for AVX2: the STOI and ESTOI correlations (four
// segments per batch) and the reference profile's band envelopes and
// segments (four per vector) and their gradients. Compiled with -mavx2.
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

// ------------------- reference profile's envelopes and segments, and their gradient

#include "measures/power_spectrum.h"
#include "measures/power_spectrum_impl.h"
#include "measures/reference_gradient_impl.h"
#include "measures/reference_segments_impl.h"

namespace kelvor {

namespace {

// Four doubles, one frame or segment per lane. __m256d is a GCC vector
// type, so the envelopes' body takes its +, -, * as they are.
struct SegmentLanes {
    typedef __m256d T;
    static constexpr int32_t W = 4;
    static T zero() { return _mm256_setzero_pd(); }
    static T splat(double v) { return _mm256_set1_pd(v); }
    static T load(const double* p) { return _mm256_loadu_pd(p); }
    static T add(T a, T b) { return _mm256_add_pd(a, b); }
    static T sub(T a, T b) { return _mm256_sub_pd(a, b); }
    static T mul(T a, T b) { return _mm256_mul_pd(a, b); }
    static T div(T a, T b) { return _mm256_div_pd(a, b); }
    static T sqrt(T a) { return _mm256_sqrt_pd(a); }
    // a < b ? a : b, lane by lane.
    static T min(T a, T b) { return _mm256_min_pd(a, b); }
    typedef __m256d Mask;
    static Mask positive(T a) { return _mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_GT_OQ); }
    static T select(Mask m, T a, T b) { return _mm256_blendv_pd(b, a, m); }
    static void store(double* p, T v) { _mm256_store_pd(p, v); }
};

}  // namespace

void band_envelopes_avx2(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                         double* env, const PowerTwiddles& tw) {
    band_envelopes_kernel<SegmentLanes>(frames, count, lo, hi, bands, env, tw);
}

void reference_segments_avx2(const SegmentInput& in, const SegmentOutput& out) {
    segment_batch<SegmentLanes>(in, out);
}

void reference_segment_gradients_avx2(const SegmentGradientInput& in, const SegmentGradientOutput& out) {
    segment_gradient_batch<SegmentLanes>(in, out);
}

void frame_gradients_avx2(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                     const double* const* coef, double* const* out, const PowerTwiddles& tw) {
    frame_gradients_kernel<SegmentLanes>(frames, count, lo, hi, bands, coef, out, tw);
}

}  // namespace kelvor
