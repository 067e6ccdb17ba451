#include "batch/run_record.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "kelvor/stoi.h"

namespace kelvor::batch {

using namespace kelvor::frontend;

namespace {

// path made absolute (links resolved) when it exists; as given otherwise.
std::string absolute(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

std::string text_of(const JsonValue* v) {
    if (v == nullptr) return "(none)";
    if (v->kind == JsonValue::Kind::string) return "'" + v->text + "'";
    return v->to_json();
}

std::string listing_text(const JsonValue& listing) {
    const JsonValue* manifest = listing.find("manifest");
    if (manifest != nullptr) {
        std::string text = "manifest " + text_of(manifest);
        const JsonValue* sha = listing.find("sha256");
        if (sha != nullptr && sha->kind == JsonValue::Kind::string) text += " (sha256 " + sha->text + ")";
        return text;
    }
    const JsonValue* ref = listing.find("ref_dir");
    const JsonValue* systems = listing.find("deg_dirs");
    if (ref != nullptr && systems != nullptr && systems->kind == JsonValue::Kind::array) {
        std::string text = "--ref-dir " + text_of(ref);
        for (const JsonValue& system : systems->items) {
            const JsonValue* label = system.find("system");
            const JsonValue* dir = system.find("dir");
            text += " --deg-dir " + (label && label->kind == JsonValue::Kind::string ? label->text + "=" : "") +
                    text_of(dir);
        }
        return text;
    }
    const JsonValue* ref_scp = listing.find("ref_scp");
    const JsonValue* deg_scp = listing.find("deg_scp");
    if (ref_scp != nullptr && deg_scp != nullptr) {
        return "--ref-scp " + text_of(ref_scp) + " --deg-scp " + text_of(deg_scp) + " (sha256 " +
               text_of(listing.find("ref_sha256")) + ", " + text_of(listing.find("deg_sha256")) + ")";
    }
    return listing.to_json();
}

bool same_listing(const JsonValue& a, const JsonValue& b) {
    const JsonValue* ma = a.find("manifest");
    const JsonValue* mb = b.find("manifest");
    if (ma != nullptr && mb != nullptr) {
        // The same bytes are the same listing, wherever the file lies; a
        // stream has no digest, and only its name can be compared.
        const JsonValue* sa = a.find("sha256");
        const JsonValue* sb = b.find("sha256");
        bool digests = sa != nullptr && sb != nullptr && sa->kind == JsonValue::Kind::string &&
                       sb->kind == JsonValue::Kind::string;
        return digests ? sa->text == sb->text : *ma == *mb;
    }
    if (a.find("ref_scp") != nullptr && b.find("ref_scp") != nullptr) {
        // Lists, as manifests, are the same when their bytes are.
        const JsonValue* keys[] = {a.find("ref_sha256"), b.find("ref_sha256"), a.find("deg_sha256"), b.find("deg_sha256")};
        for (const JsonValue* key : keys) {
            if (key == nullptr) return false;
        }
        return *keys[0] == *keys[1] && *keys[2] == *keys[3];
    }
    return a == b;
}

}  // namespace

namespace {

// The record's value of one option.
JsonValue option_json(const OptionField& field, int value) {
    switch (field.kind) {
    case OptionKind::flag: return JsonValue::of(value != 0);
    case OptionKind::count: return JsonValue::of(static_cast<long long>(value));
    case OptionKind::choice: return JsonValue::of(field.name_of(value));
    }
    return JsonValue::null();
}

}  // namespace

JsonValue number_options(const PairOptions& options) {
    std::vector<std::pair<std::string, JsonValue>> members;
    for (const OptionField& field : OPTION_FIELDS) members.emplace_back(field.name, option_json(field, option_value(options, field)));
    return JsonValue::object(std::move(members));
}

std::string run_record_path(const std::string& output) {
    return output + ".run.json";
}

JsonValue manifest_listing(const std::string& path, const std::optional<std::string>& sha256) {
    return JsonValue::object({
        {"manifest", JsonValue::of(path == "-" ? path : absolute(path))},
        {"sha256", sha256 ? JsonValue::of(*sha256) : JsonValue::null()},
    });
}

JsonValue directory_listing(const std::string& reference_dir, const std::vector<SystemFolder>& systems) {
    std::vector<JsonValue> folders;
    for (const SystemFolder& system : systems) {
        folders.push_back(JsonValue::object({
            {"system", JsonValue::of(system.label)},
            {"dir", JsonValue::of(absolute(system.path))},
        }));
    }
    return JsonValue::object({
        {"ref_dir", JsonValue::of(absolute(reference_dir))},
        {"deg_dirs", JsonValue::array(std::move(folders))},
    });
}

JsonValue scp_listing(const std::string& reference_list, const std::string& reference_sha256,
                      const std::string& degraded_list, const std::string& degraded_sha256) {
    return JsonValue::object({
        {"ref_scp", JsonValue::of(absolute(reference_list))},
        {"ref_sha256", JsonValue::of(reference_sha256)},
        {"deg_scp", JsonValue::of(absolute(degraded_list))},
        {"deg_sha256", JsonValue::of(degraded_sha256)},
    });
}

std::string utc_now() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string run_record_json(const RunFacts& facts) {
    std::vector<JsonValue> command;
    for (const std::string& arg : facts.command) command.push_back(JsonValue::of(arg));
    // The profile again at the top, where a reader of the record looks first.
    const JsonValue* profile = facts.options.find("profile");
    const std::vector<std::pair<std::string, JsonValue>> members = {
        {"program", JsonValue::of("kelvor-batch")},
        {"version", JsonValue::of(kelvor_version())},
        {"profile", profile != nullptr ? *profile : JsonValue::null()},
        {"command", JsonValue::array(std::move(command))},
        {"listing", facts.listing},
        {"shard", facts.shard.empty() ? JsonValue::null() : JsonValue::of(facts.shard)},
        {"options", facts.options},
        {"started", JsonValue::of(facts.started)},
    };
    // One key per line, for people and for line-oriented tools.
    std::string out = "{\n";
    for (size_t i = 0; i < members.size(); i++) {
        out += "  " + json_quote(members[i].first) + ": " + members[i].second.to_json();
        out += i + 1 < members.size() ? ",\n" : "\n";
    }
    return out + "}\n";
}

std::optional<JsonValue> read_run_record(const std::string& path) {
    // Not waiting on a named pipe planted under the name.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw std::runtime_error("can't read its run record '" + path + "': " + std::strerror(errno));
    }
    struct stat st {};
    const size_t limit = size_t{1} << 20;
    std::string text;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || text.size() > limit) break;
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    std::optional<JsonValue> record = regular && text.size() <= limit ? parse_json(text) : std::nullopt;
    const JsonValue* program = record ? record->find("program") : nullptr;
    if (!record || record->kind != JsonValue::Kind::object || program == nullptr ||
        program->to_json() != "\"kelvor-batch\"") {
        throw std::runtime_error("its run record '" + path + "' is not a kelvor-batch run record");
    }
    return record;
}

std::string run_mismatch(const JsonValue& recorded, const RunFacts& now) {
    const JsonValue* listing = recorded.find("listing");
    if (listing == nullptr || !same_listing(*listing, now.listing)) {
        return "it was written from " + (listing ? listing_text(*listing) : std::string("(no listing)")) +
               ", this run reads " + listing_text(now.listing);
    }
    const JsonValue* shard = recorded.find("shard");
    const JsonValue current_shard = now.shard.empty() ? JsonValue::null() : JsonValue::of(now.shard);
    if (shard == nullptr || *shard != current_shard) {
        auto text = [](const JsonValue* v) {
            return v == nullptr || v->kind == JsonValue::Kind::null ? std::string("every row (no --shard)")
                                                                     : "shard " + v->text;
        };
        return "it was written for " + text(shard) + ", this run scores " + text(&current_shard);
    }
    const JsonValue* options = recorded.find("options");
    const JsonValue empty = JsonValue::object({});
    if (options == nullptr) options = &empty;
    auto differs = [&](const std::string& key, const JsonValue* was, const JsonValue* is) {
        return "it was scored with " + key + " " + text_of(was) + ", this run with " + key + " " + text_of(is);
    };
    for (const auto& [key, value] : now.options.members) {
        const JsonValue* was = options->find(key);
        const OptionField* field = find_option(key);
        const JsonValue absent = field != nullptr ? option_json(*field, field->absent) : JsonValue::null();
        if (was == nullptr && field != nullptr) was = &absent;
        if (was == nullptr || *was != value) return differs(key, was, &value);
    }
    for (const auto& [key, value] : options->members) {
        if (now.options.find(key) == nullptr) return differs(key, &value, nullptr);
    }
    return "";
}

std::string recorded_version_if_other(const JsonValue& recorded) {
    const JsonValue* version = recorded.find("version");
    std::string text = version != nullptr && version->kind == JsonValue::Kind::string ? version->text : "(unknown)";
    return text == kelvor_version() ? "" : text;
}

}  // namespace kelvor::batch
