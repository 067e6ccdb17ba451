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
// over. So is every folder of `other`: the other folders of the listing,
// which are walked on their own (a system folder inside the reference
// folder holds no references).
void list_folder(const fs::path& folder, const std::string& prefix, std::vector<FileId>& chain,
                 const std::vector<FileId>& other, const std::string& top, std::map<std::string, std::string>& files) {
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
            if (!id || std::find(chain.begin(), chain.end(), *id) != chain.end() ||
                std::find(other.begin(), other.end(), *id) != other.end()) {
                continue;
            }
            chain.push_back(*id);
            list_folder(p, prefix + name + "/", chain, other, top, files);
            chain.pop_back();
        } else if (is_audio_name(name)) {
            files.emplace(prefix + name, p.string());
        }
    }
    if (ec) throw failure();
}

// The identity of a folder of the listing; ListingError when it is none.
FileId folder_id(const std::string& dir) {
    std::error_code ec;
    std::optional<FileId> id = file_id(dir);
    if (!fs::is_directory(dir, ec) || !id) throw ListingError("'" + dir + "' is not a readable directory");
    return *id;
}

// Relative paths of the audio files below dir, each with the path to open,
// leaving out the folders of `other` (but never dir itself).
std::map<std::string, std::string> list_audio(const std::string& dir, const std::vector<FileId>& other) {
    const FileId id = folder_id(dir);
    std::vector<FileId> skipped;
    for (const FileId& o : other) {
        if (o != id) skipped.push_back(o);
    }
    std::map<std::string, std::string> files;
    std::vector<FileId> chain{id};
    list_folder(fs::path(dir), "", chain, skipped, dir, files);
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

// A folder of a relative path named "name=value" (snr=0/x.wav): a column
// `name` holding `value`, as data tools lay out a table partitioned by
// column. A name is a plain word: a letter or '_', then letters, digits,
// '_' or '-'.
struct Condition {
    std::string name;
    std::string value;
};

// A relative path as the pairing sees it: its name=value folders (the
// condition, in path order) and the rest of it, its key: snr=0/sub/x.wav
// is {snr=0} and sub/x.wav.
struct SplitPath {
    std::vector<Condition> conditions;
    std::string key;
    const std::string* top = nullptr;  // the folder the path was found below
    // Whether every name=value folder of this path is one of other's.
    bool within(const SplitPath& other) const {
        return std::all_of(conditions.begin(), conditions.end(), [&](const Condition& c) {
            return std::any_of(other.conditions.begin(), other.conditions.end(),
                               [&](const Condition& o) { return o.name == c.name && o.value == c.value; });
        });
    }
};

bool is_column_word(const std::string& name) {
    bool word = !name.empty() && (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_');
    for (char c : name) word = word && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
    return word;
}

// Splits the relative path of a file below the folder top. A name given
// twice on one path (snr=0/snr=5/x.wav) has no one value: ListingError.
SplitPath split_path(const std::string& relative, const std::string& top) {
    SplitPath split;
    split.top = &top;
    size_t start = 0;
    for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', start)) {
        const std::string part = relative.substr(start, slash - start);
        start = slash + 1;
        const size_t eq = part.find('=');
        if (eq == std::string::npos || !is_column_word(part.substr(0, eq))) {
            split.key += part + "/";
            continue;
        }
        Condition condition{part.substr(0, eq), part.substr(eq + 1)};
        for (const Condition& earlier : split.conditions) {
            if (earlier.name == condition.name) {
                throw ListingError("The path '" + relative + "' below '" + top + "' lies in two folders of the column '" +
                                   condition.name + "' ('" + earlier.name + "=" + earlier.value + "' and '" + part +
                                   "'), which gives it no one value: rename or move one of them");
            }
        }
        split.conditions.push_back(std::move(condition));
    }
    split.key += relative.substr(start);
    return split;
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
    // Each folder is walked without the others: a system folder inside the
    // reference folder (refs/enh) holds no references.
    std::vector<FileId> roots{folder_id(reference_dir)};
    for (const SystemFolder& system : systems) roots.push_back(folder_id(system.path));
    const std::map<std::string, std::string> refs = list_audio(reference_dir, roots);
    std::vector<std::map<std::string, std::string>> degs;
    std::map<std::string, SplitPath> splits;  // every relative path met, split
    for (const auto& [relative, _] : refs) splits.emplace(relative, split_path(relative, reference_dir));
    for (const SystemFolder& system : systems) {
        degs.push_back(list_audio(system.path, roots));
        for (const auto& [relative, _] : degs.back()) {
            if (splits.count(relative) == 0) splits.emplace(relative, split_path(relative, system.path));
        }
    }
    // The references by key: those a degraded file may pair with when no
    // reference has its very path.
    std::map<std::string, std::vector<const std::string*>> by_key;
    for (const auto& [relative, _] : refs) by_key[splits.at(relative).key].push_back(&relative);

    // Columns of "name=value" folders, in the order they first appear.
    std::map<std::string, size_t> position{{metadata_[0], 0}};
    for (const auto& [relative, split] : splits) {
        for (const Condition& c : split.conditions) {
            const auto [at, fresh] = position.emplace(c.name, metadata_.size());
            // "system" is a column from the start (the folders' labels), so
            // it is never fresh and is refused by name.
            if (c.name == "system" || (fresh && find_column(c.name) != nullptr)) {
                throw ListingError("The folder '" + c.name + "=" + c.value + "' of '" + relative + "' below '" +
                                   *split.top + "' would make a column '" + c.name +
                                   "', which kelvor-batch writes itself: rename the folder");
            }
            if (fresh) metadata_.push_back(c.name);
        }
    }
    auto cells_of = [&](const SplitPath& split) {
        std::vector<std::string> cells(metadata_.size());
        for (const Condition& c : split.conditions) cells[position.at(c.name)] = c.value;
        return cells;
    };

    // The reference of a degraded file: the one of its very path, else the
    // one of its key whose name=value folders are all the file's own and
    // hold every other such reference's (refs/s01.wav for
    // noisy/snr=-5/s01.wav). Two that fit and neither holding the other's
    // folders are ambiguous: both come back, and no pair is made.
    auto reference_of = [&](const std::string& relative) -> std::pair<const std::string*, const std::string*> {
        auto exact = refs.find(relative);
        if (exact != refs.end()) return {&exact->first, nullptr};
        const SplitPath& split = splits.at(relative);
        auto same_key = by_key.find(split.key);
        if (same_key == by_key.end()) return {nullptr, nullptr};
        std::vector<const std::string*> fits;
        for (const std::string* candidate : same_key->second) {
            if (splits.at(*candidate).within(split)) fits.push_back(candidate);
        }
        if (fits.empty()) return {nullptr, nullptr};
        auto folders = [&](const std::string* r) { return splits.at(*r).conditions.size(); };
        const std::string* best = *std::max_element(fits.begin(), fits.end(), [&](const std::string* a, const std::string* b) {
            return folders(a) < folders(b);
        });
        for (const std::string* other : fits) {
            if (other != best && (folders(other) == folders(best) || !splits.at(*other).within(splits.at(*best)))) {
                return {best, other};
            }
        }
        return {best, nullptr};
    };

    std::vector<std::set<std::string>> used(systems.size());  // references each system paired
    std::vector<std::map<std::string, std::pair<const std::string*, const std::string*>>> matches(systems.size());
    for (size_t k = 0; k < systems.size(); k++) {
        for (const auto& [relative, _] : degs[k]) {
            auto match = reference_of(relative);
            if (match.first != nullptr && match.second == nullptr) used[k].insert(*match.first);
            matches[k].emplace(relative, match);
        }
    }

    // Rows in byte order of the path they are found at (a degraded file's,
    // or that of a reference no file of the system paired), and for each
    // path in the order of the systems.
    int64_t index = 0;
    for (const auto& [relative, split] : splits) {
        const bool is_reference = refs.count(relative) != 0;
        for (size_t k = 0; k < systems.size(); k++) {
            auto d = degs[k].find(relative);
            if (d == degs[k].end() && (!is_reference || used[k].count(relative) != 0)) continue;
            PairSpec listed;
            listed.index = index++;
            listed.reference = listed.degraded = relative;
            listed.metadata = cells_of(split);
            listed.metadata[0] = systems[k].label;
            if (d == degs[k].end()) {
                listed.reference_path = refs.at(relative);
                listed.set_error(KELVOR_ERR_UNPAIRED,
                                 "no file '" + relative + "' in the degraded directory '" + systems[k].path + "'");
                pairs_.push_back(std::move(listed));
                continue;
            }
            listed.degraded_path = d->second;
            const auto [reference, rival] = matches[k].at(relative);
            if (reference == nullptr) {
                std::string facts = "no file '" + relative + "' in the reference directory '" + reference_dir + "'";
                if (!split.conditions.empty()) {
                    facts += ", nor '" + split.key + "'" +
                             (split.conditions.size() > 1 ? " in fewer of its name=value folders" : "");
                }
                listed.set_error(KELVOR_ERR_UNPAIRED, facts);
            } else if (rival != nullptr) {
                listed.set_error(KELVOR_ERR_BAD_ROW,
                                 "the degraded file '" + relative + "' of '" + systems[k].path +
                                     "' fits two references in '" + reference_dir + "', '" + *reference + "' and '" +
                                     *rival + "': neither lies in every name=value folder of the other");
            } else {
                listed.reference = *reference;
                listed.reference_path = refs.at(*reference);
            }
            pairs_.push_back(std::move(listed));
        }
    }
    std::string shown_dir = reference_dir;
    while (shown_dir.size() > 1 && shown_dir.back() == '/') shown_dir.pop_back();
    layout_ = "folders pair a system's file DIR/PATH with the reference '" + shown_dir +
              "/PATH' or, when PATH lies in folders named name=value (DIR/snr=-5/s01.wav), with the reference "
              "outside them ('" + shown_dir + "/s01.wav')";
}

}  // namespace kelvor::frontend
