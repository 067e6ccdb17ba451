// Vector kernel of the silent-frame removal.
#ifndef MEASURES_SILENCE_KERNELS_H
#define MEASURES_SILENCE_KERNELS_H

#include <cstdint>

// energy[i] = the sum over n = 0..255, ascending, of ((x[128 i + n] *
// 2^-15) * window[n])^2, for the frames i = first .. first + 8 * batches - 1:
// what remove sums before the square root of each frame's level. AVX-512
// only.
void frame_energies_pcm_avx512(const int16_t* x, const double* window, int32_t first, int32_t batches,
                               double* energy);

#endif
