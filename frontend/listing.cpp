#include "frontend/listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <streambuf>
#include <system_error>

#include "frontend/row_format.h"
#include "frontend/sha256.h"

namespace kelvor::frontend {

namespace fs = std::filesystem;

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

bool is_audio_name(const std::string& name) {
    return has_extension(name, {".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".aif", ".aiff", ".aifc", ".au",
                                ".snd", ".caf", ".w64", ".rf64", ".pcm", ".raw"});
}

// Adds the audio files below folder (relative paths starting with prefix)
// to files. chain holds the folders from the top down to folder: a link
// back to one of them would list them again without end, and is passed
// over.
void list_folder(const fs::path& folder, const std::string& prefix, std::vector<FileId>& chain,
                 const std::string& top, std::map<std::string, std::string>& files) {
    std::error_code ec;
    auto failure = [&] { return ListingError("Can't read directory '" + top + "': " + ec.message()); };
    fs::directory_iterator it(folder, ec);
    if (ec) throw failure();
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) throw failure();
        const fs::path& p = it->path();
        std::string name = p.filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code kind;
        if (it->is_directory(kind)) {
            std::optional<FileId> id = file_id(p.string());
            if (!id || std::find(chain.begin(), chain.end(), *id) != chain.end()) continue;
            chain.push_back(*id);
            list_folder(p, prefix + name + "/", chain, top, files);
            chain.pop_back();
        } else if (is_audio_name(name)) {
            files.emplace(prefix + name, p.string());
        }
    }
    if (ec) throw failure();
}

// Relative paths of the audio files below dir, each with the path to open.
std::map<std::string, std::string> list_audio(const std::string& dir) {
    std::error_code ec;
    std::optional<FileId> id = file_id(dir);
    if (!fs::is_directory(dir, ec) || !id) throw ListingError("'" + dir + "' is not a readable directory");
    std::map<std::string, std::string> files;
    std::vector<FileId> chain{*id};
    list_folder(fs::path(dir), "", chain, dir, files);
    return files;
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
    if (has_extension(path_, {".tsv"})) delimiter_ = '\t';
    else if (has_extension(path_, {".csv"})) delimiter_ = ',';
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
    const std::string line = "Manifest line " + std::to_string(reader_->record_line());
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
        listed.set_error(KELVOR_ERR_BAD_SHIFT,
                         shift == ShiftCell::out_of_range
                             ? "Shift '" + field(shift_) + "' is out of range: at most 112.5 ms (900 samples at 8000 Hz)"
                             : "Shift '" + field(shift_) + "' is not a whole number of samples");
    } else if (!parse_align(field(align_), listed.align)) {
        listed.set_error(KELVOR_ERR_BAD_ALIGN, "Align '" + field(align_) + "' is not 1 or 0");
    }
    return true;
}

std::string folder_name(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.find_last_of('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        std::error_code ec;
        fs::path resolved = fs::canonical(path.empty() ? "." : path, ec);
        if (!ec) return resolved.filename().empty() ? resolved.string() : resolved.filename().string();
        return p.empty() ? "." : p;
    }
    return name;
}

SystemFolder parse_system_folder(const std::string& text) {
    const size_t eq = text.find('=');
    if (eq != std::string::npos && eq > 0) {
        const std::string name = text.substr(0, eq);
        const bool plain = name != "." && name != ".." && std::all_of(name.begin(), name.end(), [](char c) {
            unsigned char u = static_cast<unsigned char>(c);
            return std::isalnum(u) != 0 || c == '_' || c == '-' || c == '.' || u >= 0x80;
        });
        if (plain) return SystemFolder{name, text.substr(eq + 1)};
    }
    return SystemFolder{folder_name(text), text};
}

namespace {

// The "name=value" folders of a relative path (snr=0/speaker=f1/x.wav):
// each a column `name` holding `value`, as data tools lay out a table
// partitioned by column. A name is a plain word: a letter or '_', then
// letters, digits, '_' or '-'.
std::vector<std::pair<std::string, std::string>> folder_columns(const std::string& relative) {
    std::vector<std::pair<std::string, std::string>> columns;
    size_t start = 0;
    for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', start)) {
        const std::string part = relative.substr(start, slash - start);
        start = slash + 1;
        const size_t eq = part.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        const std::string name = part.substr(0, eq);
        bool word = std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_';
        for (char c : name) word = word && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
        if (word) columns.emplace_back(name, part.substr(eq + 1));
    }
    return columns;
}

}  // namespace

DirectorySource::DirectorySource(const std::string& reference_dir, const std::vector<SystemFolder>& systems)
    : PairList({"system"}) {
    for (size_t i = 0; i < systems.size(); i++) {
        for (size_t j = 0; j < i; j++) {
            if (systems[i].label == systems[j].label) {
                throw ListingError("Two system folders have the label '" + systems[i].label + "' ('" + systems[j].path +
                                   "' and '" + systems[i].path + "'): give each a label of its own (NAME=DIR)");
            }
        }
    }
    std::map<std::string, std::string> refs = list_audio(reference_dir);
    std::vector<std::map<std::string, std::string>> degs;
    std::set<std::string> paths;
    for (const auto& [relative, _] : refs) paths.insert(relative);
    for (const SystemFolder& system : systems) {
        degs.push_back(list_audio(system.path));
        for (const auto& [relative, _] : degs.back()) paths.insert(relative);
    }
    // Columns of "name=value" folders, in the order they first appear, and
    // each path's values of them (the first non-empty one of a name).
    std::map<std::string, size_t> position{{metadata_[0], 0}};
    std::vector<std::vector<std::string>> values;
    values.reserve(paths.size());
    for (const std::string& relative : paths) {
        std::vector<std::string>& cells = values.emplace_back();
        for (const auto& [name, value] : folder_columns(relative)) {
            const auto [at, fresh] = position.emplace(name, metadata_.size());
            // "system" is a column from the start (the folders' labels), so
            // it is never fresh and is refused by name.
            if (name == "system" || (fresh && find_column(name) != nullptr)) {
                throw ListingError("The folder '" + name + "=" + value + "' of '" + relative +
                                   "' would make a column '" + name +
                                   "', which kelvor-batch writes itself: rename the folder");
            }
            if (fresh) metadata_.push_back(name);
            if (cells.size() <= at->second) cells.resize(at->second + 1);
            if (cells[at->second].empty()) cells[at->second] = value;
        }
    }
    int64_t index = 0;
    auto cells = values.begin();
    for (const std::string& relative : paths) {
        cells->resize(metadata_.size());
        auto r = refs.find(relative);
        for (size_t k = 0; k < systems.size(); k++) {
            auto d = degs[k].find(relative);
            if (r == refs.end() && d == degs[k].end()) continue;
            PairSpec listed;
            listed.index = index++;
            listed.reference = listed.degraded = relative;
            listed.metadata = *cells;
            listed.metadata[0] = systems[k].label;
            if (r != refs.end()) listed.reference_path = r->second;
            if (d != degs[k].end()) listed.degraded_path = d->second;
            if (d == degs[k].end()) {
                listed.set_error(KELVOR_ERR_UNPAIRED,
                                 "No file '" + relative + "' in the degraded directory '" + systems[k].path + "'");
            } else if (r == refs.end()) {
                listed.set_error(KELVOR_ERR_UNPAIRED,
                                 "No file '" + relative + "' in the reference directory '" + reference_dir + "'");
            }
            pairs_.push_back(std::move(listed));
        }
        ++cells;
    }
}

bool PairList::next(PairSpec& listed) {
    if (at_ >= pairs_.size()) return false;
    listed = pairs_[at_++];
    return true;
}

}  // namespace kelvor::frontend

namespace kelvor::frontend {

namespace {

// One entry of a list: an id and what follows it on its line.
struct ScpEntry {
    std::string id;
    std::string path;
    int64_t line = 0;
    std::string error;  // why the entry cannot be read; empty when it can
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// What is wrong with the path of an entry, or "" when it names a file.
std::string scp_path_fault(const std::string& path) {
    if (path.empty()) return "has no path";
    if (path.back() == '|') {
        return "is a command pipe ('" + path + "'); kelvor-batch reads files only: write the audio to files and list them";
    }
    if (path.find('\0') != std::string::npos) return "has a path holding a NUL byte";
    // file.ark:1234 is an entry inside a Kaldi archive, not a file.
    const size_t colon = path.find_last_of(':');
    if (colon != std::string::npos && colon + 1 < path.size() && colon >= 4 &&
        path.compare(colon - 4, 4, ".ark") == 0 &&
        std::all_of(path.begin() + static_cast<std::ptrdiff_t>(colon) + 1, path.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        return "is an entry of an archive ('" + path + "'); kelvor-batch reads audio files only";
    }
    return "";
}

// The entries of a list, in order, and the SHA-256 of its bytes. Read as
// a stream (a pipe too), one line at a time up to CSV_MAX_RECORD bytes.
// Closes a descriptor however the reading ends.
struct OpenFile {
    int fd;
    ~OpenFile() { ::close(fd); }
};

std::vector<ScpEntry> read_scp(const std::string& path, std::string& sha256) {
    const std::string list = "List '" + path + "'";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ListingError("Can't read list '" + path + "': " + std::strerror(errno));
    const OpenFile file{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) throw ListingError("Can't read list '" + path + "': " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw ListingError("Can't read list '" + path + "': it is a directory");
    Sha256 hash;
    std::vector<ScpEntry> entries;
    std::map<std::string, int64_t> seen;
    std::string line;
    int64_t number = 1;
    auto finish_line = [&] {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t b = 0;
        while (b < line.size() && is_blank(line[b])) b++;
        size_t e = line.size();
        while (e > b && is_blank(line[e - 1])) e--;
        if (b < e) {
            ScpEntry entry;
            entry.line = number;
            size_t cut = b;
            while (cut < e && !is_blank(line[cut])) cut++;
            entry.id = line.substr(b, cut - b);
            while (cut < e && is_blank(line[cut])) cut++;
            entry.path = line.substr(cut, e - cut);
            auto [at, fresh] = seen.emplace(entry.id, number);
            if (!fresh) {
                throw ListingError(list + " holds the id '" + entry.id + "' twice (lines " + std::to_string(at->second) +
                                   " and " + std::to_string(number) + ")");
            }
            std::string fault = scp_path_fault(entry.path);
            if (!fault.empty()) {
                entry.error = list + ", line " + std::to_string(number) + ": the entry '" + entry.id + "' " + fault;
            }
            entries.push_back(std::move(entry));
        }
        line.clear();
        number++;
    };
    std::vector<char> buffer(size_t{64} << 10);
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ListingError("Can't read list '" + path + "': " + std::strerror(errno));
        if (n == 0) break;
        hash.update(buffer.data(), static_cast<size_t>(n));
        for (ssize_t i = 0; i < n; i++) {
            char c = buffer[static_cast<size_t>(i)];
            if (c == '\n') {
                finish_line();
                continue;
            }
            if (line.size() >= CSV_MAX_RECORD) {
                throw ListingError(list + ": line " + std::to_string(number) + " is longer than " +
                                   std::to_string(CSV_MAX_RECORD) + " bytes");
            }
            line.push_back(c);
        }
    }
    if (!line.empty()) finish_line();
    sha256 = hash.hex();
    return entries;
}

}  // namespace

ScpSource::ScpSource(const std::string& reference_list, const std::string& degraded_list) : PairList({"id"}) {
    const std::vector<ScpEntry> refs = read_scp(reference_list, reference_sha256_);
    const std::vector<ScpEntry> degs = read_scp(degraded_list, degraded_sha256_);
    std::map<std::string, size_t> by_id;
    for (size_t i = 0; i < refs.size(); i++) by_id.emplace(refs[i].id, i);
    std::vector<bool> used(refs.size(), false);
    int64_t index = 0;
    auto add = [&](const ScpEntry* ref, const ScpEntry* deg) {
        PairSpec listed;
        listed.index = index++;
        listed.metadata = {ref != nullptr ? ref->id : deg->id};
        if (ref != nullptr) listed.reference = listed.reference_path = ref->path;
        if (deg != nullptr) listed.degraded = listed.degraded_path = deg->path;
        if (deg != nullptr && !deg->error.empty()) {
            listed.set_error(KELVOR_ERR_BAD_ROW, deg->error);
        } else if (ref != nullptr && !ref->error.empty()) {
            listed.set_error(KELVOR_ERR_BAD_ROW, ref->error);
        } else if (ref == nullptr) {
            listed.set_error(KELVOR_ERR_UNPAIRED,
                             "No id '" + deg->id + "' in the reference list '" + reference_list + "'");
        } else if (deg == nullptr) {
            listed.set_error(KELVOR_ERR_UNPAIRED,
                             "No id '" + ref->id + "' in the degraded list '" + degraded_list + "'");
        }
        pairs_.push_back(std::move(listed));
    };
    for (const ScpEntry& deg : degs) {
        auto it = by_id.find(deg.id);
        if (it == by_id.end()) {
            add(nullptr, &deg);
        } else {
            used[it->second] = true;
            add(&refs[it->second], &deg);
        }
    }
    for (size_t i = 0; i < refs.size(); i++) {
        if (!used[i]) add(&refs[i], nullptr);
    }
}

}  // namespace kelvor::frontend
