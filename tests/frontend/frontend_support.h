// Helpers of the front-end core's tests: a temporary folder per test,
// audio files of any subtype and rate, the bundled pair's samples, and
// listings and outputs read back.
#ifndef TESTS_FRONTEND_SUPPORT_H
#define TESTS_FRONTEND_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/listing.h"
#include "frontend/row.h"
#include "support.h"

// A test in a temporary directory of its own, removed afterwards.
class TempDirTest : public ::testing::Test {
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
// x repeated to n samples.
std::vector<int16_t> tiled(const std::vector<int16_t>& x, int64_t n);
// x at rate `from` resampled to `to` (band-limited interpolation, good
// enough to make test signals).
std::vector<double> resampled(const std::vector<double>& x, int from, int to);

// The rows of a CSV (or JSON Lines) output.
std::vector<kelvor::frontend::Row> parse_rows(const std::string& text, bool jsonl = false);

#endif
