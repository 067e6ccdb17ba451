#include "common/stopwatch.h"

#include <time.h>

namespace kelvor {

namespace {

// The counter is CLOCK_MONOTONIC read in nanoseconds.
constexpr int64_t NANOSECONDS_PER_SECOND = 1000000000;

int64_t counter_frequency = NANOSECONDS_PER_SECOND;
Stopwatch process_watch = {0};

int64_t counter_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NANOSECONDS_PER_SECOND + static_cast<int64_t>(ts.tv_nsec);
}

}  // namespace

void stopwatch_start(Stopwatch* watch) {
    watch->start = counter_now();
}

double stopwatch_elapsed(const Stopwatch* watch) {
    const int64_t ticks = counter_now() - watch->start;  // exact in integers
    return static_cast<double>(ticks) / static_cast<double>(NANOSECONDS_PER_SECOND);
}

void timer_init() {
    counter_frequency = NANOSECONDS_PER_SECOND;
}

void timer_start() {
    stopwatch_start(&process_watch);
}

double timer_elapsed() {
    const int64_t ticks = counter_now() - process_watch.start;
    return static_cast<double>(ticks) / static_cast<double>(counter_frequency);
}

}  // namespace kelvor
