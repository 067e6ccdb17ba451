// Id lists: two lists of "<id> <path>" lines, paired by id.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "frontend/csv.h"
#include "frontend/listing.h"
#include "frontend/sha256.h"

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
                entry.error = "list '" + path + "', line " + std::to_string(number) + ": the entry '" + entry.id + "' " + fault;
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
                             "no id '" + deg->id + "' in the reference list '" + reference_list + "'");
        } else if (deg == nullptr) {
            listed.set_error(KELVOR_ERR_UNPAIRED,
                             "no id '" + ref->id + "' in the degraded list '" + degraded_list + "'");
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
