// The worker pool's share of the processors: several workers score each
// pair on their own thread alone, a single worker lets a pair use every
// processor.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "batch/pool.h"
#include "kelvor/stoi.h"

using namespace kelvor::batch;

namespace {

// The library's thread setting of the threads that scored the pairs.
std::set<int> settings_seen(int jobs) {
    std::mutex lock;
    std::set<int> seen;
    int handed = 0;
    PoolCallbacks callbacks;
    callbacks.next = [&handed](PairSpec&) { return handed++ < 20; };
    callbacks.score = [&](const PairSpec&) {
        const int setting = kelvor_set_threads(0);
        kelvor_set_threads(setting);
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
