// Where the pairs come from: a CSV/TSV manifest read row by row, or two
// directories paired by relative path.
#ifndef KELVOR_BATCH_MANIFEST_H
#define KELVOR_BATCH_MANIFEST_H

#include <cstdint>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/csv.h"
#include "batch/pair.h"

namespace kelvor::batch {

// A listing that cannot be used at all (unreadable manifest, no reference
// column, unreadable directory): the batch cannot start.
class ListingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The pairs of a batch, in order, one at a time.
class PairSource {
public:
    virtual ~PairSource() = default;
    // The next pair; false after the last. Faults of one row (a shift that
    // is not a number, a row with too few fields) come back as a PairSpec
    // carrying its error, never as an exception.
    virtual bool next(PairSpec& listed) = 0;
    // Starts again from the first pair.
    virtual void rewind() = 0;
};

// A manifest: a header naming at least the columns reference and degraded
// (any case, any order; shift and align are optional, other columns are
// ignored), then one pair per row. Tab-separated when the name ends in
// .tsv, or when it does not end in .csv and its header line holds a tab;
// comma-separated otherwise. Relative paths are taken from the manifest's
// folder. Blank lines are skipped. Rows are read as they are needed, so
// memory does not grow with the manifest.
class ManifestSource : public PairSource {
public:
    // Throws ListingError.
    explicit ManifestSource(const std::string& path);
    bool next(PairSpec& listed) override;
    void rewind() override;

private:
    void open();
    std::string path_;
    std::string folder_;  // prefix for relative paths: "" or ending in '/'
    char delimiter_ = ',';
    std::ifstream in_;
    std::unique_ptr<CsvReader> reader_;
    size_t columns_ = 0;
    int reference_ = -1, degraded_ = -1, shift_ = -1, align_ = -1;
    int64_t line_ = 0;  // data rows read
};

// Pairs of files with the same relative path below two directories, sorted
// by that path (byte order). Only audio files are taken (extensions wav,
// wave, flac, ogg, oga, opus, aif, aiff, aifc, au, snd, caf, w64, rf64,
// pcm, raw in any case; hidden files and folders are passed over). A file
// on one side only becomes a pair with error "unpaired". Both columns of a
// pair hold the relative path.
class DirectorySource : public PairSource {
public:
    // Throws ListingError.
    DirectorySource(const std::string& reference_dir, const std::string& degraded_dir);
    bool next(PairSpec& listed) override;
    void rewind() override { at_ = 0; }

private:
    std::vector<PairSpec> pairs_;
    size_t at_ = 0;
};

// The value of a shift or align cell: true and the value, or false when the
// text is not one (shift: a whole number, empty or 0 for none; align: 1, 0,
// true, false, yes, no or empty, any case, blanks around ignored).
bool parse_shift(const std::string& text, int& shift);
bool parse_align(const std::string& text, bool& align);

}  // namespace kelvor::batch

#endif
