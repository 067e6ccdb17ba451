// The fork-join helper: every piece once, piece 0 on the calling thread,
// nothing started on one thread, the setting per thread, the shares.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "common/parallel.h"
#include "support.h"

using namespace kelvor;

// test_common is linked with -Wl,--wrap=pthread_create: the library's
// requests for a thread come here, and can be refused.
namespace {
std::atomic<int> refuse_threads{0};
}

extern "C" int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                     void* argument);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                     void* argument) {
    if (refuse_threads.load() > 0) {
        refuse_threads--;
        return EAGAIN;
    }
    return __real_pthread_create(thread, attr, start, argument);
}

namespace {

struct Seen {
    std::atomic<int> runs[PARALLEL_MAX_THREADS + 8];
    pthread_t thread[PARALLEL_MAX_THREADS + 8];
    int32_t pieces[PARALLEL_MAX_THREADS + 8];
    int32_t inner_threads[PARALLEL_MAX_THREADS + 8];
};

void record(void* context, int32_t piece, int32_t pieces) {
    Seen* seen = static_cast<Seen*>(context);
    seen->runs[piece]++;
    seen->thread[piece] = pthread_self();
    seen->pieces[piece] = pieces;
    seen->inner_threads[piece] = parallel_threads();
}

TEST(Parallel, EveryPieceRunsOnceAndPieceZeroOnTheCaller) {
    for (int32_t pieces : {1, 2, 3, 7, PARALLEL_MAX_THREADS, PARALLEL_MAX_THREADS + 5}) {
        Seen seen{};
        parallel_run(pieces, record, &seen);
        for (int32_t i = 0; i < pieces; i++) {
            EXPECT_EQ(seen.runs[i].load(), 1) << pieces << " pieces, piece " << i;
            EXPECT_EQ(seen.pieces[i], pieces);
        }
        EXPECT_EQ(seen.runs[pieces].load(), 0);
        EXPECT_TRUE(pthread_equal(seen.thread[0], pthread_self()));
        // Pieces on threads of their own run nested steps inline.
        for (int32_t i = 1; i < pieces && i < PARALLEL_MAX_THREADS; i++) {
            EXPECT_FALSE(pthread_equal(seen.thread[i], pthread_self())) << pieces << " pieces, piece " << i;
            EXPECT_EQ(seen.inner_threads[i], 1);
        }
    }
}

// A thread that cannot be started costs nothing but time: its piece runs
// on the calling thread, once, whichever threads could be had.
TEST(Parallel, PiecesWhoseThreadCannotStartRunOnTheCaller) {
    for (int refused : {1, 2, 6}) {
        Seen seen{};
        refuse_threads = refused;
        parallel_run(7, record, &seen);
        EXPECT_EQ(refuse_threads.load(), 0);
        int on_caller = 0;
        for (int32_t i = 0; i < 7; i++) {
            EXPECT_EQ(seen.runs[i].load(), 1) << refused << " refused, piece " << i;
            on_caller += pthread_equal(seen.thread[i], pthread_self()) ? 1 : 0;
        }
        EXPECT_EQ(on_caller, 1 + refused);
    }
}

TEST(Parallel, OneThreadStartsNothing) {
    refuse_threads = 1000;  // a thread asked for would be counted and refused
    ThreadSetting one(1);
    EXPECT_EQ(parallel_threads(), 1);
    EXPECT_EQ(parallel_pieces(1000000, 1), 1);
    Seen seen{};
    parallel_run(parallel_pieces(1000000, 1), record, &seen);
    EXPECT_EQ(seen.runs[0].load(), 1);
    EXPECT_TRUE(pthread_equal(seen.thread[0], pthread_self()));
    EXPECT_EQ(refuse_threads.exchange(0), 1000);
}

TEST(Parallel, SettingBelongsToTheCallingThread) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const int32_t processors = CPU_COUNT(&set) < PARALLEL_MAX_THREADS ? CPU_COUNT(&set) : PARALLEL_MAX_THREADS;
    EXPECT_EQ(parallel_threads(), processors);

    const int32_t before = parallel_set_threads(5);
    EXPECT_EQ(before, 0);
    EXPECT_EQ(parallel_threads(), 5);
    EXPECT_EQ(parallel_set_threads(-1), 5);  // refused: nothing changes
    EXPECT_EQ(parallel_threads(), 5);
    int32_t other = -1;
    std::thread([&other] { other = parallel_set_threads(0); }).join();
    EXPECT_EQ(other, 0);  // a new thread starts at the default
    EXPECT_EQ(parallel_set_threads(1000), 5);
    EXPECT_EQ(parallel_threads(), PARALLEL_MAX_THREADS);
    parallel_set_threads(0);

    // With one processor in its mask, a thread on the default runs alone.
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
        if (CPU_ISSET(cpu, &set)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    std::thread([&one, &other] {
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        other = parallel_threads();
    }).join();
    EXPECT_EQ(other, 1);
}

TEST(Parallel, PiecesFollowTheWorkAndTheThreads) {
    ThreadSetting four(4);
    struct Case {
        int64_t units;
        int64_t min_units;
        int32_t pieces;
    };
    const Case cases[] = {{0, 10, 1}, {19, 10, 1}, {20, 10, 2}, {39, 10, 3}, {1000, 10, 4}, {5, 0, 4}, {5, 1, 4}};
    for (const Case& c : cases) {
        EXPECT_EQ(parallel_pieces(c.units, c.min_units), c.pieces) << c.units << " / " << c.min_units;
    }
}

TEST(Parallel, SharesAreContiguousCompleteAndBalanced) {
    for (int32_t count : {0, 1, 7, 8, 9, 100, 4687}) {
        for (int32_t pieces : {1, 2, 3, 7, 32}) {
            int32_t next = 0;
            int32_t smallest = count;
            int32_t largest = 0;
            for (int32_t p = 0; p < pieces; p++) {
                int32_t begin = -1;
                int32_t end = -1;
                parallel_share(count, p, pieces, &begin, &end);
                EXPECT_EQ(begin, next) << count << " in " << pieces << ", piece " << p;
                EXPECT_GE(end, begin);
                smallest = std::min(smallest, end - begin);
                largest = std::max(largest, end - begin);
                next = end;
            }
            EXPECT_EQ(next, count) << count << " in " << pieces;
            EXPECT_LE(largest - smallest, 1) << count << " in " << pieces;
        }
    }
}

}  // namespace
