// Which pairs of a listing a run scores: its shard, less those an earlier
// run already wrote (--resume).
#ifndef KELVOR_BATCH_SELECTION_H
#define KELVOR_BATCH_SELECTION_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "frontend/listing.h"
#include "frontend/shard.h"

namespace kelvor::batch {

using frontend::PairSource;
using frontend::PairSpec;
using frontend::Shard;

// The pairs already written, counted by reference, degraded and metadata
// (the same files under two systems or ids are two pairs): a pair listed
// twice and written once is scored once more.
class DoneRows {
public:
    void add(const std::string& reference, const std::string& degraded, const std::vector<std::string>& metadata = {}) {
        count_[key(reference, degraded, metadata)]++;
    }
    // True, and forgets one, when the pair was written.
    bool take(const std::string& reference, const std::string& degraded, const std::vector<std::string>& metadata = {});
    bool empty() const { return count_.empty(); }

private:
    // The cells with their lengths, so that no two lists of cells of any
    // bytes share a key.
    static std::string key(const std::string& r, const std::string& d, const std::vector<std::string>& metadata);
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
    const std::vector<std::string>& metadata() const override { return source_.metadata(); }
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
