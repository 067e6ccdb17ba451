// Vector kernels of the STOI and ESTOI correlations: several consecutive
// segments at once, one segment in each lane of a vector. A lane performs
// exactly the operations of the plain loops for its segment, in their
// order and with their roundings, so the results are the same bits; the
// segments are independent, and their order only matters for the noise,
// which each lane draws from its own segment's place in the sequence.
//
// A kernel handles `batches` batches of W segments (W = 4 for AVX2, 8 for
// AVX-512), segments first .. first + W * batches - 1; the callers run the
// remaining segments with the scalar code.
#ifndef MEASURES_CORRELATION_KERNELS_H
#define MEASURES_CORRELATION_KERNELS_H

#include <cstdint>

// Segments per batch of each kernel.
constexpr int32_t CORRELATION_LANES_AVX2 = 4;
constexpr int32_t CORRELATION_LANES_AVX512 = 8;

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

#endif
