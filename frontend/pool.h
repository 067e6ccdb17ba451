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

// Runs `jobs` worker threads over the pairs. A worker takes a pair only
// while fewer than `window` pairs are taken but not yet emitted, so memory
// holds at most `jobs` pairs' signals and `window` rows, whatever the
// number of pairs. Returns when every pair taken has been emitted.
void run_pool(const PoolCallbacks& callbacks, int jobs, size_t window);

}  // namespace kelvor::frontend

#endif
