// Scoring pairs on several threads while handing the rows out in the order
// the pairs came in.
#ifndef KELVOR_FRONTEND_POOL_H
#define KELVOR_FRONTEND_POOL_H

#include <cstddef>
#include <functional>

#include "frontend/pair.h"
#include "frontend/row.h"

namespace kelvor::frontend {

// The hooks of run_pool. None of them should throw: next, stop and score
// run on the worker threads, where an exception has nowhere to go. Should
// one throw all the same, the pool catches it, hands out no more pairs,
// emits the rows of the pairs already handed out (in order) and rethrows
// the first such exception from run_pool once every worker has ended.
// No hook is called while the pool holds its own lock, so a hook may take
// its time (read a manifest line, take the GIL) without stalling the
// other threads.
struct PoolCallbacks {
    // The next pair to score, false when there is none. Called by the
    // workers one at a time, in the order of the rows.
    std::function<bool(PairSpec&)> next;
    // Scores one pair; called on the worker threads, several at once.
    std::function<Row(const PairSpec&)> score;
    // Receives the rows in the order of `next`, on the calling thread, one
    // at a time. May throw: the pool then stops as described above.
    std::function<void(const Row&)> emit;
    // Polled about ten times a second on the calling thread and before
    // every pair is handed out (on a worker, possibly at the same time):
    // true stops handing out pairs. The pairs already handed out are
    // scored and emitted (in order) before run_pool returns.
    std::function<bool()> stop;
    // Called on the calling thread after each row and while waiting (about
    // ten times a second); may be empty.
    std::function<void()> tick;
};

// The most worker threads a front end starts.
inline constexpr int MAX_JOBS = 1024;

// Runs `jobs` worker threads over the pairs. A worker takes a pair only
// while fewer than `window` pairs are taken but not yet emitted, so memory
// holds at most `jobs` pairs' signals and `window` rows, whatever the
// number of pairs. Returns when every pair taken has been emitted.
void run_pool(const PoolCallbacks& callbacks, int jobs, size_t window);

// Every pair allocates and frees a few buffers of some hundred kB to a few
// MB. glibc would map each of them fresh and hand it back at free once
// several threads allocate (or once a setting such as Dask's
// MALLOC_TRIM_THRESHOLD_ fixes its thresholds), so every pair paid its
// page faults again: a third more CPU at two threads, ten times more with
// Dask's setting. keep_freed_memory() has glibc serve them from the heap
// and keep freed memory for the next pair instead, up to the ceilings
// glibc's own defaults reach: the peak stays that of the pairs in flight,
// and larger blocks (hours of audio) are still mapped.
inline constexpr long KEPT_MAPPING_BYTES = 32L << 20;  // blocks up to this size come from the heap
inline constexpr long KEPT_TRIM_BYTES = 64L << 20;     // freed memory kept at the top of the heap
void keep_freed_memory();

}  // namespace kelvor::frontend

#endif
