// Folders: a folder of references and folders of systems, paired by the
// relative paths of their audio files.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "frontend/file_names.h"
#include "frontend/listing.h"
#include "frontend/row_format.h"

namespace kelvor::frontend {

namespace fs = std::filesystem;

namespace {

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
                                 "no file '" + relative + "' in the degraded directory '" + systems[k].path + "'");
            } else if (r == refs.end()) {
                listed.set_error(KELVOR_ERR_UNPAIRED,
                                 "no file '" + relative + "' in the reference directory '" + reference_dir + "'");
            }
            pairs_.push_back(std::move(listed));
        }
        ++cells;
    }
}

}  // namespace kelvor::frontend
