#include "driver/timer.h"

#include <cstdint>
#include <time.h>

namespace {

// The counter is CLOCK_MONOTONIC read in nanoseconds.
constexpr int64_t NANOSECONDS_PER_SECOND = 1000000000;

int64_t counter_frequency = NANOSECONDS_PER_SECOND;
int64_t start_reading = 0;
int64_t last_reading = 0;

int64_t counter_now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NANOSECONDS_PER_SECOND + static_cast<int64_t>(ts.tv_nsec);
}

}  // namespace

void timer_init() {
    counter_frequency = NANOSECONDS_PER_SECOND;
}

void timer_start() {
    start_reading = counter_now();
}

double timer_elapsed() {
    last_reading = counter_now();
    int64_t ticks = last_reading - start_reading;  // exact in integers
    return static_cast<double>(ticks) / static_cast<double>(counter_frequency);
}
