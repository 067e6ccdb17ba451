#include "batch/selection.h"

namespace kelvor::batch {

using namespace kelvor::frontend;

std::string DoneRows::key(const std::string& r, const std::string& d, const std::vector<std::string>& metadata) {
    std::string k;
    auto add = [&](const std::string& cell) {
        k += std::to_string(cell.size());
        k.push_back(':');
        k += cell;
    };
    add(r);
    add(d);
    for (const std::string& cell : metadata) add(cell);
    return k;
}

bool DoneRows::take(const std::string& reference, const std::string& degraded,
                    const std::vector<std::string>& metadata) {
    auto it = count_.find(key(reference, degraded, metadata));
    if (it == count_.end()) return false;
    if (--it->second == 0) count_.erase(it);
    return true;
}

bool Selection::next(PairSpec& listed) {
    if (!started_) {
        remaining_ = done_;
        started_ = true;
    }
    while (source_.next(listed)) {
        int64_t row = row_++;
        if (!in_shard(row, shard_)) continue;
        if (!remaining_.empty() && remaining_.take(listed.reference, listed.degraded, listed.metadata)) {
            skipped_++;
            continue;
        }
        return true;
    }
    return false;
}

void Selection::rewind() {
    source_.rewind();
    started_ = false;
    row_ = 0;
    skipped_ = 0;
}

}  // namespace kelvor::batch
