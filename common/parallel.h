// Fork-join on the processors this process may run on.
//
// A step that splits into independent pieces (the delays of a search, the
// chunks of a resampling, the frames or segments of a measure) hands them
// to parallel_run, which runs them at the same time, one per thread, and
// returns once all are done: piece 0 on the calling thread, the others on
// threads started for the call and joined before it returns. Nothing
// outlives the call: no pool, no thread left waiting.
//
// What it promises:
// - Every piece runs exactly once, whatever happens: a piece whose thread
//   cannot be started runs on the calling thread after piece 0. A step
//   therefore gives the same result on any number of threads, provided its
//   pieces are independent (each writes its own memory and none reads what
//   another writes) and its result does not depend on which thread ran a
//   piece.
// - With one thread (one processor, or a setting of 1) every piece runs on
//   the calling thread, in order, and no thread is started at all.
// - A piece must not allocate from the heap: the order of a scoring's
//   heap requests is part of what its callers report when memory runs out,
//   so every array is allocated on the calling thread before the pieces
//   start.
// - The threads it starts block the signals sent to the process (those
//   keep going to the caller's threads; a fault's own signal still reaches
//   its handler) and have a setting of 1, so that a piece that calls
//   another parallel step runs it inline.
#ifndef COMMON_PARALLEL_H
#define COMMON_PARALLEL_H

#include <cstdint>

namespace kelvor {

// The most threads one step uses, however many processors there are.
constexpr int32_t PARALLEL_MAX_THREADS = 32;

// The threads a step started on the calling thread may use, 1 ..
// PARALLEL_MAX_THREADS: the calling thread's setting when it is not 0,
// else the number of processors the calling thread may run on
// (sched_getaffinity, asked on every call, so that a change of affinity
// counts at once).
int32_t parallel_threads();

// Sets the calling thread's setting and returns the previous one: 0 (the
// default of every thread the program starts itself) for one thread per
// processor it may run on, 1 for everything on the calling thread, N for N
// threads, even beyond the processor count (a larger N is stored as
// PARALLEL_MAX_THREADS, the most any step uses). A negative value changes
// nothing. Only the calling thread is affected.
int32_t parallel_set_threads(int32_t threads);

// How many pieces a step of `units` units of work should be cut into so
// that each piece has at least `min_units` of them: parallel_threads(),
// lowered to units / min_units, and at least 1.
int32_t parallel_pieces(int64_t units, int64_t min_units);

// Piece `piece` of `pieces` runs piece(context, piece, pieces).
typedef void (*ParallelPiece)(void* context, int32_t piece, int32_t pieces);

// Runs piece(context, i, pieces) for i = 0 .. pieces - 1 and returns when
// every one has returned (see above). pieces below 2 runs piece 0 of 1
// inline; pieces beyond PARALLEL_MAX_THREADS are run on the calling thread
// after piece 0.
void parallel_run(int32_t pieces, ParallelPiece piece, void* context);

// Share `piece` of `pieces` of the units 0 .. count - 1: [*begin, *end).
// The shares are contiguous, in piece order, cover every unit once and
// differ in size by at most one (the first ones are the larger).
void parallel_share(int32_t count, int32_t piece, int32_t pieces, int32_t* begin, int32_t* end);

// The same in whole batches of `batch` units (a vector kernel's width, a
// block of samples): the batches 0 .. ceil(count / batch) - 1 shared as
// above, and [*begin, *end) their units, so that every share but the last
// non-empty one is whole batches and starts on a batch boundary; the last
// batch may be short. Always 0 <= *begin <= *end <= count (count >= 0).
void parallel_share_batches(int32_t count, int32_t batch, int32_t piece, int32_t pieces, int32_t* begin,
                            int32_t* end);

}  // namespace kelvor

#endif
