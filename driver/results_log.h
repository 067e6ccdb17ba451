// The results log "stoi_results.txt": one tab-separated row per completed run.
#ifndef DRIVER_RESULTS_LOG_H
#define DRIVER_RESULTS_LOG_H

#include <cstdint>

#include "driver/options.h"

namespace kelvor {

// Appends the row of a completed run, with the header line first when the
// log is empty. A log that cannot be opened is skipped with a warning on
// standard error; a log that is not a regular file (the null device
// excepted), cannot be positioned or cannot be written ends the process
// with status 1. Concurrent runs in one directory are serialised by an
// advisory lock, so each row lands whole and only one header is ever
// written; where the lock cannot be taken a warning says so and the row is
// appended in one write without it.
void append_results_row(const char* reference_name, const char* degraded_name, double stoi,
                        double estoi, const RunOptions* options, int32_t align_shift);

}  // namespace kelvor

#endif
