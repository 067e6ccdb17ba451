// Vector kernel of stdft_bands and the band layout it works from.
#ifndef MEASURES_SPECTRUM_KERNELS_H
#define MEASURES_SPECTRUM_KERNELS_H

#include <cstdint>

constexpr int32_t BAND_BINS_BANDS = 15;
constexpr int32_t BAND_BINS_BINS = 257;

// The bins of each band, read off the band mask: band j covers
// bins[first[j]] .. bins[first[j + 1] - 1], ascending; every band bin lies
// in lo .. hi - 1 (lo = hi = 0 when no band has a bin).
struct BandBins {
    int16_t bins[BAND_BINS_BANDS * BAND_BINS_BINS];
    int32_t first[BAND_BINS_BANDS + 1];
    int32_t lo;
    int32_t hi;
};

// Band envelopes of frames first_frame .. first_frame + 8 * batches - 1 of
// signal into out[j * frames + t] (band-major), eight frames at a time, as
// stdft_bands computes them one by one. window: the 256-point analysis
// window. AVX-512 only.
void stdft_bands_avx512(const double* signal, const double* window, const BandBins* bands, int32_t first_frame,
                        int32_t batches, int32_t frames, double* out);

#endif
