// Power spectra of 256-sample frames zero-padded to 512 points, in double
// precision: the spectra of the reference profile (the tool's own spectra
// go through the single-precision FFT, spectrum.h).
#ifndef MEASURES_POWER_SPECTRUM_H
#define MEASURES_POWER_SPECTRUM_H

#include <cstdint>

#include "common/cpu.h"
#include "common/geometry.h"
#include "common/lanes.h"

namespace kelvor {

// power[t * 257 + k] = |X_t[k]|^2 for k = 0 .. 256, where X_t is the 512-point
// DFT (negative exponent, unscaled) of frames[t * 256 .. t * 256 + 255]
// followed by 256 zeros, for t = 0 .. count - 1.
//
// The transform packs the real frame into 256 complex values, whose upper
// half is zero, so that two 128-point complex transforms and one split give
// the spectrum. A frame of zeros gives exact zeros; the error of a bin is a
// few units in the last place of the frame's largest bin.
void power_spectra(const double* frames, int32_t count, double* power);

// The band envelopes of up to DOUBLE_LANES_MAX frames held side by side:
// frames[n * DOUBLE_LANES_MAX + l] is sample n of frame l (the layout the
// vector kernels read directly). env[l * bands + j], for the frames l <
// count, is the square root of the sum over the bins k = lo[j] .. hi[j] - 1,
// in ascending k, of the power |X_l[k]|^2 of power_spectra. Every lane of
// the vector kernels transforms a frame of its own with the operations of
// the plain loop, so every level gives the same bits.
void band_envelopes_lanes(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                          double* env);
void band_envelopes_lanes_using(IsaLevel level, const double* frames, int32_t count, const int32_t* lo,
                                const int32_t* hi, int32_t bands, double* env);

}  // namespace kelvor

#endif
