// The vector kernels of the measures, one source per instruction set
// (kernels_avx2.cpp, kernels_avx512.cpp), built only for x86 processors.
// Each is called only after a run-time check of the processor
// (common/cpu.h), and each gives the same bits as the plain loop it stands
// for.
//
// Correlations. The STOI and ESTOI correlations run several consecutive
// segments at once, one segment in each lane of a vector. A lane performs
// exactly the operations of the plain loops for its segment, in their
// order and with their roundings, so the results are the same bits; the
// segments are independent, and their order only matters for the noise,
// which each lane draws from its own segment's place in the sequence.
//
// A kernel handles `batches` batches of W = measure_lanes(level) segments,
// segments first .. first + W * batches - 1; the callers run the remaining
// segments with the scalar code. The kernel sources only instantiate the
// bodies of the *_impl.h headers with their instruction set's lanes
// (common/lanes.h), but for the AVX-512 kernels of the tool profile's
// spectra and silent-frame removal, which are written for that set alone.
#ifndef MEASURES_KERNELS_H
#define MEASURES_KERNELS_H

#include <cstdint>

#include "common/cpu.h"
#include "common/geometry.h"
#include "common/lanes.h"

namespace kelvor {

// ------------------------------------------------------------ correlations

// Segments (or frames) per vector of the measures' kernels at a level: the
// doubles of a vector of its instruction set, or 1 below AVX2, where the
// measures run their plain loops.
inline int32_t measure_lanes(IsaLevel level) {
    return level >= ISA_AVX512 ? DOUBLE_LANES_AVX512 : (level >= ISA_AVX2 ? DOUBLE_LANES_AVX2 : 1);
}

// STOI: d_interm[j * segments + m] for every band j and the kernel's
// segments m (see stoi_correlations).
void stoi_batches_avx2(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                       int32_t batches, double c, double* d_interm);
void stoi_batches_avx512(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t first,
                         int32_t batches, double c, double* d_interm);

// The noise generator's jump-ahead: state i steps after s is
// (mul[i] * s + add[i]) mod 65536, for i = 0 .. 1800 (one segment's draws).
struct NoiseJumps {
    const uint16_t* mul;
    const uint16_t* add;
};

// ESTOI: d1[m] for the kernel's segments m (see estoi_segment). *state is
// the noise state before segment `first` and is left after the last
// segment of the last batch.
void estoi_batches_avx2(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                        NoiseJumps jumps, uint16_t* state, double* d1);
void estoi_batches_avx512(const double* X, const double* Y, int32_t frames, int32_t first, int32_t batches,
                          NoiseJumps jumps, uint16_t* state, double* d1);

// ------------------------------------------ double-precision power spectra

struct PowerTwiddles;

// band_envelopes_lanes (power_spectrum.h), 4 (AVX2) or 8 (AVX-512) frames
// per vector: all eight lanes computed, the first `count` frames'
// envelopes stored.
void band_envelopes_avx2(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                         double* env, const PowerTwiddles& tw);
void band_envelopes_avx512(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                           double* env, const PowerTwiddles& tw);

// ------------------------------------------ reference profile's segments

struct SegmentInput;
struct SegmentOutput;

// segment_batch (reference_segments_impl.h) for 4 (AVX2) or 8 (AVX-512)
// segments, one per lane.
void reference_segments_avx2(const SegmentInput& in, const SegmentOutput& out);
void reference_segments_avx512(const SegmentInput& in, const SegmentOutput& out);

// segment_batch for `count` segments at a level: a whole batch
// (measure_lanes(level) segments) by the level's kernel, one segment by the
// plain loop.
void reference_segments_using(IsaLevel level, int32_t count, const SegmentInput& in, const SegmentOutput& out);

// ------------------------------------------ reference profile's gradient

struct SegmentGradientInput;
struct SegmentGradientOutput;

// segment_gradient_batch (reference_gradient_impl.h) for 4 (AVX2) or 8
// (AVX-512) segments, one per lane.
void reference_segment_gradients_avx2(const SegmentGradientInput& in, const SegmentGradientOutput& out);
void reference_segment_gradients_avx512(const SegmentGradientInput& in, const SegmentGradientOutput& out);

// frame_gradients_kernel (reference_gradient_impl.h), 4 (AVX2) or 8
// (AVX-512) frames per vector.
void frame_gradients_avx2(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                          const double* const* coef, double* const* out, const PowerTwiddles& tw);
void frame_gradients_avx512(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi,
                            int32_t bands, const double* const* coef, double* const* out, const PowerTwiddles& tw);

// --------------------------------------------------- silent-frame removal

// energy[i] = the sum over n = 0..255, ascending, of ((x[128 i + n] *
// 2^-15) * window[n])^2, for the frames i = first .. first + 8 * batches - 1:
// what remove sums before the square root of each frame's level. AVX-512
// only.
void frame_energies_pcm_avx512(const int16_t* x, const double* window, int32_t first, int32_t batches,
                               double* energy);

// -------------------------------------------------- spectra and envelopes

// The bins of each band, read off the band mask: band j covers
// bins[first[j]] .. bins[first[j + 1] - 1], ascending; every band bin lies
// in lo .. hi - 1 (lo = hi = 0 when no band has a bin).
struct BandBins {
    int16_t bins[BAND_COUNT * BIN_COUNT];
    int32_t first[BAND_COUNT + 1];
    int32_t lo;
    int32_t hi;
};

// Band envelopes of frames first_frame .. first_frame + 8 * batches - 1 of
// signal into out[j * frames + t] (band-major), eight frames at a time, as
// stdft_bands computes them one by one. window: the 256-point analysis
// window. AVX-512 only.
void stdft_bands_avx512(const double* signal, const double* window, const BandBins* bands, int32_t first_frame,
                        int32_t batches, int32_t frames, double* out);

}  // namespace kelvor

#endif
