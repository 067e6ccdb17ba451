// Id lists: two lists of "<id> <path>" lines, paired by id.
//
// Lists of a million lines are common, so a list is held as its own bytes
// and an index of offsets into them, never as strings per line: an entry
// costs 8 bytes beside its line, the reference list 4 more for its order
// by id. Pairs are made one at a time as they are asked for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "frontend/csv.h"
#include "frontend/listing.h"
#include "frontend/sha256.h"

namespace kelvor::frontend {

namespace {

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

// Closes a descriptor however the reading ends.
struct OpenFile {
    int fd;
    ~OpenFile() { ::close(fd); }
};

// An entry packs where its id starts (the low 40 bits above ID_BITS: lists
// up to a terabyte) and the id's length (the low ID_BITS: more than a line
// holds).
constexpr int ID_BITS = 24;
static_assert(CSV_MAX_RECORD < (size_t{1} << ID_BITS), "an id's length fits its field");
constexpr uint64_t LARGEST_LIST = uint64_t{1} << 40;
// Every CHECKPOINT-th entry keeps its line number; the others count the
// line ends from there.
constexpr size_t CHECKPOINT = 64;

}  // namespace

// One list, read whole: its bytes, and where each entry's id lies in them.
class ScpSource::List {
public:
    // Reads and indexes the list; throws ListingError.
    explicit List(const std::string& path);

    size_t size() const { return entries_.size(); }
    std::string_view id(size_t e) const {
        return std::string_view(bytes_).substr(static_cast<size_t>(entries_[e] >> ID_BITS),
                                               static_cast<size_t>(entries_[e] & ((uint64_t{1} << ID_BITS) - 1)));
    }
    // What follows the id on its line: the blanks after it and at the end
    // of the line, and a CR before the line end, left out.
    std::string path(size_t e) const {
        const size_t id_end = static_cast<size_t>(entries_[e] >> ID_BITS) + id(e).size();
        size_t end = bytes_.find('\n', id_end);
        if (end == std::string::npos) end = bytes_.size();
        if (end > id_end && bytes_[end - 1] == '\r') end--;
        while (end > id_end && is_blank(bytes_[end - 1])) end--;
        size_t begin = id_end;
        while (begin < end && is_blank(bytes_[begin])) begin++;
        return bytes_.substr(begin, end - begin);
    }
    // The 1-based line of entry e.
    int64_t line(size_t e) const {
        const size_t from = e / CHECKPOINT * CHECKPOINT;
        const char* text = bytes_.data();
        return checkpoints_[e / CHECKPOINT] +
               std::count(text + (entries_[from] >> ID_BITS), text + (entries_[e] >> ID_BITS), '\n');
    }
    // Why entry e cannot be read (its list and line, then the fault), or
    // "" when it can.
    std::string fault(size_t e) const {
        const std::string fault = scp_path_fault(path(e));
        if (fault.empty()) return "";
        return "list '" + path_ + "', line " + std::to_string(line(e)) + ": the entry '" + std::string(id(e)) + "' " +
               fault;
    }
    // The entry of an id (by_id() must have been made); size() when none.
    size_t find(std::string_view id) const {
        auto at = std::lower_bound(by_id_.begin(), by_id_.end(), id,
                                   [&](uint32_t e, std::string_view wanted) { return this->id(e) < wanted; });
        return at != by_id_.end() && id == this->id(*at) ? *at : size();
    }
    // Orders the entries by id and refuses an id listed twice (naming the
    // first line that repeats one, and where it was first listed); keep
    // whether the order is kept for find().
    void index_by_id(bool keep);

    const std::string& name() const { return path_; }
    const std::string& sha256() const { return sha256_; }

private:
    std::string path_;
    std::string bytes_;
    std::string sha256_;
    std::vector<uint64_t> entries_;      // in list order
    std::vector<int64_t> checkpoints_;   // the line of entries 0, CHECKPOINT, 2 CHECKPOINT, ...
    std::vector<uint32_t> by_id_;        // entries ordered by id
};

ScpSource::List::List(const std::string& path) : path_(path) {
    const std::string list = "List '" + path + "'";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ListingError("Can't read list '" + path + "': " + std::strerror(errno));
    const OpenFile file{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) throw ListingError("Can't read list '" + path + "': " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw ListingError("Can't read list '" + path + "': it is a directory");
    // Read as a stream (a pipe too), whole.
    if (S_ISREG(st.st_mode) && st.st_size > 0) bytes_.reserve(static_cast<size_t>(st.st_size));
    char buffer[size_t{64} << 10];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ListingError("Can't read list '" + path + "': " + std::strerror(errno));
        if (n == 0) break;
        if (bytes_.size() + static_cast<size_t>(n) >= LARGEST_LIST) throw ListingError(list + " is too large");
        bytes_.append(buffer, static_cast<size_t>(n));
    }
    Sha256 hash;
    hash.update(bytes_.data(), bytes_.size());
    sha256_ = hash.hex();

    int64_t number = 1;
    for (size_t start = 0; start < bytes_.size(); number++) {
        size_t end = bytes_.find('\n', start);
        const size_t next = end == std::string::npos ? bytes_.size() : end + 1;
        if (end == std::string::npos) end = bytes_.size();
        if (end - start > CSV_MAX_RECORD) {
            throw ListingError(list + ": line " + std::to_string(number) + " is longer than " +
                               std::to_string(CSV_MAX_RECORD) + " bytes");
        }
        if (end > start && bytes_[end - 1] == '\r') end--;
        size_t b = start;
        while (b < end && is_blank(bytes_[b])) b++;
        while (end > b && is_blank(bytes_[end - 1])) end--;
        if (b < end) {
            if (entries_.size() == std::numeric_limits<uint32_t>::max()) {
                throw ListingError(list + " holds more entries than can be paired");
            }
            size_t cut = b;
            while (cut < end && !is_blank(bytes_[cut])) cut++;
            if (entries_.size() % CHECKPOINT == 0) checkpoints_.push_back(number);
            entries_.push_back(uint64_t{b} << ID_BITS | (cut - b));
        }
        start = next;
    }
}

void ScpSource::List::index_by_id(bool keep) {
    by_id_.resize(entries_.size());
    for (size_t e = 0; e < by_id_.size(); e++) by_id_[e] = static_cast<uint32_t>(e);
    // Stable: an id's entries stay in list order, its first one first.
    std::stable_sort(by_id_.begin(), by_id_.end(), [&](uint32_t a, uint32_t b) { return id(a) < id(b); });
    size_t first = size(), repeat = size();  // the earliest entry that repeats an id, and that id's first
    for (size_t group = 0, k = 1; k <= by_id_.size(); k++) {
        if (k < by_id_.size() && id(by_id_[k]) == id(by_id_[group])) continue;
        if (k - group > 1 && by_id_[group + 1] < repeat) {  // the group's second entry repeats its first
            repeat = by_id_[group + 1];
            first = by_id_[group];
        }
        group = k;
    }
    if (repeat != size()) {
        throw ListingError("List '" + path_ + "' holds the id '" + std::string(id(repeat)) + "' twice (lines " +
                           std::to_string(line(first)) + " and " + std::to_string(line(repeat)) + ")");
    }
    if (!keep) std::vector<uint32_t>().swap(by_id_);
}

ScpSource::ScpSource(const std::string& reference_list, const std::string& degraded_list)
    : reference_(std::make_unique<List>(reference_list)) {
    reference_->index_by_id(true);
    degraded_ = std::make_unique<List>(degraded_list);
    degraded_->index_by_id(false);
    paired_.assign(reference_->size(), false);
    for (size_t d = 0; d < degraded_->size(); d++) {
        const size_t r = reference_->find(degraded_->id(d));
        if (r != reference_->size()) paired_[r] = true;
    }
}

ScpSource::~ScpSource() = default;

const std::string& ScpSource::reference_sha256() const {
    return reference_->sha256();
}

const std::string& ScpSource::degraded_sha256() const {
    return degraded_->sha256();
}

bool ScpSource::next(PairSpec& listed) {
    // The degraded list's entries in order, then the reference list's that
    // none paired with.
    const List& refs = *reference_;
    const List& degs = *degraded_;
    size_t r = refs.size(), d = degs.size();
    if (at_ < degs.size()) {
        d = at_++;
        r = refs.find(degs.id(d));
    } else {
        while (at_ - degs.size() < refs.size() && paired_[at_ - degs.size()]) at_++;
        if (at_ - degs.size() >= refs.size()) return false;
        r = at_++ - degs.size();
    }
    listed = PairSpec();
    listed.index = index_++;
    listed.metadata = {std::string(r != refs.size() ? refs.id(r) : degs.id(d))};
    if (r != refs.size()) listed.reference = listed.reference_path = refs.path(r);
    if (d != degs.size()) listed.degraded = listed.degraded_path = degs.path(d);
    std::string fault = d != degs.size() ? degs.fault(d) : "";
    if (fault.empty() && r != refs.size()) fault = refs.fault(r);
    if (!fault.empty()) {
        listed.set_error(KELVOR_ERR_BAD_ROW, fault);
    } else if (r == refs.size()) {
        listed.set_error(KELVOR_ERR_UNPAIRED,
                         "no id '" + listed.metadata[0] + "' in the reference list '" + refs.name() + "'");
    } else if (d == degs.size()) {
        listed.set_error(KELVOR_ERR_UNPAIRED,
                         "no id '" + listed.metadata[0] + "' in the degraded list '" + degs.name() + "'");
    }
    return true;
}

void ScpSource::rewind() {
    at_ = 0;
    index_ = 0;
}

std::string ScpSource::layout() const {
    return "lists pair the line '<id> <path>' of the degraded list '" + degraded_->name() +
           "' with the line of the same id (its first field, compared byte for byte) in the reference list '" +
           reference_->name() + "'";
}

}  // namespace kelvor::frontend
