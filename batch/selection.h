// Which pairs of a listing a run scores: its shard, less those an earlier
// run already wrote (--resume).
#ifndef KELVOR_BATCH_SELECTION_H
#define KELVOR_BATCH_SELECTION_H

#include <cstdint>
#include <string>
#include <unordered_map>

#include "batch/manifest.h"

namespace kelvor::batch {

struct Shard {
    int index = 1;  // K: 1 .. count
    int count = 1;  // N
};

// Parses "K/N" (1 <= K <= N); false for anything else.
bool parse_shard(const std::string& text, Shard& shard);

// Row i (0-based, in listing order) belongs to shard (i mod N) + 1.
inline bool in_shard(int64_t row, const Shard& shard) {
    return row % shard.count == shard.index - 1;
}

// The pairs already written, counted by (reference, degraded): a pair
// listed twice and written once is scored once more.
class DoneRows {
public:
    void add(const std::string& reference, const std::string& degraded) { count_[key(reference, degraded)]++; }
    // True, and forgets one, when the pair was written.
    bool take(const std::string& reference, const std::string& degraded);
    bool empty() const { return count_.empty(); }

private:
    static std::string key(const std::string& r, const std::string& d) { return r + '\0' + d; }
    std::unordered_map<std::string, int64_t> count_;
};

// A listing narrowed to one shard and without the pairs of `done`
// (consumed as they are met, from a copy taken when the first pair is
// asked for; rewind() starts again from a new copy).
class Selection : public PairSource {
public:
    Selection(PairSource& source, const Shard& shard, const DoneRows& done)
        : source_(source), shard_(shard), done_(done) {}
    bool next(PairSpec& listed) override;
    void rewind() override;
    bool rewindable() const override { return source_.rewindable(); }
    int64_t skipped() const { return skipped_; }  // pairs of the shard passed over as done

private:
    PairSource& source_;
    Shard shard_;
    const DoneRows& done_;
    DoneRows remaining_;
    bool started_ = false;
    int64_t row_ = 0;
    int64_t skipped_ = 0;
};

}  // namespace kelvor::batch

#endif
