// Removal of the reference signal's silent frames from both signals.
#ifndef MEASURES_SILENCE_H
#define MEASURES_SILENCE_H

#include <cstdint>

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

#endif
