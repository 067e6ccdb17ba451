// Shards: a listing split into N parts by row, so that N runs (on N
// machines, say) share it without talking to each other, and a report
// can tell which rows a run of shard K/N was given.
#ifndef KELVOR_FRONTEND_SHARD_H
#define KELVOR_FRONTEND_SHARD_H

#include <cstdint>
#include <string>

namespace kelvor::frontend {

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

// The listing row of the shard's row at `position` (0-based, in the order
// the shard's run wrote them): the inverse of in_shard.
inline int64_t shard_row(int64_t position, const Shard& shard) {
    return position * shard.count + (shard.index - 1);
}

}  // namespace kelvor::frontend

#endif
