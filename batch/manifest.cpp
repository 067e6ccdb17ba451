#include "batch/manifest.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

namespace kelvor::batch {

namespace fs = std::filesystem;

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

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool is_audio_name(const std::string& name) {
    static const char* const extensions[] = {".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".aif", ".aiff",
                                             ".aifc", ".au", ".snd", ".caf", ".w64", ".rf64", ".pcm", ".raw"};
    std::string l = lower(name);
    return std::any_of(std::begin(extensions), std::end(extensions), [&](const char* e) { return ends_with(l, e); });
}

// Relative paths of the audio files below dir, each with the path to open.
std::map<std::string, std::string> list_audio(const std::string& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw ListingError("'" + dir + "' is not a readable directory");
    std::map<std::string, std::string> files;
    fs::recursive_directory_iterator it(dir, fs::directory_options::follow_directory_symlink, ec);
    if (ec) throw ListingError("Can't read directory '" + dir + "': " + ec.message());
    for (fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) throw ListingError("Can't read directory '" + dir + "': " + ec.message());
        const fs::path& p = it->path();
        std::string name = p.filename().string();
        if (!name.empty() && name[0] == '.') {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory(ec) || !is_audio_name(name)) continue;
        std::string relative = p.lexically_relative(dir).generic_string();
        files.emplace(relative, p.string());
    }
    if (ec) throw ListingError("Can't read directory '" + dir + "': " + ec.message());
    return files;
}

}  // namespace

bool parse_shift(const std::string& text, int& shift) {
    std::string t = trimmed(text);
    shift = 0;
    if (t.empty()) return true;
    size_t i = t[0] == '+' ? 1 : 0;
    if (i == t.size() || t.size() - i > 9) return false;
    for (; i < t.size(); i++) {
        if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
        shift = shift * 10 + (t[i] - '0');
    }
    return true;
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

ManifestSource::ManifestSource(const std::string& path) : path_(path) {
    size_t slash = path.find_last_of('/');
    folder_ = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    open();
}

void ManifestSource::open() {
    in_.close();
    in_.clear();
    if (fs::is_directory(path_)) throw ListingError("Can't read manifest '" + path_ + "': it is a directory");
    in_.open(path_, std::ios::binary);
    if (!in_) throw ListingError("Can't read manifest '" + path_ + "': " + std::strerror(errno));

    // Skip a UTF-8 byte order mark, then look at the header line for the
    // delimiter.
    char bom[3] = {};
    in_.read(bom, 3);
    if (!(in_.gcount() == 3 && bom[0] == '\xEF' && bom[1] == '\xBB' && bom[2] == '\xBF')) {
        in_.clear();
        in_.seekg(0);
    }
    std::streampos start = in_.tellg();
    std::string first;
    std::getline(in_, first);
    in_.clear();
    in_.seekg(start);
    std::string name = lower(path_);
    if (ends_with(name, ".tsv")) delimiter_ = '\t';
    else if (ends_with(name, ".csv")) delimiter_ = ',';
    else delimiter_ = first.find('\t') != std::string::npos ? '\t' : ',';

    reader_ = std::make_unique<CsvReader>(in_, delimiter_);
    std::vector<std::string> header;
    bool complete = false;
    if (!reader_->next(header, complete)) throw ListingError("Manifest '" + path_ + "' is empty");
    columns_ = header.size();
    reference_ = degraded_ = shift_ = align_ = -1;
    for (size_t i = 0; i < header.size(); i++) {
        std::string h = lower(trimmed(header[i]));
        int* slot = h == "reference" ? &reference_ : h == "degraded" ? &degraded_ : h == "shift" ? &shift_
                  : h == "align"     ? &align_ : nullptr;
        if (slot == nullptr) continue;
        if (*slot >= 0) throw ListingError("Manifest '" + path_ + "' has two '" + h + "' columns");
        *slot = static_cast<int>(i);
    }
    if (reference_ < 0 || degraded_ < 0) {
        throw ListingError("Manifest '" + path_ + "' needs a header naming the columns 'reference' and 'degraded'");
    }
    line_ = 0;
}

void ManifestSource::rewind() {
    open();
}

bool ManifestSource::next(PairSpec& listed) {
    std::vector<std::string> fields;
    bool complete = false;
    for (;;) {
        if (!reader_->next(fields, complete)) return false;
        bool blank = fields.size() == 1 && trimmed(fields[0]).empty();
        if (!blank) break;
    }
    listed = PairSpec{};
    listed.index = line_++;
    auto field = [&](int column) { return column >= 0 && static_cast<size_t>(column) < fields.size() ? fields[column] : std::string(); };
    listed.reference = field(reference_);
    listed.degraded = field(degraded_);
    auto resolve = [&](const std::string& p) { return p.empty() || p[0] == '/' ? p : folder_ + p; };
    listed.reference_path = resolve(listed.reference);
    listed.degraded_path = resolve(listed.degraded);
    if (fields.size() != columns_) {
        listed.error_code = "bad_row";
        listed.error_message = "Manifest row " + std::to_string(line_) + " has " + std::to_string(fields.size()) +
                             " fields, its header " + std::to_string(columns_);
    } else if (!parse_shift(field(shift_), listed.shift)) {
        listed.error_code = "bad_shift";
        listed.error_message = "Shift '" + field(shift_) + "' is not a whole number of samples";
    } else if (!parse_align(field(align_), listed.align)) {
        listed.error_code = "bad_align";
        listed.error_message = "Align '" + field(align_) + "' is not 1 or 0";
    }
    return true;
}

DirectorySource::DirectorySource(const std::string& reference_dir, const std::string& degraded_dir) {
    std::map<std::string, std::string> refs = list_audio(reference_dir);
    std::map<std::string, std::string> degs = list_audio(degraded_dir);
    int64_t index = 0;
    auto r = refs.begin();
    auto d = degs.begin();
    while (r != refs.end() || d != degs.end()) {
        PairSpec listed;
        listed.index = index++;
        if (d == degs.end() || (r != refs.end() && r->first < d->first)) {
            listed.reference = listed.degraded = r->first;
            listed.reference_path = r->second;
            listed.error_code = "unpaired";
            listed.error_message = "No file '" + r->first + "' in the degraded directory '" + degraded_dir + "'";
            ++r;
        } else if (r == refs.end() || d->first < r->first) {
            listed.reference = listed.degraded = d->first;
            listed.degraded_path = d->second;
            listed.error_code = "unpaired";
            listed.error_message = "No file '" + d->first + "' in the reference directory '" + reference_dir + "'";
            ++d;
        } else {
            listed.reference = listed.degraded = r->first;
            listed.reference_path = r->second;
            listed.degraded_path = d->second;
            ++r;
            ++d;
        }
        pairs_.push_back(std::move(listed));
    }
}

bool DirectorySource::next(PairSpec& listed) {
    if (at_ >= pairs_.size()) return false;
    listed = pairs_[at_++];
    return true;
}

}  // namespace kelvor::batch
