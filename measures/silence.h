// Removal of the reference signal's silent frames from both signals.
#ifndef MEASURES_SILENCE_H
#define MEASURES_SILENCE_H

#include <cstdint>

#include "measures/memory.h"

namespace kelvor {

// Dynamic range below the loudest reference frame within which frames are
// kept, in dB.
constexpr double SILENCE_RANGE_DB = 40.0;

// Measures the level of each of the frames reference frames of x (frames is
// frame_count(length)), keeps the frames whose level is strictly above the
// loudest level minus 40 dB, and rebuilds x and y from the kept frames by
// overlap-add of the windowed frames at a hop of 128 into xs and ys. The
// degraded signal y follows the reference's choice. xs and ys (length
// doubles each) are cleared first. window: the analysis window
// (FRAME_LENGTH values). kept: null, or room for `frames` indices, which
// receives the indices of the kept frames in ascending order. Returns the
// rebuilt length: 0 when no frame is kept, else 128 * (kept + 1); or -1,
// with *failure recorded, when its scratch arrays ("remove", "msk" and
// "tmp") cannot be allocated.
int32_t remove(const double* x, const double* y, int32_t length, int32_t frames, double* xs, double* ys,
               const double* window, int32_t* kept, MeasureFailure* failure);

// The same on 16-bit samples, each standing for the double sample * 2^-15
// (exact) that the pipeline would convert it to: the same results, bit for
// bit, without the converted arrays.
int32_t remove(const int16_t* x, const int16_t* y, int32_t length, int32_t frames, double* xs, double* ys,
               const double* window, int32_t* kept, MeasureFailure* failure);

// The levels in dB of frames 0 .. frames - 1 of x, as remove measures them:
// msk[i] = 20 log10(sqrt(e) * (1/16)) with e the sum, in ascending n, of the
// squared windowed samples (x[128 i + n] * w[n])^2 (-inf for a silent
// frame). tmp is 256 doubles of scratch.
void frame_levels(const double* x, int32_t frames, const double* window, double* msk, double* tmp);
// The same on 16-bit samples (times 2^-15). Its fast path forms the sums of
// eight frames at a time (measures/kernels.h), the same bits.
void frame_levels(const int16_t* x, int32_t frames, const double* window, double* msk, double* tmp);

}  // namespace kelvor

#endif
