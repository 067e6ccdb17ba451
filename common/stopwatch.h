// Stopwatches on the monotonic clock, for the step timings of option -t.
#ifndef COMMON_STOPWATCH_H
#define COMMON_STOPWATCH_H

#include <cstdint>

namespace kelvor {

// One stopwatch: the counter reading at its last start.
struct Stopwatch {
    int64_t start;
};

void stopwatch_start(Stopwatch* watch);
// Seconds since the last stopwatch_start; does not restart.
double stopwatch_elapsed(const Stopwatch* watch);

// The tool's process-wide stopwatch.
void timer_init();      // queries the counter frequency
void timer_start();     // records the current counter reading
double timer_elapsed(); // seconds since the last timer_start; does not restart

}  // namespace kelvor

#endif
