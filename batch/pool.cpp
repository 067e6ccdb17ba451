#include "batch/pool.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kelvor/stoi.h"

namespace kelvor::batch {

namespace {

class Pool {
public:
    Pool(const PoolCallbacks& callbacks, size_t window) : cb_(callbacks), window_(window < 1 ? 1 : window) {}

    void worker() {
        for (;;) {
            PairSpec listed;
            uint64_t seq = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                room_.wait(lock, [&] { return finished_ || taken_ - emitted_ < window_; });
                if (finished_) return;
                bool have = false;
                if (!cb_.stop()) {
                    try {
                        have = cb_.next(listed);
                    } catch (...) {
                        if (!failure_) failure_ = std::current_exception();
                    }
                }
                if (!have) {
                    finished_ = true;
                    room_.notify_all();
                    ready_.notify_all();
                    return;
                }
                seq = taken_++;
            }
            Row row = cb_.score(listed);
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
                try {
                    cb_.emit(row);
                    if (cb_.tick) cb_.tick();
                } catch (...) {
                    lock.lock();
                    if (!failure_) failure_ = std::current_exception();
                    finished_ = true;
                    emitted_++;
                    room_.notify_all();
                    return;
                }
                lock.lock();
                emitted_++;
                room_.notify_all();
                continue;
            }
            if (finished_ && emitted_ == taken_) return;
            if (failure_) return;
            ready_.wait_for(lock, std::chrono::milliseconds(100));
            if (!finished_ && cb_.stop()) {
                // Wake the workers waiting for room so they see the stop.
                room_.notify_all();
            }
            lock.unlock();
            if (cb_.tick) cb_.tick();
            lock.lock();
        }
    }

    void rethrow() {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    const PoolCallbacks& cb_;
    const size_t window_;
    std::mutex mutex_;
    std::condition_variable room_;   // a worker may take a pair
    std::condition_variable ready_;  // a row is done, or the pool finished
    std::map<uint64_t, Row> done_;   // scored rows waiting for their turn
    uint64_t taken_ = 0;
    uint64_t emitted_ = 0;
    bool finished_ = false;  // no pair will be handed out any more
    std::exception_ptr failure_;
};

}  // namespace

void run_pool(const PoolCallbacks& callbacks, int jobs, size_t window) {
    Pool pool(callbacks, window);
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(jobs < 1 ? 1 : jobs));
    // Several workers share the processors between them: each scores its
    // pairs on its own thread alone. A single worker lets each pair use
    // every processor.
    const bool several = jobs > 1;
    for (int i = 0; i < (jobs < 1 ? 1 : jobs); i++) {
        workers.emplace_back([&pool, several] {
            if (several) kelvor_set_threads(1);
            pool.worker();
        });
    }
    pool.write();
    for (std::thread& t : workers) t.join();
    pool.rethrow();
}

}  // namespace kelvor::batch
