// Removal of the reference signal's silent frames from both signals.
#ifndef MEASURES_SILENCE_H
#define MEASURES_SILENCE_H

#include <cstdint>

namespace kelvor {

// Dynamic range below the loudest reference frame within which frames are
// kept, in dB.
constexpr double SILENCE_RANGE_DB = 40.0;

// Measures the level of each of the frames reference frames of x (frames is
// frame_count(length)), keeps the frames whose level is strictly above the
// loudest level minus 40 dB, and rebuilds x and y from the kept frames by
// overlap-add of the windowed frames at a hop of 128 into xs and ys. The
// degraded signal y follows the reference's choice. xs and ys (length
// doubles each) are cleared first. Returns the rebuilt length: 0 when no
// frame is kept, else 128 * (kept + 1). Reads analysis_window, which must
// hold the window.
int32_t remove(const double* x, const double* y, int32_t length, int32_t frames,
               double* xs, double* ys);

// The same on 16-bit samples, each standing for the double sample * 2^-15
// (exact) that the pipeline would convert it to: the same results, bit for
// bit, without the converted arrays.
int32_t remove(const int16_t* x, const int16_t* y, int32_t length, int32_t frames,
               double* xs, double* ys);

// The levels in dB of frames 0 .. frames - 1 of x, as remove measures them:
// msk[i] = 20 log10(sqrt(e) * (1/16)) with e the sum, in ascending n, of the
// squared windowed samples (x[128 i + n] * w[n])^2 (-inf for a silent
// frame). tmp is 256 doubles of scratch.
void frame_levels(const double* x, int32_t frames, double* msk, double* tmp);
// The same on 16-bit samples (times 2^-15). Its fast path forms the sums of
// eight frames at a time (measures/kernels.h), the same bits.
void frame_levels(const int16_t* x, int32_t frames, double* msk, double* tmp);

}  // namespace kelvor

#endif
