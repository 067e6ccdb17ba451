// Process-wide stopwatch for the step timings of option -t.
#ifndef DRIVER_TIMER_H
#define DRIVER_TIMER_H

void timer_init();      // queries the counter frequency
void timer_start();     // records the current counter reading
double timer_elapsed(); // seconds since the last timer_start; does not restart

#endif
