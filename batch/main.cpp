// kelvor-batch: STOI and ESTOI of many pairs, on every core, one row per
// pair in listing order.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "batch/details_file.h"
#include "batch/output.h"
#include "batch/progress.h"
#include "batch/run_record.h"
#include "batch/selection.h"
#include "frontend/file_names.h"
#include "frontend/listing.h"
#include "frontend/options.h"
#include "frontend/pair.h"
#include "frontend/pool.h"
#include "frontend/row_format.h"
#include "frontend/text.h"
#include "kelvor/stoi.h"

namespace {

using namespace kelvor::batch;
using namespace kelvor::frontend;

constexpr int EXIT_ROW_ERRORS = 3;
constexpr int EXIT_USAGE = 1;
// Standard output's reader has gone (`| head`): the status of a process
// ended by SIGPIPE, as the standard tools end, without a message.
constexpr int EXIT_BROKEN_PIPE = 128 + SIGPIPE;

const char* const USAGE =
    "Usage: kelvor-batch [options] MANIFEST\n"
    "       kelvor-batch [options] --ref-dir DIR --deg-dir [NAME=]DIR [--deg-dir [NAME=]DIR ...]\n"
    "       kelvor-batch [options] --ref-scp LIST --deg-scp LIST\n"
    "       kelvor-batch [options] REF DEG\n"
    "\n"
    "Scores every pair of a manifest (CSV or TSV with a reference and a degraded\n"
    "column, optionally shift and align, any other columns carried to the rows;\n"
    "- for standard input), of a reference folder and system folders holding files\n"
    "with the same relative paths (a system column holds each folder's label), or\n"
    "of two lists of '<id> <path>' lines paired by id, and writes one row per pair\n"
    "in listing order. Two audio files, REF and DEG, are one pair: its row is\n"
    "printed as 'STOI 0.78505 ESTOI 0.45183' (or --format csv, jsonl, json).\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   write the rows to FILE instead of standard output, and what\n"
    "                      they were scored from and with to FILE.run.json\n"
    "      --format F      csv (default) or jsonl; for one pair also json, and a\n"
    "                      line of text without --format\n"
    "  -j, --jobs N        worker threads (default: every core available)\n"
    "      --profile P     reference (default): the published reference definition,\n"
    "                      any rate; tool: the KELVOR_STOI tool's numbers, 8 kHz\n"
    "                      16-bit PCM only\n"
    "      --align         search the delay of every pair (0 to 112.4 ms)\n"
    "      --shift N       one pair: delay the degraded file by N samples of its rate\n"
    "      --unequal U     files of different lengths: refuse (the reference profile's\n"
    "                      default, a length_mismatch row), pad (zeros after the\n"
    "                      shorter; the tool profile's default) or trim (the longer\n"
    "                      cut to the shorter); lengths as read, before any shift\n"
    "      --raw-rate R    sample rate of .pcm/.raw files (default 8000)\n"
    "      --channel N     score channel N (1-based) of multi-channel files\n"
    "      --ref-dir DIR   the folder of the references\n"
    "      --deg-dir [NAME=]DIR\n"
    "                      a folder of a system's outputs, labelled NAME (default:\n"
    "                      the folder's name); may be repeated\n"
    "      --ref-scp LIST, --deg-scp LIST\n"
    "                      lists of '<id> <path>' lines (paths from the working\n"
    "                      directory), paired by id in the order of the degraded list\n"
    "      --shard K/N     score only shard K of N (K = 1 .. N): rows i with i mod N = K - 1\n"
    "      --resume        with -o: keep the rows already in FILE, append the others\n"
    "                      (refused when FILE.run.json names another listing, shard\n"
    "                      or option, or FILE has other metadata columns)\n"
    "      --details DIR   also write DIR/<row>.json for each scored pair (row: 0-based\n"
    "                      data row of the listing): per-band and per-segment results\n"
    "      --progress      show the progress bar even when stderr is not a terminal\n"
    "      --quiet         no progress bar and no summary\n"
    "  -h, --help          this text\n"
    "      --version       the version\n"
    "\n"
    "Exit status: 0 every pair scored, 3 some rows are errors, 1 bad command line,\n"
    "listing or output file, 130/143 stopped by SIGINT/SIGTERM, 141 the reader\n"
    "of the output went away.\n";

// How one pair's row is printed.
enum class PairFormat { line, csv, jsonl, json };

struct Settings {
    std::vector<std::string> command;  // argv, for the run record
    std::string manifest;  // "-" for standard input
    std::string ref_dir;
    std::vector<SystemFolder> deg_dirs;
    std::string ref_scp;
    std::string deg_scp;
    bool one_pair = false;  // REF DEG: one pair, printed
    std::string reference;  // its files
    std::string degraded;
    bool shift_given = false;  // --shift, which options.scoring.shift holds
    PairFormat pair_format = PairFormat::line;
    std::string output;
    Format format = Format::csv;
    int jobs = 0;
    PairOptions options;  // every pair's, with a listing's shift and align cells in their place
    Shard shard;
    bool resume = false;
    std::string details;  // folder for the per-pair details, empty for none
    int progress = -1;  // -1: when stderr is a terminal
    bool quiet = false;
};

volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_signal(int sig) {
    g_signal = sig;
}

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A run that must not go on as asked (its output is an input, or is in
// use, or cannot be resumed): said in one message, without the usage hint.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Prints one message on standard error, "kelvor-batch: " first. Every
// message goes through here or through shown(): names, a listing's cells
// and a run record's strings can hold any bytes, and none may reach the
// terminal raw.
void say(const std::string& text) {
    std::fprintf(stderr, "kelvor-batch: %s\n", shown(text).c_str());
}

int cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

int positive(const std::string& option, const std::string& text, int largest) {
    size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || value < 1 || value > largest) {
        throw UsageError(option + " needs a whole number from 1 to " + std::to_string(largest) + ", not '" + text + "'");
    }
    return static_cast<int>(value);
}

// Whether a and b name the same file: the same identity when both exist,
// else the same path once "." and ".." and repeated slashes are resolved.
bool same_path(const std::string& a, const std::string& b) {
    const std::optional<FileId> ia = file_id(a), ib = file_id(b);
    if (ia && ib) return *ia == *ib;
    auto normal = [](const std::string& p) {
        std::filesystem::path n = std::filesystem::path(p).lexically_normal();
        return n.has_filename() || !n.has_parent_path() ? n : n.parent_path();  // "d/" is "d"
    };
    return normal(a) == normal(b);
}

Settings parse_command_line(int argc, char** argv) {
    Settings s;
    s.command.assign(argv, argv + argc);
    std::vector<std::string> positional;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        if (arg.compare(0, 2, "--") == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                has_value = true;
            }
        } else if (arg.size() > 2) {  // -j4, -oFILE
            name = arg.substr(0, 2);
            value = arg.substr(2);
            has_value = true;
        }
        auto take_value = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) throw UsageError(name + " needs a value");
            return argv[++i];
        };
        auto no_value = [&] {
            if (has_value) throw UsageError(name + " takes no value");
        };
        if (name == "-h" || name == "--help") {
            no_value();
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (name == "--version") {
            no_value();
            std::printf("kelvor-batch %s\n", kelvor_version());
            std::exit(0);
        } else if (name == "-o" || name == "--output") {
            s.output = take_value();
            if (s.output.empty()) throw UsageError("-o needs a file name");
        } else if (name == "--format") {
            std::string f = take_value();
            if (f == "csv") s.pair_format = PairFormat::csv;
            else if (f == "jsonl") s.pair_format = PairFormat::jsonl;
            else if (f == "json") s.pair_format = PairFormat::json;
            else throw UsageError("--format is csv or jsonl (json for one pair), not '" + f + "'");
            s.format = f == "csv" ? Format::csv : Format::jsonl;
        } else if (name == "-j" || name == "--jobs") {
            s.jobs = positive(name, take_value(), MAX_JOBS);
        } else if (name == "--profile") {
            std::string p = take_value();
            const int profile = kelvor_profile_from_name(p.c_str());
            if (profile != KELVOR_PROFILE_REFERENCE && profile != KELVOR_PROFILE_TOOL) {
                throw UsageError("--profile is reference or tool, not '" + p + "'");
            }
            s.options.scoring.profile = profile;
        } else if (name == "--unequal") {
            std::string u = take_value();
            const int unequal = unequal_from_name(u.c_str());
            if (unequal < KELVOR_UNEQUAL_REFUSE) throw UsageError("--unequal is refuse, pad or trim, not '" + u + "'");
            s.options.scoring.unequal = unequal;
        } else if (name == "--align") {
            no_value();
            s.options.scoring.align = 1;
        } else if (name == "--shift") {
            std::string t = take_value();
            if (!parse_shift(t, s.options.scoring.shift)) {
                throw UsageError("--shift needs a whole number of samples from 0, not '" + t + "'");
            }
            s.shift_given = true;
        } else if (name == "--raw-rate") {
            s.options.reading.raw_rate = positive(name, take_value(), find_option("raw_rate")->most);
        } else if (name == "--channel") {
            s.options.reading.channel = positive(name, take_value(), find_option("channel")->most);
        } else if (name == "--shard") {
            std::string t = take_value();
            if (!parse_shard(t, s.shard)) throw UsageError("--shard needs K/N with 1 <= K <= N, not '" + t + "'");
        } else if (name == "--resume") {
            no_value();
            s.resume = true;
        } else if (name == "--details") {
            s.details = take_value();
            if (s.details.empty()) throw UsageError("--details needs a folder");
        } else if (name == "--progress") {
            no_value();
            s.progress = 1;
        } else if (name == "--quiet") {
            no_value();
            s.quiet = true;
        } else if (name == "--ref-dir") {
            s.ref_dir = take_value();
            if (s.ref_dir.empty()) throw UsageError("--ref-dir needs a folder");
        } else if (name == "--deg-dir") {
            SystemFolder folder = parse_system_folder(take_value());
            if (folder.path.empty()) throw UsageError("--deg-dir needs a folder");
            s.deg_dirs.push_back(std::move(folder));
        } else if (name == "--ref-scp") {
            s.ref_scp = take_value();
            if (s.ref_scp.empty()) throw UsageError("--ref-scp needs a file");
        } else if (name == "--deg-scp") {
            s.deg_scp = take_value();
            if (s.deg_scp.empty()) throw UsageError("--deg-scp needs a file");
        } else {
            throw UsageError("unknown option '" + arg + "'");
        }
    }
    if (s.quiet) s.progress = 0;
    const bool dirs = !s.ref_dir.empty() || !s.deg_dirs.empty();
    const bool lists = !s.ref_scp.empty() || !s.deg_scp.empty();
    if (dirs && (s.ref_dir.empty() || s.deg_dirs.empty())) throw UsageError("--ref-dir and --deg-dir go together");
    if (lists && (s.ref_scp.empty() || s.deg_scp.empty())) throw UsageError("--ref-scp and --deg-scp go together");
    if (dirs && lists) throw UsageError("give folders (--ref-dir, --deg-dir) or lists (--ref-scp, --deg-scp), not both");
    if ((dirs || lists) && !positional.empty()) {
        throw UsageError(std::string("give a manifest or ") + (dirs ? "--ref-dir and --deg-dir" : "--ref-scp and --deg-scp") +
                         ", not both ('" + positional[0] + "')");
    }
    if (!dirs && !lists && positional.empty()) throw UsageError("no manifest given");
    if (positional.size() > 2) {
        throw UsageError("one manifest, or two audio files (REF DEG); got '" + positional[2] + "' too");
    }
    if (positional.size() == 2) {
        // Two files are always one pair: a batch reads one listing.
        s.one_pair = true;
        s.reference = positional[0];
        s.degraded = positional[1];
        if (s.reference == "-" || s.degraded == "-") {
            throw UsageError("one pair takes two audio files; '-' (standard input) is for a manifest");
        }
        const std::pair<bool, const char*> batch_only[] = {{!s.output.empty(), "-o"},
                                                            {s.resume, "--resume"},
                                                            {s.shard.count > 1, "--shard"},
                                                            {!s.details.empty(), "--details"}};
        for (const auto& [given, option] : batch_only) {
            if (given) throw UsageError(std::string(option) + " is for a batch: one pair is printed on standard output");
        }
        if (s.shift_given && s.options.scoring.align) throw UsageError("--shift and --align exclude each other");
    } else {
        if (s.shift_given) throw UsageError("--shift is for one pair (REF DEG); a manifest has a shift column");
        if (s.pair_format == PairFormat::json) throw UsageError("--format json is for one pair; a batch writes jsonl");
        if (positional.size() == 1) {
            // One audio file is half a pair, not a manifest: say so before
            // its bytes are read as a header.
            if (is_audio_name(positional[0])) {
                throw UsageError("'" + positional[0] +
                                 "' is an audio file: give two, REF and DEG, to score one pair, or a listing "
                                 "(a MANIFEST, --ref-dir with --deg-dir, or --ref-scp with --deg-scp)");
            }
            s.manifest = positional[0];
        }
    }
    if (s.resume && s.output.empty()) throw UsageError("--resume needs -o FILE");
    if (!s.details.empty() && !s.output.empty() && same_path(s.details, s.output)) {
        throw UsageError("-o and --details name the same path '" + s.output + "': the rows go to a file, the details "
                         "into a folder");
    }
    if (s.jobs == 0) s.jobs = cores();
    return s;
}

struct Tally {
    int64_t ok = 0;
    int64_t failed = 0;
    int64_t unpaired = 0;  // of failed
    double stoi_sum = 0.0;
    double estoi_sum = 0.0;
};

// The pairs of a run and what is known of where they come from.
struct Listing {
    std::unique_ptr<PairSource> source;
    JsonValue record;                 // the listing as the run record keeps it
    std::optional<FileId> manifest;   // the manifest's identity, when it is a file
};

Listing open_listing(const Settings& s) {
    Listing listing;
    if (!s.ref_dir.empty()) {
        listing.source = std::make_unique<DirectorySource>(s.ref_dir, s.deg_dirs);
        listing.record = directory_listing(s.ref_dir, s.deg_dirs);
    } else if (!s.ref_scp.empty()) {
        auto lists = std::make_unique<ScpSource>(s.ref_scp, s.deg_scp);
        listing.record = scp_listing(s.ref_scp, lists->reference_sha256(), s.deg_scp, lists->degraded_sha256());
        listing.source = std::move(lists);
    } else {
        auto manifest = std::make_unique<ManifestSource>(s.manifest);
        listing.record = manifest_listing(s.manifest, manifest->sha256());
        listing.manifest = manifest->id();
        listing.source = std::move(manifest);
    }
    return listing;
}

RunFacts run_facts(const Settings& s, const Listing& listing, const std::string& started) {
    RunFacts facts;
    facts.command = s.command;
    facts.listing = listing.record;
    if (s.shard.count > 1) facts.shard = std::to_string(s.shard.index) + "/" + std::to_string(s.shard.count);
    facts.options = number_options(s.options);
    facts.started = started;
    return facts;
}

// True when the file on fd begins as an output of kelvor-batch would (a
// CSV header or a JSON row), or is empty.
bool looks_like_an_output(int fd) {
    char head[64] = {};
    ssize_t n = pread(fd, head, sizeof head, 0);
    if (n <= 0) return n == 0;
    const std::string start(head, static_cast<size_t>(n));
    auto begins_as = [&](const std::string& text) {
        size_t length = std::min(start.size(), text.size());
        return start.compare(0, length, text, 0, length) == 0;
    };
    std::string header = header_line(Format::csv);
    header.pop_back();  // metadata columns may follow
    return begins_as(header) || begins_as("{\"reference\": ");
}

// What a run writes besides the rows' destination that an input must not
// be: identities of the files that exist now and would be overwritten.
struct Outputs {
    std::unordered_map<FileId, std::string, FileIdHash> files;  // identity -> what it is, for messages
    void add(const std::optional<FileId>& id, const std::string& what) {
        if (id) files.emplace(*id, what);
    }
};

// Refuses a --details folder that cannot be made because something other
// than a folder has its name; checked before anything is opened.
void check_details_folder(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        throw Refusal("can't make the details folder '" + dir + "': a file of that name is in the way");
    }
}

// Makes the folder of --details, or finds it there. Called once every
// check of the run has passed, just before its output is first written:
// a run refused leaves no folder behind.
void make_details_folder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0777) == 0) return;
    const int err = errno;
    if (err == EEXIST) return check_details_folder(dir);
    throw Refusal("can't make the details folder '" + dir + "': " + std::strerror(err));
}

// The details files already in dir (DIR/<row>.json).
void add_details_files(const std::string& dir, Outputs& outputs) {
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return;
    while (struct dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (!is_details_name(name)) continue;
        std::string path = dir + "/" + name;
        outputs.add(file_id(path), "the details file '" + path + "'");
    }
    closedir(folder);
}

// Goes through the pairs this run will score, before anything is written:
// counts them and refuses an input that is one of the outputs. Returns
// the count, or -1 for a listing that can only be read once (a stream),
// which is left as it was.
int64_t survey(PairSource& selection, const Outputs& outputs) {
    if (!selection.rewindable()) return -1;
    int64_t total = 0;
    PairSpec listed;
    while (selection.next(listed)) {
        total++;
        if (outputs.files.empty() || listed.status != KELVOR_OK) continue;
        const std::pair<const char*, const std::string*> inputs[] = {{"reference", &listed.reference_path},
                                                                    {"degraded", &listed.degraded_path}};
        for (const auto& [label, path] : inputs) {
            std::optional<FileId> id = file_id(*path);
            auto it = id ? outputs.files.find(*id) : outputs.files.end();
            if (it != outputs.files.end()) {
                throw Refusal(it->second + " is the " + label + " file '" + *path + "' of row " +
                              std::to_string(listed.index) + ": nothing was written");
            }
        }
    }
    selection.rewind();
    return total;
}

struct Opened {
    std::unique_ptr<Output> output;
    int64_t total = -1;  // pairs to score; -1 when unknown
};

// Opens the destination of the rows and makes sure the run may write
// there, in this order, before any byte is written:
//  - -o FILE is opened (not yet emptied) and locked, so that a second run
//    on it refuses instead of tearing rows;
//  - with --resume, the rows already there are read into done and
//    previous (counting their errors): up to the first row whose details
//    file was not written, which is scored again with every row after it;
//    the run record must exist and agree with this run;
//  - no input is the output, its run record or a details file (a listing
//    that can be read twice is gone through for this, and counted for the
//    progress bar);
// then the file is emptied (or cut after the rows kept), the header
// written into an empty file and the run record beside it.
Opened open_output(const Settings& s, const Listing& listing, Selection& selection, DoneRows& done, Tally& previous,
                   const RunFacts& facts) {
    Opened opened;
    Outputs outputs;
    if (!s.details.empty()) add_details_files(s.details, outputs);
    const std::vector<std::string>& metadata = listing.source->metadata();
    if (s.output.empty()) {
        opened.total = survey(selection, outputs);
        if (!s.details.empty()) make_details_folder(s.details);
        opened.output = std::make_unique<Output>(1, "standard output");
        opened.output->write(header_line(s.format, metadata));
        return opened;
    }
    const bool existed = file_id(s.output).has_value();
    int fd = ::open(s.output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) throw Refusal("can't open output '" + s.output + "': " + std::strerror(errno));
    auto out = std::make_unique<Output>(fd, "'" + s.output + "'");
    const std::string record_path = run_record_path(s.output);
    if (out->regular()) {
        switch (lock_exclusive(fd)) {
        case LockResult::locked: break;
        case LockResult::busy:
            throw Refusal("the output '" + s.output +
                             "' is being written by another kelvor-batch run; wait for it to end, or choose another "
                             "output file");
        case LockResult::unsupported:
        {
            const int err = errno;
            say("warning: can't lock '" + s.output + "' (" + std::strerror(err) +
                "); a second run on it would not be noticed");
        }
            break;
        }
    }
    if (listing.manifest && listing.manifest == file_id(fd)) {
        throw Refusal("the output file '" + s.output + "' is the manifest");
    }

    long long keep = 0;
    int64_t rows_kept = 0;
    bool record_agrees = false;
    if (s.resume && out->regular()) {
        std::ifstream in(s.output, std::ios::binary);
        if (in) {
            try {
                keep = read_rows_until(
                    in, s.format,
                    [&](const Row& row) {
                        // A row whose details file could not be written is
                        // scored again, with every row after it.
                        if (row.status == KELVOR_ERR_DETAILS) return false;
                        done.add(row.reference, row.degraded, row.metadata);
                        if (row.ok()) previous.ok++;
                        else previous.failed++;
                        rows_kept++;
                        return true;
                    },
                    &metadata);
            } catch (const MetadataMismatch& e) {
                throw Refusal("can't resume '" + s.output + "': " + e.what() +
                              ", so its rows are not of this listing; score into a new output file");
            } catch (const OutputFormatError& e) {
                throw Refusal("can't resume '" + s.output + "': " + e.what());
            }
        }
        std::optional<JsonValue> record;
        try {
            record = read_run_record(record_path);
        } catch (const std::exception& e) {
            throw Refusal("can't resume '" + s.output + "': " + e.what());
        }
        if (rows_kept > 0) {
            if (!record) {
                throw Refusal("can't resume '" + s.output + "': it has no run record '" + record_path +
                                 "', so what its rows were scored from and with is unknown (an older kelvor-batch "
                                 "may have scored them with other numbers); score into a new output file, or delete '" +
                                 s.output + "' to score every pair again");
            }
            std::string mismatch = run_mismatch(*record, facts);
            if (!mismatch.empty()) {
                throw Refusal("can't resume '" + s.output + "': " + mismatch +
                                 "; resume with the same listing and options, or score into a new output file");
            }
            std::string version = recorded_version_if_other(*record);
            if (!version.empty()) {
                say("note: '" + s.output + "' was begun by kelvor-batch " + version + "; this is " + kelvor_version());
            }
            record_agrees = true;
        }
    }

    if (existed) outputs.add(file_id(fd), "the output file '" + s.output + "'");
    outputs.add(file_id(record_path), "the run record '" + record_path + "'");
    opened.total = survey(selection, outputs);
    if (opened.total < 0 && existed && !s.resume && out->regular() && !looks_like_an_output(fd)) {
        // A manifest read from a stream cannot be gone through first: an
        // existing file that is not an output of ours may be an input.
        throw Refusal("'" + s.output + "' exists and is not a kelvor-batch output; with a manifest read from a "
                         "stream it cannot be checked against the inputs before it is overwritten: delete it or "
                         "choose another output file");
    }

    if (!s.details.empty()) make_details_folder(s.details);
    if (out->regular()) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && st.st_size != keep && ftruncate(fd, keep) != 0) {
            throw Refusal("can't " + std::string(s.resume ? "cut the rows to score again off '" : "empty '") +
                             s.output + "': " + std::strerror(errno));
        }
    }
    if (keep == 0) out->write(header_line(s.format, metadata));
    // A name under /dev or /proc (/dev/stdout redirected to a file) stands
    // for a descriptor, not for a file with a folder of its own.
    const bool descriptor = s.output.rfind("/dev/", 0) == 0 || s.output.rfind("/proc/", 0) == 0;
    if (out->regular() && !record_agrees && !descriptor) {
        try {
            write_file_atomically(record_path, run_record_json(facts));
        } catch (const std::exception& e) {
            // The rows can still be written; only --resume will refuse them.
            say(std::string("warning: no run record: ") + e.what() + "; --resume will refuse '" + s.output + "'");
        }
    }
    opened.output = std::move(out);
    return opened;
}

int run(const Settings& s) {
    auto started = std::chrono::steady_clock::now();
    const std::string started_utc = utc_now();
    const Listing listing = open_listing(s);
    PairSource& source = *listing.source;
    const std::vector<std::string>& metadata = source.metadata();
    if (!s.details.empty()) {
        check_details_folder(s.details);
        for (const std::string& name : metadata) {
            if (is_details_key(name)) {
                throw ListingError("the listing's column '" + name +
                                   "' has the name of a key of the details files: rename it, or score without --details");
            }
        }
    }

    DoneRows done;
    Tally previous;
    Selection selection(source, s.shard, done);
    const RunFacts facts = run_facts(s, listing, started_utc);
    Opened opened = open_output(s, listing, selection, done, previous, facts);
    Output& output = *opened.output;

    bool show_progress = s.progress == 1 || (s.progress == -1 && isatty(2));
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART | SA_RESETHAND;  // a second signal ends the process at once
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Tally tally;
    ProgressBar bar(show_progress, opened.total);
    int64_t written = 0;
    std::string write_failure;
    bool broken_pipe = false;
    std::mutex details_mutex;
    std::string details_failure;  // the first details file that could not be written
    std::atomic<bool> details_failed{false};
    PoolCallbacks callbacks;
    callbacks.next = [&](PairSpec& next) { return selection.next(next); };
    callbacks.score = [&](const PairSpec& pair) {
        if (s.details.empty()) return score_pair(pair, s.options);
        Details details;
        Row row = score_pair(pair, s.options, &details);
        if (row.ok()) {
            try {
                write_details(s.details, row, pair.index, details, metadata);
            } catch (const std::exception& e) {
                // Not ok unless everything asked for it was written.
                fail_row(row, KELVOR_ERR_DETAILS, e.what());
                std::lock_guard<std::mutex> lock(details_mutex);
                if (!details_failed) details_failure = e.what();
                details_failed = true;
            }
        }
        return row;
    };
    callbacks.emit = [&](const Row& row) {
        output.write(format_row(row, s.format, metadata));
        written++;
        if (row.ok()) {
            tally.ok++;
            tally.stoi_sum += *row.stoi;
            tally.estoi_sum += *row.estoi;
        } else {
            tally.failed++;
            if (row.status == KELVOR_ERR_UNPAIRED) tally.unpaired++;
        }
    };
    callbacks.stop = [&] { return g_signal != 0 || details_failed; };
    callbacks.tick = [&]() noexcept { bar.update(written, tally.failed); };
    try {
        run_pool(callbacks, s.jobs, static_cast<size_t>(s.jobs) * 4);
    } catch (const BrokenPipe&) {
        broken_pipe = true;
    } catch (const std::exception& e) {
        write_failure = e.what();
    }
    if (broken_pipe) return EXIT_BROKEN_PIPE;  // the reader has gone: end quietly
    bar.update(written, tally.failed, true);

    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    int sig = g_signal;
    if (!s.quiet) {
        std::fprintf(stderr, "kelvor-batch: %lld %s scored, %lld failed", static_cast<long long>(tally.ok),
                     tally.ok == 1 ? "pair" : "pairs", static_cast<long long>(tally.failed));
        if (selection.skipped() > 0) {
            std::fprintf(stderr, " (%lld already in '%s')", static_cast<long long>(selection.skipped()),
                         shown(s.output).c_str());
        }
        std::fputc('\n', stderr);
        if (tally.ok > 0) {
            std::fprintf(stderr, "  mean STOI %.4f, mean ESTOI %.4f\n", tally.stoi_sum / tally.ok,
                         tally.estoi_sum / tally.ok);
        }
        std::fprintf(stderr, "  wall time %.2f s, %.1f pairs/s on %d thread%s\n", wall, wall > 0 ? written / wall : 0.0,
                     s.jobs, s.jobs == 1 ? "" : "s");
        // Mostly unpaired rows mean files laid out otherwise than the
        // listing pairs them: say how it pairs.
        const std::string layout = source.layout();
        if (tally.unpaired > 0 && 2 * tally.unpaired >= written && !layout.empty()) {
            say(std::to_string(tally.unpaired) + " of " + std::to_string(written) + " rows are unpaired: " + layout);
        }
    }
    if (write_failure.empty() && details_failed) {
        write_failure = details_failure;
        if (!s.output.empty()) write_failure += "; once it can be written, run again with --resume to score the rest";
    }
    if (!write_failure.empty()) {
        say(write_failure);
        return EXIT_USAGE;
    }
    if (sig != 0) {
        std::fprintf(stderr, "kelvor-batch: stopped by %s after %lld rows%s\n", sig == SIGINT ? "SIGINT" : "SIGTERM",
                     static_cast<long long>(written),
                     s.output.empty() ? "" : "; run again with --resume to score the rest");
        return 128 + sig;
    }
    // The status describes the whole output: rows kept from an earlier run
    // count as well.
    bool any_error = tally.failed > 0 || (selection.skipped() > 0 && previous.failed > 0);
    return any_error ? EXIT_ROW_ERRORS : 0;
}

// kelvor-batch REF DEG: one pair, scored as a batch scores it, its row
// printed on standard output (nothing else is written). The status is 0,
// or EXIT_ROW_ERRORS with the row's message on standard error.
int score_one_pair(const Settings& s) {
    PairSpec pair;
    pair.index = 0;
    pair.reference = pair.reference_path = s.reference;
    pair.degraded = pair.degraded_path = s.degraded;
    const Row row = score_pair(pair, s.options);
    std::string text;
    switch (s.pair_format) {
    case PairFormat::line:
        if (row.ok()) {
            char line[96];
            std::snprintf(line, sizeof line, "STOI %.5f ESTOI %.5f\n", *row.stoi, *row.estoi);
            text = line;
        }
        break;
    case PairFormat::csv: text = header_line(Format::csv) + format_row(row, Format::csv); break;
    case PairFormat::jsonl:
    case PairFormat::json: text = format_row(row, Format::jsonl); break;
    }
    Output output(1, "standard output");
    output.write(text);
    if (row.ok()) return 0;
    std::string hint;
    if (row.status == KELVOR_ERR_FORMAT && (is_listing_name(s.reference) || is_listing_name(s.degraded))) {
        hint = "; a batch reads one listing: kelvor-batch [options] MANIFEST";
    }
    say(row.message + " (" + kelvor_status_name(row.status) + ")" + hint);
    return EXIT_ROW_ERRORS;
}

}  // namespace

int main(int argc, char** argv) {
    keep_freed_memory();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        Settings settings = parse_command_line(argc, argv);
        return settings.one_pair ? score_one_pair(settings) : run(settings);
    } catch (const UsageError& e) {
        say(e.what());
        std::fputs("Try 'kelvor-batch --help'.\n", stderr);
        return EXIT_USAGE;
    } catch (const BrokenPipe&) {
        return EXIT_BROKEN_PIPE;
    } catch (const ListingError& e) {
        say(e.what());
        return EXIT_USAGE;
    } catch (const std::exception& e) {
        say(e.what());
        return EXIT_USAGE;
    }
}
