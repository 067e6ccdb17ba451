// Where the pairs come from: a CSV/TSV manifest read row by row
// (listing_manifest.cpp), a folder of references and folders of systems
// paired by relative path (listing_folders.cpp), or two lists of ids and
// paths, the "scp" lists of speech toolkits (listing_scp.cpp).
#ifndef KELVOR_FRONTEND_LISTING_H
#define KELVOR_FRONTEND_LISTING_H

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "frontend/csv.h"
#include "frontend/file_id.h"
#include "frontend/pair.h"

namespace kelvor::frontend {

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
    // The names of the listing's own columns, which every pair carries in
    // PairSpec::metadata and every output row after the standard columns:
    // a manifest's other columns, "system" for folders, "id" for lists.
    virtual const std::vector<std::string>& metadata() const = 0;
    // How the listing pairs files that it finds (folders, lists), in a
    // sentence for a run whose rows are mostly unpaired; empty for a
    // listing that names its pairs.
    virtual std::string layout() const { return ""; }
};

// The names a manifest column may have for each column kelvor-batch
// reads, in any case: the first is the one the output uses.
extern const std::vector<std::string> REFERENCE_NAMES;  // reference, ref, clean, target
extern const std::vector<std::string> DEGRADED_NAMES;   // degraded, deg, enhanced, estimate, processed

// A listing read whole when it is opened, whose pairs are then handed out
// from memory (and again after rewind()).
class PairList : public PairSource {
public:
    bool next(PairSpec& listed) override {
        if (at_ >= pairs_.size()) return false;
        listed = pairs_[at_++];
        return true;
    }
    void rewind() override { at_ = 0; }
    const std::vector<std::string>& metadata() const override { return metadata_; }

protected:
    explicit PairList(std::vector<std::string> metadata) : metadata_(std::move(metadata)) {}
    std::vector<PairSpec> pairs_;
    std::vector<std::string> metadata_;

private:
    size_t at_ = 0;
};

// A manifest: a header naming at least a reference and a degraded column
// (REFERENCE_NAMES, DEGRADED_NAMES; any case, any order; shift and align
// are optional), then one pair per row. Every other column is carried:
// its name (as written, byte for byte) is one of metadata(), its cells
// (byte for byte) the pair's metadata. A column without a name (an empty
// header cell, as a trailing delimiter makes) is not carried. Two columns
// for one role, two carried columns of one name and a carried column with
// the name of a standard output column are refused (ListingError). Tab-separated when the name ends in
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
    const std::vector<std::string>& metadata() const override { return metadata_; }
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
    bool read_record(std::vector<std::string>& fields, const char* where);
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
    std::vector<std::string> metadata_;  // names of the carried columns
    std::vector<size_t> carried_;        // their positions
    int64_t line_ = 0;                   // data rows read
};

// A folder of a system's outputs and its label: the value of the system
// column of its rows.
struct SystemFolder {
    std::string label;
    std::string path;
};

// The name of a folder as a label: its last component (trailing slashes
// ignored); for ".", ".." and the like, the last component of the folder
// it resolves to.
std::string folder_name(const std::string& path);

// "NAME=PATH" as a labelled folder when NAME is a plain word (letters,
// digits, '_', '-', '.' and bytes beyond ASCII, but not "." or ".."),
// otherwise the whole text as a path labelled by folder_name(): a path
// holding '=' can be given as "./a=b".
SystemFolder parse_system_folder(const std::string& text);

// Pairs of the audio files below each system folder with those below the
// reference folder. A folder of a relative path named "name=value"
// (snr=0/x.wav) is a condition, not part of the name: it makes a column
// `name` holding `value` (empty for a path without such a folder; names
// in the order they first appear), and a path lying in two folders of one
// name is refused. A system's file PATH pairs with the reference of the
// same relative path; when there is none, with the reference of the same
// path outside name=value folders (its key: snr=-5/s01.wav pairs with
// s01.wav) that lies only in folders of PATH's own (snr=-5/spk=f1/s01.wav
// with spk=f1/s01.wav, never with snr=0/s01.wav) and in all those of every
// other such reference. Two such references of which neither lies in
// all the folders of the other (snr=0/s.wav and spk=f1/s.wav for
// snr=0/spk=f1/s.wav) are ambiguous: a "bad_row" pair naming both.
//
// Pairs come sorted by the path they are found at (byte order), and for
// each path by system in the order given; every pair carries its system's
// label as the metadata column "system", then the name=value columns of
// that path (a system's file's; for an unpaired reference, its own). The
// reference column holds the reference's relative path, the degraded
// column the system's file's; a pair without its other file holds its one
// path in both. Only audio files are taken (is_audio_name; hidden files
// and folders are passed over). Each folder is walked without the others
// (refs/enh given as a system folder holds no references). Links to
// folders are followed, except a link back to a folder that holds it (a
// cycle), which is passed over. A reference that no file of a system
// pairs with, and a system's file without a reference, become pairs with
// error "unpaired".
class DirectorySource : public PairList {
public:
    // Throws ListingError, also for two systems of one label.
    DirectorySource(const std::string& reference_dir, const std::vector<SystemFolder>& systems);
    // One system folder, labelled by its name.
    DirectorySource(const std::string& reference_dir, const std::string& degraded_dir)
        : DirectorySource(reference_dir, {SystemFolder{folder_name(degraded_dir), degraded_dir}}) {}
    std::string layout() const override { return layout_; }

private:
    std::string layout_;
};

// Two lists of "<id> <path>" lines, as speech toolkits keep their audio
// ("wav.scp"): the id is the line's first field, the path everything
// after the blanks that follow it (it may hold blanks; blanks at the end
// of the line are dropped). Blank lines are skipped; there are no comment
// lines. Pairs come in the order of the degraded list, each carrying its
// id as the metadata column "id"; an id in one list only is an "unpaired"
// pair (those of the reference list only come last, in its order). An
// entry that is a command pipe (a path ending in '|'), a Kaldi archive
// entry (file.ark:offset), a line without a path or a path holding a NUL
// byte is a "bad_row" pair saying so. Relative paths are taken from the
// working directory, as the toolkits take them. The lists are read whole
// (a line is at most CSV_MAX_RECORD bytes); an id listed twice in one list
// is refused (ListingError). Held as their bytes and an index of offsets
// (about 12 bytes an entry beside its line), the pairs are made as they
// are asked for.
class ScpSource : public PairSource {
public:
    // Throws ListingError.
    ScpSource(const std::string& reference_list, const std::string& degraded_list);
    ~ScpSource() override;
    bool next(PairSpec& listed) override;
    void rewind() override;
    const std::vector<std::string>& metadata() const override { return metadata_; }
    std::string layout() const override;
    // The SHA-256 of each list's bytes.
    const std::string& reference_sha256() const;
    const std::string& degraded_sha256() const;

private:
    class List;
    std::unique_ptr<List> reference_;
    std::unique_ptr<List> degraded_;
    std::vector<bool> paired_;  // the reference entries that a degraded entry pairs with
    size_t at_ = 0;             // the next entry: the degraded list's, then the reference list's
    int64_t index_ = 0;
    std::vector<std::string> metadata_{"id"};
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

}  // namespace kelvor::frontend

#endif
