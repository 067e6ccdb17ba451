#include "frontend/pool.h"

#include <malloc.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kelvor/stoi.h"

namespace kelvor::frontend {

namespace {

class Pool {
public:
    Pool(const PoolCallbacks& callbacks, size_t window) : cb_(callbacks), window_(window < 1 ? 1 : window) {}

    void worker() {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                room_.wait(lock, [&] { return finished_ || outstanding_ < window_; });
                if (finished_) return;
                outstanding_++;  // this worker's place in the window
            }
            PairSpec listed;
            uint64_t seq = 0;
            bool have = false;
            {
                // One next() at a time, in row order, outside the pool's lock.
                std::lock_guard<std::mutex> source(source_mutex_);
                bool finished = false;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    finished = finished_;
                }
                if (!ended_ && !finished) {
                    have = guarded([&] { return !cb_.stop() && cb_.next(listed); });
                    if (have) {
                        std::lock_guard<std::mutex> lock(mutex_);
                        seq = taken_++;
                    } else {
                        ended_ = true;
                    }
                }
            }
            if (!have) {
                std::lock_guard<std::mutex> lock(mutex_);
                outstanding_--;
                finish();
                return;
            }
            Row row;
            if (!guarded([&] {
                    row = cb_.score(listed);
                    return true;
                })) {
                // The row keeps its place, so that the rows before and after
                // it still go out in order, and the pair's cells, so that
                // --resume knows it as this pair's row.
                row = Row{};
                row.reference = listed.reference;
                row.degraded = listed.degraded;
                row.metadata = listed.metadata;
                fail_row(row, KELVOR_ERR_FAILED, "");
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_.emplace(seq, std::move(row));
            }
            ready_.notify_all();
        }
    }

    // The writer loop on the calling thread.
    void write() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            auto it = done_.find(emitted_);
            if (it != done_.end()) {
                Row row = std::move(it->second);
                done_.erase(it);
                lock.unlock();
                bool emitted = guarded([&] {
                    cb_.emit(row);
                    if (cb_.tick) cb_.tick();
                    return true;
                });
                lock.lock();
                emitted_++;
                outstanding_--;
                room_.notify_all();
                if (!emitted) {
                    // No more rows can go out: let the workers end.
                    finish();
                    return;
                }
                continue;
            }
            if (finished_ && emitted_ == taken_) return;
            ready_.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            bool stopping = !guarded([&] { return !cb_.stop(); });
            bool ticked = guarded([&] {
                if (cb_.tick) cb_.tick();
                return true;
            });
            lock.lock();
            if (!ticked) {
                finish();
                return;
            }
            // Wake the workers waiting for room so they see the stop.
            if (stopping && !finished_) room_.notify_all();
        }
    }

    // Hands out no more pairs (the thread that calls it holds mutex_).
    void finish() {
        finished_ = true;
        room_.notify_all();
        ready_.notify_all();
    }

    void abandon() {
        std::lock_guard<std::mutex> lock(mutex_);
        finish();
    }

    void rethrow() {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    // Runs a hook; returns its result, or false after keeping the first
    // exception any hook threw and stopping the pool.
    template <typename Hook>
    bool guarded(Hook hook) noexcept {
        try {
            return hook();
        } catch (...) {
            std::lock_guard<std::mutex> lock(failure_mutex_);
            if (!failure_) failure_ = std::current_exception();
        }
        // Hooks run without mutex_, so it is free here.
        std::lock_guard<std::mutex> lock(mutex_);
        finish();
        return false;
    }

    const PoolCallbacks& cb_;
    const size_t window_;
    std::mutex mutex_;               // guards everything below but ended_ and failure_
    std::mutex source_mutex_;        // one next() at a time
    std::mutex failure_mutex_;
    std::condition_variable room_;   // a worker may take a pair
    std::condition_variable ready_;  // a row is done, or the pool finished
    std::map<uint64_t, Row> done_;   // scored rows waiting for their turn
    size_t outstanding_ = 0;         // places taken in the window: pairs taken or being taken, not yet emitted
    uint64_t taken_ = 0;
    uint64_t emitted_ = 0;
    bool finished_ = false;          // no pair will be handed out any more
    bool ended_ = false;             // next() said there is none (under source_mutex_)
    std::exception_ptr failure_;
};

}  // namespace

void run_pool(const PoolCallbacks& callbacks, int jobs, size_t window) {
    Pool pool(callbacks, window);
    std::vector<std::thread> workers;
    const int count = jobs < 1 ? 1 : jobs;
    workers.reserve(static_cast<size_t>(count));
    // Several workers share the processors between them: each scores its
    // pairs on its own thread alone. A single worker lets each pair use
    // every processor.
    const bool several = count > 1;
    try {
        for (int i = 0; i < count; i++) {
            workers.emplace_back([&pool, several] {
                if (several) (void)kelvor_set_threads(1);
                pool.worker();
            });
        }
    } catch (...) {
        // No thread for this one: end the ones that started.
        pool.abandon();
        for (std::thread& t : workers) t.join();
        throw;
    }
    pool.write();
    for (std::thread& t : workers) t.join();
    pool.rethrow();
}

void keep_freed_memory() {
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(KEPT_MAPPING_BYTES));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(KEPT_TRIM_BYTES));
}

}  // namespace kelvor::frontend
