// The library's thread setting (kelvor_set_threads in include/kelvor/stoi.h):
// the calling thread's setting of the fork-join helper that every step of
// a scoring shares its work out with (common/parallel.h).
#include "common/parallel.h"
#include "kelvor/stoi.h"

static_assert(kelvor::PARALLEL_MAX_THREADS == KELVOR_MAX_THREADS, "the most threads a step uses");

extern "C" int kelvor_set_threads(int threads) {
    if (threads < 0) return KELVOR_ERR_BAD_ARGUMENT;
    return kelvor::parallel_set_threads(threads);
}
