#include "common/parallel.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#ifdef __linux__
#include <sched.h>
#endif

namespace kelvor {

namespace {

// The calling thread's setting; 0 in every thread until it sets one.
thread_local int32_t thread_setting = 0;

int32_t capped(int64_t threads) {
    if (threads < 1) return 1;
    return threads > PARALLEL_MAX_THREADS ? PARALLEL_MAX_THREADS : static_cast<int32_t>(threads);
}

// The processors the calling thread may run on. A fixed mask of 4096
// processors on the stack, so that asking allocates nothing; a machine
// with more, or a failure, falls back to the processors online.
int32_t processors() {
#ifdef __linux__
    constexpr size_t MASK_BYTES = 4096 / 8;
    unsigned long mask[MASK_BYTES / sizeof(unsigned long)] = {};
    cpu_set_t* set = reinterpret_cast<cpu_set_t*>(mask);
    if (sched_getaffinity(0, MASK_BYTES, set) == 0) {
        const int count = CPU_COUNT_S(MASK_BYTES, set);
        if (count > 0) return capped(count);
    }
#endif
    return capped(sysconf(_SC_NPROCESSORS_ONLN));
}

struct Launch {
    ParallelPiece piece;
    void* context;
    int32_t index;
    int32_t pieces;
};

void* run_launch(void* argument) {
    const Launch* launch = static_cast<const Launch*>(argument);
    thread_setting = 1;
    launch->piece(launch->context, launch->index, launch->pieces);
    return nullptr;
}

}  // namespace

int32_t parallel_threads() {
    if (thread_setting > 0) return capped(thread_setting);
    return processors();
}

int32_t parallel_set_threads(int32_t threads) {
    const int32_t previous = thread_setting;
    if (threads >= 0) thread_setting = threads < PARALLEL_MAX_THREADS ? threads : PARALLEL_MAX_THREADS;
    return previous;
}

int32_t parallel_pieces(int64_t units, int64_t min_units) {
    if (min_units < 1) min_units = 1;
    const int64_t most = units / min_units;
    if (most <= 1) return 1;
    const int32_t threads = parallel_threads();
    return most < threads ? static_cast<int32_t>(most) : threads;
}

void parallel_run(int32_t pieces, ParallelPiece piece, void* context) {
    if (pieces < 2) {
        piece(context, 0, 1);
        return;
    }
    Launch launches[PARALLEL_MAX_THREADS];
    pthread_t threads[PARALLEL_MAX_THREADS];
    bool started[PARALLEL_MAX_THREADS] = {};
    const int32_t threaded = pieces < PARALLEL_MAX_THREADS ? pieces : PARALLEL_MAX_THREADS;

    // The new threads inherit a mask that blocks every signal sent to the
    // process, so that those keep going to the caller's threads; the
    // calling thread's own mask is put back at once. The signals of a
    // fault in a piece itself stay open, so that they reach their handler
    // (a sanitizer's report, say) on the thread that raised them.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    const int faults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
    for (int fault : faults) sigdelset(&all, fault);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
    for (int32_t i = 1; i < threaded; i++) {
        launches[i] = Launch{piece, context, i, pieces};
        started[i] = pthread_create(&threads[i], nullptr, run_launch, &launches[i]) == 0;
    }
    if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    piece(context, 0, pieces);
    for (int32_t i = 1; i < pieces; i++) {
        if (i < threaded && started[i]) {
            pthread_join(threads[i], nullptr);
        } else {
            piece(context, i, pieces);
        }
    }
}

void parallel_share(int32_t count, int32_t piece, int32_t pieces, int32_t* begin, int32_t* end) {
    if (pieces < 1) pieces = 1;
    const int64_t base = count / pieces;
    const int64_t extra = count % pieces;  // the first `extra` shares get one more
    const int64_t p = piece;
    *begin = static_cast<int32_t>(p * base + (p < extra ? p : extra));
    *end = static_cast<int32_t>(*begin + base + (p < extra ? 1 : 0));
}

void parallel_share_batches(int32_t count, int32_t batch, int32_t piece, int32_t pieces, int32_t* begin,
                            int32_t* end) {
    if (batch < 1) batch = 1;
    if (count < 0) count = 0;
    int32_t first = 0;
    int32_t last = 0;
    // In 64 bits: the last batch may reach past count, and past 2^31 - 1.
    parallel_share(static_cast<int32_t>((int64_t{count} + batch - 1) / batch), piece, pieces, &first, &last);
    const int64_t from = int64_t{first} * batch;
    const int64_t to = int64_t{last} * batch;
    *begin = static_cast<int32_t>(from < count ? from : count);
    *end = static_cast<int32_t>(to < count ? to : count);
}

}  // namespace kelvor
