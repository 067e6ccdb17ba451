// The run record: what an output of kelvor-batch was scored from and
// with, kept in PATH.run.json next to `-o PATH`. --resume reads it back to
// refuse adding rows of another listing, shard or setting; a report reads
// it for the facts of the run.
//
// The file is one JSON object, written before the first row (atomically):
//   "program"  "kelvor-batch"
//   "version"  the library's version (kelvor_version())
//   "command"  the command line, argv as an array of strings
//   "listing"  {"manifest": absolute path or "-", "sha256": hex digest of
//              its bytes, or null for a stream}, {"ref_dir": ...,
//              "deg_dirs": [{"system": label, "dir": ...}, ...]} or
//              {"ref_scp": ..., "ref_sha256": ..., "deg_scp": ...,
//              "deg_sha256": ...} (absolute paths)
//   "shard"    "K/N", or null for every row
//   "options"  every option of a pair (number_options)
//   "started"  UTC, ISO 8601 ("2025-01-31T12:00:00Z")
#ifndef KELVOR_BATCH_RUN_RECORD_H
#define KELVOR_BATCH_RUN_RECORD_H

#include <optional>
#include <string>
#include <vector>

#include "frontend/json.h"
#include "frontend/listing.h"
#include "frontend/options.h"

namespace kelvor::batch {

using frontend::JsonValue;
using frontend::PairOptions;
using frontend::SystemFolder;

// Every option of a pair (OPTION_FIELDS), as the run record keeps them:
// flags as true or false, counts as numbers, choices by name. --resume
// compares every one of them.
JsonValue number_options(const PairOptions& options);

struct RunFacts {
    std::vector<std::string> command;  // argv
    JsonValue listing;                 // manifest_listing() or directory_listing()
    std::string shard;                 // "K/N"; empty for every row
    JsonValue options;                 // number_options()
    std::string started;               // utc_now() when the run began
};

// PATH.run.json for the output PATH.
std::string run_record_path(const std::string& output);

// The listing of a manifest: its absolute path ("-" for standard input)
// and the SHA-256 of its bytes (none for a stream).
JsonValue manifest_listing(const std::string& path, const std::optional<std::string>& sha256);
// The listing of a reference folder and system folders (labels and
// absolute paths, in order).
JsonValue directory_listing(const std::string& reference_dir, const std::vector<SystemFolder>& systems);
// The listing of two id lists: absolute paths and the digests of their bytes.
JsonValue scp_listing(const std::string& reference_list, const std::string& reference_sha256,
                      const std::string& degraded_list, const std::string& degraded_sha256);

// The current time as UTC ISO 8601, to the second.
std::string utc_now();

// The record's text (program and version added).
std::string run_record_json(const RunFacts& facts);

// Reads a run record: nothing when path does not exist; throws
// std::runtime_error when it exists but is not one.
std::optional<JsonValue> read_run_record(const std::string& path);

// The first difference between a recorded run and this one that changes
// what the rows mean (listing, shard, an option), as a sentence naming
// both values; empty when they agree. An option the record lacks is taken
// at the value that keeps the behaviour of the versions that did not have
// it (OptionField::absent; zero, as kelvor_options promises, but for
// unequal, whose zero now refuses in the reference profile where those
// versions padded: "pad"): a record written before an option was recorded
// agrees with a run that keeps that behaviour, and a record without the
// profile (zero: "default") agrees with no run.
std::string run_mismatch(const JsonValue& recorded, const RunFacts& now);

// The version that wrote the record when it is not this one; empty
// otherwise.
std::string recorded_version_if_other(const JsonValue& recorded);

}  // namespace kelvor::batch

#endif
