// Where the pairs come from: a CSV/TSV manifest read row by row, or two
// directories paired by relative path.
#ifndef KELVOR_BATCH_MANIFEST_H
#define KELVOR_BATCH_MANIFEST_H

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/csv.h"
#include "batch/output.h"
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
    // Starts again from the first pair. Throws ListingError when the
    // listing cannot be read again (a manifest read from a stream).
    virtual void rewind() = 0;
    // Whether rewind() can start again.
    virtual bool rewindable() const { return true; }
};

// A manifest: a header naming at least the columns reference and degraded
// (any case, any order; shift and align are optional, other columns are
// ignored), then one pair per row. Tab-separated when the name ends in
// .tsv, or when it does not end in .csv and its header line holds a tab;
// comma-separated otherwise. CSV fields may be quoted (a quote opens only
// at the start of a field); TSV fields are taken as they are. Relative
// paths are taken from the manifest's folder. Blank lines are skipped.
// Rows are read as they are needed, so memory does not grow with the
// manifest; a record is at most CSV_MAX_RECORD bytes.
//
// The manifest is read as a stream, front to back, without seeking: "-"
// is standard input, and a pipe (/dev/stdin, a named pipe) is read as it
// comes. Such a stream cannot be rewound, and relative paths in it are
// taken from the working directory.
class ManifestSource : public PairSource {
public:
    // Throws ListingError.
    explicit ManifestSource(const std::string& path);
    ~ManifestSource() override;
    // Faults of the manifest as a whole found on the way (a record over
    // the size limit, a quote never closed) throw ListingError naming the
    // line.
    bool next(PairSpec& listed) override;
    void rewind() override;
    bool rewindable() const override { return regular_; }
    // The manifest's identity when it is a file (also standard input
    // redirected from one).
    std::optional<FileId> id() const { return id_; }
    // The SHA-256 of the manifest's bytes when it is a file; nothing for a
    // stream, or when the file cannot be read again.
    std::optional<std::string> sha256() const;

private:
    class Stream;
    void open();
    void read_header();
    [[noreturn]] void fail(const std::string& what) const;
    std::string path_;
    std::string folder_;  // prefix for relative paths: "" or ending in '/'
    char delimiter_ = ',';
    int fd_ = -1;
    bool regular_ = false;
    long long start_ = 0;  // offset of the manifest's first byte in the file
    std::optional<FileId> id_;
    std::unique_ptr<Stream> stream_;
    std::unique_ptr<std::istream> in_;
    std::unique_ptr<CsvReader> reader_;
    size_t columns_ = 0;
    int reference_ = -1, degraded_ = -1, shift_ = -1, align_ = -1;
    int64_t line_ = 0;  // data rows read
};

// Pairs of files with the same relative path below two directories, sorted
// by that path (byte order). Only audio files are taken (extensions wav,
// wave, flac, ogg, oga, opus, aif, aiff, aifc, au, snd, caf, w64, rf64,
// pcm, raw in any case; hidden files and folders are passed over). Links
// to folders are followed, except a link back to a folder that holds it
// (a cycle), which is passed over. A file on one side only becomes a pair
// with error "unpaired". Both columns of a pair hold the relative path.
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

// The value of a shift cell: a whole number of samples (leading zeros
// allowed), empty or 0 for none, blanks around ignored. A whole number
// that no rate accepts (negative, or over 999999999) is out_of_range.
enum class ShiftCell { ok, not_a_number, out_of_range };
ShiftCell read_shift(const std::string& text, int& shift);
// True and the value, or false when the text is not a shift in range.
bool parse_shift(const std::string& text, int& shift);
// The value of an align cell: 1, 0, true, false, yes, no or empty, any
// case, blanks around ignored; false when the text is not one.
bool parse_align(const std::string& text, bool& align);

}  // namespace kelvor::batch

#endif
