// Power spectra of 256-sample frames zero-padded to 512 points, in double
// precision: the spectra of the reference profile (the tool's own spectra
// go through the single-precision FFT, spectrum.h).
#ifndef MEASURES_POWER_SPECTRUM_H
#define MEASURES_POWER_SPECTRUM_H

#include <cstdint>

#include "common/cpu.h"

namespace kelvor {

constexpr int32_t POWER_FRAME = 256;  // samples per frame
constexpr int32_t POWER_BINS = 257;   // bins 0 .. 256 of the 512-point transform

// power[t * 257 + k] = |X_t[k]|^2 for k = 0 .. 256, where X_t is the 512-point
// DFT (negative exponent, unscaled) of frames[t * 256 .. t * 256 + 255]
// followed by 256 zeros, for t = 0 .. count - 1.
//
// The transform packs the real frame into 256 complex values, whose upper
// half is zero, so that two 128-point complex transforms and one split give
// the spectrum. Every lane of the vector kernels transforms a frame of its
// own with the operations of the plain loop, so every level gives the same
// bits. A frame of zeros gives exact zeros; the error of a bin is a few
// units in the last place of the frame's largest bin.
void power_spectra(const double* frames, int32_t count, double* power);
void power_spectra_using(IsaLevel level, const double* frames, int32_t count, double* power);

}  // namespace kelvor

#endif
