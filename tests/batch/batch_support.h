// Helpers of the kelvor-batch tests: audio files of any subtype and rate,
// running the command and reading its rows back.
#ifndef TESTS_BATCH_SUPPORT_H
#define TESTS_BATCH_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/listing.h"
#include "frontend/row.h"
#include "support.h"

// A test in a temporary directory of its own, removed afterwards.
class BatchDirTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir(); }
    void TearDown() override { remove_tree(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // ref.wav and deg.wav: the bundled pair.
    void write_sample_pair() const;
    // A folder and its parents below the directory.
    void mkdirs(const std::string& relative) const;
    std::string dir_;
};

// Every pair a source lists, from where it stands.
std::vector<kelvor::frontend::PairSpec> all_pairs(kelvor::frontend::PairSource& source);
inline std::vector<kelvor::frontend::PairSpec> all_pairs(kelvor::frontend::PairSource&& source) { return all_pairs(source); }
// The records of a CSV (or, with '\t', TSV) text.
std::vector<std::vector<std::string>> csv_records(const std::string& text, char delimiter = ',');

// Writes samples (+-1 scale) with libsndfile; format is SF_FORMAT_* (major
// | subtype). channels > 1 interleaves `samples` as given.
void write_sound(const std::string& path, const std::vector<double>& samples, int rate, int format,
                 int channels = 1);
// 16-bit PCM WAV written by libsndfile (canonical header).
void write_pcm16(const std::string& path, const std::vector<int16_t>& samples, int rate);

// The 8 kHz samples of the bundled pair (samples/ref.wav, samples/deg.wav).
const std::vector<int16_t>& sample_ref();
const std::vector<int16_t>& sample_deg();
std::vector<double> to_doubles(const std::vector<int16_t>& x);
// x at rate `from` resampled to `to` (band-limited interpolation, good
// enough to make test signals).
std::vector<double> resampled(const std::vector<double>& x, int from, int to);

ToolRun run_batch(const std::vector<std::string>& args, const std::string& cwd);
// Runs a /bin/sh script in cwd in which "$0" is kelvor-batch and "$@" are
// args: for pipes and redirections.
ToolRun run_batch_shell(const std::string& script, const std::vector<std::string>& args, const std::string& cwd);
// The rows of a CSV (or JSON Lines) output.
std::vector<kelvor::frontend::Row> parse_rows(const std::string& text, bool jsonl = false);



#include <sys/resource.h>
#include <sys/types.h>

// Starts kelvor-batch in cwd with standard output into out_path (empty:
// /dev/null) and standard error into /dev/null; returns its process id.
pid_t spawn_batch(const std::vector<std::string>& args, const std::string& cwd, const std::string& out_path = "");
// Waits for it; returns the exit status (128 + signal when killed) and
// fills usage.
int wait_batch(pid_t pid, struct rusage* usage = nullptr);
#endif
