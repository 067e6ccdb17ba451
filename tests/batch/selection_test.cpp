// The pairs a run scores: its shard, less those an earlier run wrote.
#include <gtest/gtest.h>

#include "batch/selection.h"
#include "frontend/listing.h"

using namespace kelvor::batch;
using namespace kelvor::frontend;

namespace {

// A listing of the given (reference, degraded, metadata) pairs.
class Listed : public PairList {
public:
    explicit Listed(const std::vector<std::vector<std::string>>& cells) : PairList({"system"}) {
        for (const auto& c : cells) {
            PairSpec p;
            p.index = static_cast<int64_t>(pairs_.size());
            p.reference = c[0];
            p.degraded = c[1];
            p.metadata = {c[2]};
            pairs_.push_back(p);
        }
    }
};

std::vector<int64_t> selected(PairSource& source, const Shard& shard, const DoneRows& done) {
    Selection selection(source, shard, done);
    std::vector<int64_t> rows;
    PairSpec p;
    while (selection.next(p)) rows.push_back(p.index);
    return rows;
}

TEST(Selection, AShardLessTheRowsWrittenByCellsAndMetadata) {
    Listed listing({{"a", "b", "x"}, {"a", "b", "y"}, {"ab", "", "x"}, {"a", "b", "x"}, {"c", "d", "x"}});
    struct Case {
        const char* what;
        Shard shard;
        std::vector<std::vector<std::string>> written;
        std::vector<int64_t> rows;
    };
    const Case cases[] = {
        {"every row", {1, 1}, {}, {0, 1, 2, 3, 4}},
        {"shard 2/2", {2, 2}, {}, {1, 3}},
        // A pair listed twice and written once is scored once more.
        {"one of two alike", {1, 1}, {{"a", "b", "x"}}, {1, 2, 3, 4}},
        // The metadata tells two systems' rows of the same files apart,
        // and the cells' bounds are kept: "a"+"b" is not "ab"+"".
        {"another system", {1, 1}, {{"a", "b", "y"}, {"a", "", "bx"}}, {0, 2, 3, 4}},
        {"written in a shard", {1, 2}, {{"c", "d", "x"}}, {0, 2}},
    };
    for (const Case& c : cases) {
        DoneRows done;
        for (const auto& w : c.written) done.add(w[0], w[1], {w[2]});
        listing.rewind();
        EXPECT_EQ(selected(listing, c.shard, done), c.rows) << c.what;
    }
}

}  // namespace
