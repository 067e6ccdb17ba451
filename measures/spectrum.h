// Short-time magnitude spectra of 10 kHz signals and their one-third-octave
// band envelopes, on a fixed grid of 256-sample frames at a hop of 128.
#ifndef MEASURES_SPECTRUM_H
#define MEASURES_SPECTRUM_H

#include <cstdint>

#include "common/geometry.h"
#include "measures/memory.h"

namespace kelvor {

constexpr int32_t FFT_ORDER = 9;  // the transform of FFT_LENGTH points, by order
static_assert((1 << FFT_ORDER) == FFT_LENGTH, "the transform's order and length");
constexpr int32_t BAND_BIN_COUNT = 212;  // bins that belong to a band, over all bands
// complex_fft works in a fixed local buffer of 2^COMPLEX_FFT_MAX_ORDER values.
constexpr int32_t COMPLEX_FFT_MAX_ORDER = 9;

// The positions band * 257 + bin of the band mask that are 1: band by band,
// bins ascending. Band j covers the bins nearest to its edges
// 150 * 2^((2j - 1)/6) Hz (included) and 150 * 2^((2j + 1)/6) Hz (excluded).
extern const int16_t band_bin_table[BAND_BIN_COUNT];

// The analysis window shared by the spectra and the silent-frame removal;
// every scoring fills its own with hann_window(w, FRAME_LENGTH).
// Symmetric window w[i] = 0.5 * (1 - cos(2 pi (i + 1) / (n + 1))) for an even
// n, whose angle is accumulated by repeated addition of 2 pi / (n + 1) over
// the first half; the second half mirrors the first.
void hann_window(double* w, int32_t n);

// Number of whole frames in a signal of length samples: 0 up to 256 samples,
// else (length - 257) / 128 + 1. The last frame that would just fit is not
// counted.
int32_t frame_count(int32_t length);

// Transforms 2^order complex values (interleaved re, im doubles) in place,
// forward (negative exponent, unscaled) or inverse, in single precision:
// the values are rounded to float, transformed by nspcFft and widened back.
// order must lie in 0 .. COMPLEX_FFT_MAX_ORDER.
void complex_fft(double* data, int32_t order, bool inverse);

// Magnitude spectra of frames 0 .. frames - 1 of signal, each windowed by
// window (FRAME_LENGTH values), zero-padded to 512 points:
// spectrum[t * 257 + k] is bin k of frame t. signal must hold
// 128 * (frames - 1) + 256 samples. Returns false, with *failure recorded,
// when its scratch arrays ("stdft", "tmp" and "ctmp") or the FFT's tables
// cannot be had.
bool stdft(const double* signal, double* spectrum, int32_t frames, const double* window, MeasureFailure* failure);

// Clears the 15 x 257 band mask and sets the positions of band_bin_table.
void fill_band_mask(uint8_t* mask);

// Band envelopes of two spectra of frames frames each: X[j * frames + t] is
// the square root of the sum, over the bins of band j in ascending order, of
// the squared magnitudes of frame t of ax; Y likewise from ay.
void band_envelopes(const double* ax, const double* ay, const uint8_t* mask,
                    int32_t frames, double* X, double* Y);

// The same envelopes by the plain loop, which weights all 257 bins of every
// band by their mask value. Bins outside a band add an exact +0 to a sum
// that starts at +0, so band_envelopes, which sums over the band's own bins
// only, gives the same bits; it falls back to this loop at the level
// ISA_PLAIN (common/cpu.h).
void band_envelopes_plain(const double* ax, const double* ay, const uint8_t* mask,
                          int32_t frames, double* X, double* Y);

// stdft followed by band_envelopes, for one signal, without the full
// spectra: each frame's magnitudes of the bins that belong to a band go
// straight into that frame's band envelopes, bands[j * frames + t] (band-
// major, 15 * frames doubles; the pipeline lends it the start of the
// spectrum array, whose full spectra it then never needs). The values are
// the same bits as those of stdft and band_envelopes: the same windowed
// frame rounded to single precision, the same transform, the same
// magnitudes summed in the same order. Allocates and frees stdft's scratch
// arrays in stdft's order, and fails as stdft does.
bool stdft_bands(const double* signal, const uint8_t* mask, double* bands, int32_t frames, const double* window,
                 MeasureFailure* failure);

}  // namespace kelvor

#endif
