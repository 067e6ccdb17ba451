// Manifests: a CSV or TSV file (or stream) with a header, read row by row.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <streambuf>

#include "frontend/file_names.h"
#include "frontend/listing.h"
#include "frontend/row_format.h"
#include "frontend/sha256.h"

namespace kelvor::frontend {

const std::vector<std::string> REFERENCE_NAMES = {"reference", "ref", "clean", "target"};
const std::vector<std::string> DEGRADED_NAMES = {"degraded", "deg", "enhanced", "estimate", "processed"};

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

}  // namespace

ShiftCell read_shift(const std::string& text, int& shift) {
    std::string t = trimmed(text);
    shift = 0;
    if (t.empty()) return ShiftCell::ok;
    bool negative = t[0] == '-';
    size_t i = (t[0] == '+' || negative) ? 1 : 0;
    if (i == t.size()) return ShiftCell::not_a_number;
    for (size_t k = i; k < t.size(); k++) {
        if (!std::isdigit(static_cast<unsigned char>(t[k]))) return ShiftCell::not_a_number;
    }
    while (i + 1 < t.size() && t[i] == '0') i++;  // leading zeros
    if (t.size() - i > 9) return ShiftCell::out_of_range;
    for (; i < t.size(); i++) shift = shift * 10 + (t[i] - '0');
    if (negative && shift != 0) {
        shift = 0;
        return ShiftCell::out_of_range;
    }
    return ShiftCell::ok;
}

bool parse_shift(const std::string& text, int& shift) {
    return read_shift(text, shift) == ShiftCell::ok;
}

bool parse_align(const std::string& text, bool& align) {
    std::string t = lower(trimmed(text));
    if (t.empty() || t == "0" || t == "false" || t == "no") {
        align = false;
        return true;
    }
    if (t == "1" || t == "true" || t == "yes") {
        align = true;
        return true;
    }
    return false;
}

// The manifest's bytes, read from its descriptor in order and never
// sought (a pipe cannot be). The header line can be looked at before it is
// read, for the byte order mark and the delimiter.
class ManifestSource::Stream : public std::streambuf {
public:
    explicit Stream(int fd) : fd_(fd), buffer_(size_t{64} << 10) { setg(buffer_.data(), buffer_.data(), buffer_.data()); }

    // The bytes from the read position up to the first line end (not
    // included), at most max of them; nothing is consumed.
    std::string peek_line(size_t max) {
        for (;;) {
            const char* begin = gptr();
            const char* end = egptr();
            const char* newline = std::find(begin, end, '\n');
            if (newline != end || static_cast<size_t>(end - begin) >= max || eof_) {
                return std::string(begin, std::min(static_cast<size_t>(newline - begin), max));
            }
            // Keep what is buffered at the front and read behind it.
            size_t kept = static_cast<size_t>(end - begin);
            std::memmove(buffer_.data(), begin, kept);
            if (buffer_.size() - kept < (size_t{16} << 10)) buffer_.resize(buffer_.size() * 2);
            ssize_t n = fill(buffer_.data() + kept, buffer_.size() - kept);
            setg(buffer_.data(), buffer_.data(), buffer_.data() + kept + static_cast<size_t>(n > 0 ? n : 0));
            if (n <= 0) eof_ = true;
        }
    }

    void skip(size_t n) { gbump(static_cast<int>(n)); }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (eof_) return traits_type::eof();
        ssize_t n = fill(buffer_.data(), buffer_.size());
        if (n <= 0) {
            eof_ = true;
            return traits_type::eof();
        }
        setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
        return traits_type::to_int_type(*gptr());
    }

private:
    // One read(); a failure reads as the end (and is reported by error_).
    ssize_t fill(char* at, size_t room) {
        for (;;) {
            ssize_t n = ::read(fd_, at, room);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error_ = errno;
            return n;
        }
    }

public:
    int error() const { return error_; }

private:
    int fd_;
    std::vector<char> buffer_;
    bool eof_ = false;
    int error_ = 0;
};

ManifestSource::ManifestSource(const std::string& path) : path_(path) {
    if (path == "-") {
        fd_ = 0;
    } else {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw ListingError("Can't read manifest '" + path_ + "': " + std::strerror(errno));
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        int err = errno;
        if (fd_ > 2) ::close(fd_);
        throw ListingError("Can't read manifest '" + path_ + "': " + std::strerror(err));
    }
    if (S_ISDIR(st.st_mode)) {
        if (fd_ > 2) ::close(fd_);
        throw ListingError("Can't read manifest '" + path_ + "': it is a directory");
    }
    regular_ = S_ISREG(st.st_mode);
    if (regular_) {
        id_ = FileId{st.st_dev, st.st_ino};
        off_t at = lseek(fd_, 0, SEEK_CUR);
        start_ = at > 0 ? at : 0;
    }
    // A stream has no folder of its own: its relative paths are taken from
    // the working directory.
    size_t slash = path.find_last_of('/');
    folder_ = (!regular_ || slash == std::string::npos) ? "" : path.substr(0, slash + 1);
    try {
        open();
    } catch (...) {
        if (fd_ > 2) ::close(fd_);
        throw;
    }
}

ManifestSource::~ManifestSource() {
    reader_.reset();
    in_.reset();
    stream_.reset();
    if (fd_ > 2) ::close(fd_);
}

std::optional<std::string> ManifestSource::sha256() const {
    if (!regular_) return std::nullopt;
    Sha256 hash;
    std::vector<char> buffer(size_t{64} << 10);
    for (off_t at = static_cast<off_t>(start_);;) {
        ssize_t n = ::pread(fd_, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        hash.update(buffer.data(), static_cast<size_t>(n));
        at += n;
    }
    return hash.hex();
}

void ManifestSource::fail(const std::string& what) const {
    throw ListingError("Manifest '" + path_ + "': " + what);
}

void ManifestSource::open() {
    reader_.reset();
    in_.reset();
    stream_ = std::make_unique<Stream>(fd_);
    in_ = std::make_unique<std::istream>(stream_.get());

    // Skip a UTF-8 byte order mark, then look at the header line for the
    // delimiter; nothing is read twice.
    std::string first = stream_->peek_line(CSV_MAX_RECORD + 1);
    if (first.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        stream_->skip(3);
        first.erase(0, 3);
    }
    if (has_extension(path_, TSV_EXTENSION)) delimiter_ = '\t';
    else if (has_extension(path_, CSV_EXTENSION)) delimiter_ = ',';
    else delimiter_ = first.find('\t') != std::string::npos ? '\t' : ',';
    reader_ = std::make_unique<CsvReader>(*in_, delimiter_);
    read_header();
}

// Reads the next record into fields; false at the end. A fault of the
// manifest as a whole throws ListingError: a read error, a quote never
// closed, a record over the reader's limits (its message after `where`).
bool ManifestSource::read_record(std::vector<std::string>& fields, const char* where) {
    bool complete = false;
    bool any = false;
    try {
        any = reader_->next(fields, complete);
    } catch (const CsvLimitError& e) {
        fail(where + std::string(e.what()));
    }
    if (stream_->error() != 0) fail(std::string("can't read it: ") + std::strerror(stream_->error()));
    if (!any) return false;
    if (reader_->open_quote_line() != 0) {
        fail("the quote opened on line " + std::to_string(reader_->open_quote_line()) + " is never closed");
    }
    return true;
}

void ManifestSource::read_header() {
    std::vector<std::string> header;
    if (!read_record(header, "its header: ")) throw ListingError("Manifest '" + path_ + "' is empty");
    columns_ = header.size();
    reference_ = degraded_ = shift_ = align_ = -1;
    metadata_.clear();
    carried_.clear();
    const std::string manifest = "Manifest '" + path_ + "'";
    for (size_t i = 0; i < header.size(); i++) {
        const std::string h = lower(trimmed(header[i]));
        auto named = [&](const std::vector<std::string>& names) {
            return std::find(names.begin(), names.end(), h) != names.end();
        };
        int* slot = named(REFERENCE_NAMES) ? &reference_
                  : named(DEGRADED_NAMES)  ? &degraded_
                  : h == "shift"           ? &shift_
                  : h == "align"           ? &align_
                                           : nullptr;
        if (slot == nullptr) {
            if (h.empty()) continue;  // no name to carry it under
            const std::string& name = header[i];
            if (find_column(name) != nullptr) {
                throw ListingError(manifest + " has a column '" + name +
                                   "', the name of an output column: rename or remove it");
            }
            if (std::find(metadata_.begin(), metadata_.end(), name) != metadata_.end()) {
                throw ListingError(manifest + " has two columns named '" + name + "'");
            }
            metadata_.push_back(name);
            carried_.push_back(i);
            continue;
        }
        if (*slot >= 0) {
            const char* role = slot == &reference_ ? "the reference" : slot == &degraded_ ? "the degraded signal"
                             : slot == &shift_     ? "the shift" : "align";
            throw ListingError(manifest + " has two columns for " + role + ": '" + header[static_cast<size_t>(*slot)] +
                               "' and '" + header[i] + "'");
        }
        *slot = static_cast<int>(i);
    }
    auto names = [](const std::vector<std::string>& list) {
        std::string text;
        for (size_t i = 0; i < list.size(); i++) {
            text += i == 0 ? "" : i + 1 == list.size() ? " or " : ", ";
            text += list[i];
        }
        return text;
    };
    if (reference_ < 0 || degraded_ < 0) {
        std::string missing = reference_ < 0 && degraded_ < 0 ? "a reference and a degraded column"
                            : reference_ < 0                  ? "a reference column"
                                                              : "a degraded column";
        throw ListingError(manifest + " needs a header naming " + missing + " (reference: " + names(REFERENCE_NAMES) +
                           "; degraded: " + names(DEGRADED_NAMES) + "; in any case)");
    }
    line_ = 0;
}

void ManifestSource::rewind() {
    if (!regular_) fail("it is read from a stream and cannot be read again");
    if (lseek(fd_, static_cast<off_t>(start_), SEEK_SET) < 0) fail(std::string("can't read it again: ") + std::strerror(errno));
    open();
}

bool ManifestSource::next(PairSpec& listed) {
    std::vector<std::string> fields;
    do {
        if (!read_record(fields, "")) return false;
    } while (fields.size() == 1 && trimmed(fields[0]).empty());  // a blank line
    const std::string line = "manifest line " + std::to_string(reader_->record_line());
    listed = PairSpec{};
    listed.index = line_++;
    auto field = [&](int column) { return column >= 0 && static_cast<size_t>(column) < fields.size() ? fields[column] : std::string(); };
    listed.reference = field(reference_);
    listed.degraded = field(degraded_);
    auto resolve = [&](const std::string& p) { return p.empty() || p[0] == '/' ? p : folder_ + p; };
    listed.reference_path = resolve(listed.reference);
    listed.degraded_path = resolve(listed.degraded);
    listed.metadata.reserve(carried_.size());
    for (size_t column : carried_) listed.metadata.push_back(field(static_cast<int>(column)));
    ShiftCell shift = ShiftCell::ok;
    if (fields.size() != columns_) {
        listed.set_error(KELVOR_ERR_BAD_ROW, line + " has " + std::to_string(fields.size()) +
                                                 (fields.size() == 1 ? " field" : " fields") + ", its header " +
                                                 std::to_string(columns_));
    } else if (listed.reference.find('\0') != std::string::npos || listed.degraded.find('\0') != std::string::npos) {
        // open() would take the name only up to the NUL: another file.
        const bool reference = listed.reference.find('\0') != std::string::npos;
        listed.set_error(KELVOR_ERR_BAD_ROW,
                         line + ": the " + (reference ? "reference" : "degraded") + " name holds a NUL byte");
    } else if ((shift = read_shift(field(shift_), listed.shift)) != ShiftCell::ok) {
        // A number no rate takes is out of range here already; one that
        // some rate takes is judged with the files' rate by the library.
        listed.set_error(KELVOR_ERR_BAD_SHIFT, line + ": the shift '" + field(shift_) + "'" +
                                                   (shift == ShiftCell::out_of_range
                                                        ? ""
                                                        : " is not a whole number of samples"));
    } else if (!parse_align(field(align_), listed.align)) {
        listed.set_error(KELVOR_ERR_BAD_ALIGN, line + ": the align '" + field(align_) + "' is not 1 or 0");
    }
    return true;
}

}  // namespace kelvor::frontend
