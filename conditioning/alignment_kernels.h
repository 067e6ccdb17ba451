// Vector kernels of the delay search. Each one adds, for the 900 delays s,
// the exact integer sum over i < len of r[i] * (256 * dh[i + s] + dl[i + s])
// to c[s], where the degraded window has been split into its high bytes dh
// (-128 .. 127) and low bytes dl (0 .. 255). With the split every 16-bit
// pair product fits a 32-bit lane 256 times over, so a chunk of at most
// 128 vector steps is summed exactly in 32-bit lanes and widened once.
#ifndef CONDITIONING_ALIGNMENT_KERNELS_H
#define CONDITIONING_ALIGNMENT_KERNELS_H

#include <cstdint>

// len: a multiple of 32, at most the kernel's chunk length below.
// r: len samples; dh, dl: len + ALIGN_SHIFTS samples (readable up to
// len + ALIGN_SHIFTS - 1 + 32); c: ALIGN_SHIFTS sums.
constexpr int32_t ALIGN_CHUNK_SSE2 = 1024;
constexpr int32_t ALIGN_CHUNK_AVX2 = 2048;
constexpr int32_t ALIGN_CHUNK_AVX512 = 4096;

void correlate_chunk_sse2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int64_t* c);
void correlate_chunk_avx2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int64_t* c);
void correlate_chunk_avx512(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int64_t* c);

#endif
