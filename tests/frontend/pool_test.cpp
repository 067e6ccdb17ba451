// The worker pool on its own: rows in the order of the pairs whatever the
// threads do, never more than the window in flight, a hook that throws
// ends the pool cleanly (rethrown, workers joined, no row lost or torn),
// and a stop leaves the pairs handed out to be finished.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "frontend/pool.h"
#include "kelvor/stoi.h"

using namespace kelvor::frontend;

namespace {

// A pool over `count` numbered pairs whose scoring takes a varying time,
// recording what it emits and the most pairs in flight at once.
struct Harness {
    int64_t count = 0;
    int64_t handed = 0;
    std::atomic<int> in_flight{0};
    std::atomic<int> most_in_flight{0};
    std::vector<int64_t> emitted;
    PoolCallbacks callbacks;

    explicit Harness(int64_t pairs) : count(pairs) {
        callbacks.next = [this](PairSpec& listed) {
            if (handed >= count) return false;
            listed = PairSpec{};
            listed.index = handed++;
            listed.reference = std::to_string(listed.index);
            int now = ++in_flight;
            for (int seen = most_in_flight; now > seen && !most_in_flight.compare_exchange_weak(seen, now);) {
            }
            return true;
        };
        callbacks.score = [](const PairSpec& listed) {
            // Later pairs often finish first.
            std::this_thread::sleep_for(std::chrono::microseconds((listed.index * 7919) % 5 * 200));
            Row row;
            row.reference = std::to_string(listed.index);
            return row;
        };
        callbacks.emit = [this](const Row& row) {
            in_flight--;
            emitted.push_back(std::stoll(row.reference));
        };
        callbacks.stop = [] { return false; };
    }
};

TEST(Pool, RowsComeOutInOrderWithinTheWindow) {
    for (int jobs : {1, 3, 8}) {
        for (size_t window : {size_t{1}, size_t{4}, size_t{32}}) {
            SCOPED_TRACE("jobs " + std::to_string(jobs) + " window " + std::to_string(window));
            Harness h(200);
            run_pool(h.callbacks, jobs, window);
            ASSERT_EQ(h.emitted.size(), 200u);
            for (int64_t i = 0; i < 200; i++) ASSERT_EQ(h.emitted[static_cast<size_t>(i)], i);
            EXPECT_LE(h.most_in_flight.load(), static_cast<int>(window));
        }
    }
}

TEST(Pool, AThrowingHookEndsThePoolAndIsRethrown) {
    struct Case {
        const char* hook;
        bool rows_before_kept;  // every pair handed out before the fault is emitted
    };
    for (Case c : {Case{"next", true}, Case{"score", true}, Case{"stop", true}, Case{"emit", false},
                   Case{"tick", false}}) {
        SCOPED_TRACE(c.hook);
        Harness h(100);
        const std::string hook = c.hook;
        auto fault = [] { throw std::runtime_error("hook failed"); };
        PoolCallbacks callbacks = h.callbacks;
        std::atomic<int> calls{0};
        auto nth = [&] { return ++calls == 30; };
        if (hook == "next") {
            callbacks.next = [&, inner = callbacks.next](PairSpec& p) {
                if (nth()) fault();
                return inner(p);
            };
        } else if (hook == "score") {
            callbacks.score = [&, inner = callbacks.score](const PairSpec& p) {
                if (nth()) fault();
                return inner(p);
            };
        } else if (hook == "stop") {
            callbacks.stop = [&] {
                if (nth()) fault();
                return false;
            };
        } else if (hook == "emit") {
            callbacks.emit = [&, inner = callbacks.emit](const Row& r) {
                if (nth()) fault();
                inner(r);
            };
        } else {
            callbacks.tick = [&] {
                if (nth()) fault();
            };
        }
        EXPECT_THROW(run_pool(callbacks, 4, 8), std::runtime_error);
        ASSERT_LT(h.emitted.size(), 100u);
        for (size_t i = 0; i < h.emitted.size(); i++) ASSERT_EQ(h.emitted[i], static_cast<int64_t>(i));
        // A failed score keeps its place with a failed row.
        if (c.rows_before_kept) {
            EXPECT_EQ(h.emitted.size(), static_cast<size_t>(h.handed));
        }
    }
}

// The row that stands in for a pair whose scoring threw is that pair's
// row: its cells, metadata too, are the ones --resume finds it by.
TEST(Pool, APairWhoseScoringThrowsKeepsItsCells) {
    PairSpec pair;
    pair.index = 0;
    pair.reference = "r.wav";
    pair.degraded = "d.wav";
    pair.metadata = {"system-a", "snr 0"};
    bool handed = false;
    std::vector<Row> rows;
    PoolCallbacks callbacks;
    callbacks.next = [&](PairSpec& listed) {
        if (handed) return false;
        listed = pair;
        handed = true;
        return true;
    };
    callbacks.score = [](const PairSpec&) -> Row { throw std::runtime_error("scoring failed"); };
    callbacks.emit = [&](const Row& row) { rows.push_back(row); };
    callbacks.stop = [] { return false; };
    EXPECT_THROW(run_pool(callbacks, 2, 4), std::runtime_error);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].status, KELVOR_ERR_FAILED);
    EXPECT_EQ(rows[0].reference, pair.reference);
    EXPECT_EQ(rows[0].degraded, pair.degraded);
    EXPECT_EQ(rows[0].metadata, pair.metadata);
}

TEST(Pool, AStopFinishesThePairsHandedOut) {
    Harness h(100000);
    std::atomic<bool> stopping{false};
    PoolCallbacks callbacks = h.callbacks;
    callbacks.emit = [&, inner = h.callbacks.emit](const Row& r) {
        inner(r);
        if (h.emitted.size() == 50) stopping = true;
    };
    callbacks.stop = [&] { return stopping.load(); };
    run_pool(callbacks, 4, 16);
    EXPECT_GE(h.emitted.size(), 50u);
    EXPECT_LE(h.emitted.size(), 50u + 16u);
    EXPECT_EQ(h.emitted.size(), static_cast<size_t>(h.handed));
    for (size_t i = 0; i < h.emitted.size(); i++) ASSERT_EQ(h.emitted[i], static_cast<int64_t>(i));
}

// next() and stop() may take their time (a manifest line from a slow pipe,
// the GIL): they must not hold up rows that are ready.
TEST(Pool, ASlowNextDoesNotHoldTheOtherThreads) {
    Harness h(6);
    PoolCallbacks callbacks = h.callbacks;
    callbacks.next = [&, inner = h.callbacks.next](PairSpec& p) {
        bool have = inner(p);
        if (have && p.index == 3) std::this_thread::sleep_for(std::chrono::seconds(2));
        return have;
    };
    auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration third_row{};
    callbacks.emit = [&, inner = h.callbacks.emit](const Row& r) {
        inner(r);
        if (r.reference == "2") third_row = std::chrono::steady_clock::now() - started;
    };
    run_pool(callbacks, 2, 8);
    ASSERT_EQ(h.emitted.size(), 6u);
    EXPECT_LT(third_row, std::chrono::seconds(1));
}

// The library's thread setting of the threads that scored the pairs:
// several workers score each pair on their own thread alone, a single
// worker lets a pair use every processor.
std::set<int> settings_seen(int jobs) {
    std::mutex lock;
    std::set<int> seen;
    int handed = 0;
    PoolCallbacks callbacks;
    callbacks.next = [&handed](PairSpec&) { return handed++ < 20; };
    callbacks.score = [&](const PairSpec&) {
        const int setting = kelvor_set_threads(0);
        (void)kelvor_set_threads(setting);
        std::lock_guard<std::mutex> hold(lock);
        seen.insert(setting);
        return Row{};
    };
    callbacks.emit = [](const Row&) {};
    callbacks.stop = [] { return false; };
    run_pool(callbacks, jobs, 8);
    return seen;
}

TEST(Pool, SeveralWorkersScoreOnOneThreadEach) {
    EXPECT_EQ(settings_seen(1), std::set<int>{0});
    EXPECT_EQ(settings_seen(2), std::set<int>{1});
    EXPECT_EQ(settings_seen(5), std::set<int>{1});
    EXPECT_EQ(kelvor_set_threads(0), 0);  // the calling thread keeps its own
}

}  // namespace
