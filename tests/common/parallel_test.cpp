// The fork-join helper: every piece once, piece 0 on the calling thread,
// nothing started on one thread or when a thread cannot be had, the
// setting per thread. (Its shares are checked by every threaded step's
// test: a lost or doubled unit changes their bits.)
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

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

constexpr int32_t MOST = PARALLEL_MAX_THREADS + 5;

struct Seen {
    std::atomic<int> runs[MOST + 1];
    pthread_t thread[MOST];
    int32_t inner_threads[MOST];
};

void record(void* context, int32_t piece, int32_t) {
    Seen* seen = static_cast<Seen*>(context);
    seen->runs[piece]++;
    seen->thread[piece] = pthread_self();
    seen->inner_threads[piece] = parallel_threads();
}

// Runs `pieces` pieces with `refused` thread requests refused; returns
// how many ran on the calling thread, each piece checked to run once.
int on_caller(int32_t pieces, int refused) {
    Seen seen{};
    refuse_threads = refused;
    parallel_run(pieces, record, &seen);
    EXPECT_EQ(refuse_threads.exchange(0), 0);
    int count = 0;
    for (int32_t i = 0; i < pieces; i++) {
        EXPECT_EQ(seen.runs[i].load(), 1) << pieces << " pieces, piece " << i;
        const bool here = pthread_equal(seen.thread[i], pthread_self()) != 0;
        count += here ? 1 : 0;
        if (!here) {
            EXPECT_EQ(seen.inner_threads[i], 1) << "a started thread runs nested steps inline";
        }
    }
    EXPECT_EQ(seen.runs[pieces].load(), 0);
    EXPECT_TRUE(pthread_equal(seen.thread[0], pthread_self()));
    return count;
}

TEST(Parallel, EveryPieceRunsOnceWhateverThreadsCanBeHad) {
    EXPECT_EQ(on_caller(1, 0), 1);
    EXPECT_EQ(on_caller(2, 0), 1);
    EXPECT_EQ(on_caller(7, 0), 1);
    EXPECT_EQ(on_caller(MOST, 0), 1 + MOST - PARALLEL_MAX_THREADS);  // the rest after piece 0
    EXPECT_EQ(on_caller(7, 2), 3);                                    // refused threads: their pieces here
    EXPECT_EQ(on_caller(7, 6), 7);
}

TEST(Parallel, SettingBelongsToTheCallingThreadAndOneStartsNothing) {
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(parallel_threads(), std::min(CPU_COUNT(&all), PARALLEL_MAX_THREADS));
    {
        ThreadSetting one(1);
        EXPECT_EQ(parallel_pieces(1000000, 1), 1);
        refuse_threads = 1000;  // any thread asked for would be counted
        Seen seen{};
        parallel_run(parallel_pieces(1000000, 1), record, &seen);
        EXPECT_EQ(refuse_threads.exchange(0), 1000);
        EXPECT_EQ(parallel_set_threads(-1), 1);  // refused: nothing changes
        EXPECT_EQ(parallel_set_threads(1000), 1);
        EXPECT_EQ(parallel_threads(), PARALLEL_MAX_THREADS);
        EXPECT_EQ(parallel_set_threads(1), PARALLEL_MAX_THREADS);  // stored as the most used
        int32_t other = -1;
        std::thread([&other] { other = parallel_set_threads(0); }).join();
        EXPECT_EQ(other, 0);  // a new thread starts at the default
    }
    // On the default, a thread whose mask holds one processor runs alone.
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; CPU_COUNT(&one) == 0; cpu++) {
        if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &one);
    }
    int32_t alone = -1;
    std::thread([&] {
        if (sched_setaffinity(0, sizeof one, &one) == 0) alone = parallel_threads();
    }).join();
    EXPECT_EQ(alone, 1);
}

// The shares in batches, for counts that are whole batches or not and more
// pieces than batches: together every unit once, in piece order, each share
// starting on a batch boundary (or empty at the end), their batch counts
// at most one apart.
TEST(Parallel, BatchSharesCoverEveryUnitOnceOnBatchBoundaries) {
    struct Case {
        int32_t count, batch, pieces;
    };
    for (const Case& c : {Case{0, 8, 3}, Case{1, 8, 2}, Case{16, 8, 2}, Case{17, 8, 2}, Case{100, 8, 7}, Case{100, 1, 7},
                          Case{10, 8, 3}, Case{1000, 128, 32}, Case{2147483647, 4, 3}}) {
        int32_t next = 0;
        int32_t fewest = 2147483647;
        int32_t most = 0;
        for (int32_t piece = 0; piece < c.pieces; piece++) {
            int32_t begin = -1;
            int32_t end = -1;
            parallel_share_batches(c.count, c.batch, piece, c.pieces, &begin, &end);
            SCOPED_TRACE(testing::Message() << c.count << " in " << c.batch << "s, piece " << piece << " of " << c.pieces);
            ASSERT_EQ(begin, next);
            ASSERT_LE(begin, end);
            ASSERT_LE(end, c.count);
            EXPECT_TRUE(begin % c.batch == 0 || begin == c.count);
            EXPECT_TRUE(end % c.batch == 0 || end == c.count);
            const int32_t batches = static_cast<int32_t>((int64_t{end} - begin + c.batch - 1) / c.batch);
            fewest = std::min(fewest, batches);
            most = std::max(most, batches);
            next = end;
        }
        EXPECT_EQ(next, c.count);
        EXPECT_LE(most - fewest, 1);
    }
}

}  // namespace
