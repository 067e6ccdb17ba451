// The measure pipeline on signals that are already doubles.
#ifndef MEASURES_PIPELINE_H
#define MEASURES_PIPELINE_H

#include <cstdint>

namespace kelvor {

// Minimum number of frames that must survive silent-frame removal, less one:
// the run needs more than this many.
constexpr int32_t MIN_FRAMES_EXCLUSIVE = 30;

// STOI (the result) and ESTOI (*estoi) of y against x, n doubles each at
// 10 kHz in the range of +-1; *t1 and *t2 receive the seconds spent on STOI
// (from silent-frame removal on) and on ESTOI. Rewrites analysis_window,
// continues noise_state and restarts the stopwatch. Ends the process with
// status 1 after "ERROR: STOI -- Too short file" when 30 frames or fewer
// survive silent-frame removal, or after a message when memory runs out.
double stoi_estoi(const double* x, const double* y, int32_t n, double* estoi,
                  double* t1, double* t2);

}  // namespace kelvor

#endif
