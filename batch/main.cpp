// kelvor-batch: STOI and ESTOI of many pairs, on every core, one row per
// pair in listing order.
#include <sched.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch/manifest.h"
#include "batch/pair.h"
#include "batch/pool.h"
#include "batch/row_format.h"
#include "batch/selection.h"
#include "kelvor/stoi.h"

namespace {

using namespace kelvor::batch;

constexpr int EXIT_ROW_ERRORS = 3;
constexpr int EXIT_USAGE = 1;

const char* const USAGE =
    "Usage: kelvor-batch [options] MANIFEST\n"
    "       kelvor-batch [options] --ref-dir DIR --deg-dir DIR\n"
    "\n"
    "Scores every pair of a manifest (CSV or TSV with the columns reference and\n"
    "degraded, optionally shift and align) or of two directories holding files\n"
    "with the same relative paths, and writes one row per pair in listing order.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   write the rows to FILE instead of standard output\n"
    "      --format F      csv (default) or jsonl\n"
    "  -j, --jobs N        worker threads (default: every core available)\n"
    "      --profile P     reference (default): the published reference definition,\n"
    "                      any rate; tool: the KELVOR_STOI tool's numbers, 8 kHz\n"
    "                      16-bit PCM only\n"
    "      --align         search the delay of every pair (0 to 112.4 ms)\n"
    "      --raw-rate R    sample rate of .pcm/.raw files (default 8000)\n"
    "      --channel N     score channel N (1-based) of multi-channel files\n"
    "      --shard K/N     score only shard K of N (K = 1 .. N): rows i with i mod N = K - 1\n"
    "      --resume        with -o: keep the rows already in FILE, append the others\n"
    "      --details DIR   also write DIR/<row>.json for each scored pair (row: 0-based\n"
    "                      data row of the listing): per-band and per-segment results\n"
    "      --progress      show the progress bar even when stderr is not a terminal\n"
    "      --quiet         no progress bar and no summary\n"
    "  -h, --help          this text\n"
    "      --version       the version\n"
    "\n"
    "Exit status: 0 every pair scored, 3 some rows are errors, 1 bad command line,\n"
    "manifest or output file, 130/143 stopped by SIGINT/SIGTERM.\n";

struct Settings {
    std::string manifest;
    std::string ref_dir;
    std::string deg_dir;
    std::string output;
    Format format = Format::csv;
    int jobs = 0;
    ScoreOptions score;
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

Settings parse_command_line(int argc, char** argv) {
    Settings s;
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
            if (f == "csv") s.format = Format::csv;
            else if (f == "jsonl") s.format = Format::jsonl;
            else throw UsageError("--format is csv or jsonl, not '" + f + "'");
        } else if (name == "-j" || name == "--jobs") {
            s.jobs = positive(name, take_value(), 1024);
        } else if (name == "--profile") {
            std::string p = take_value();
            const int profile = kelvor_profile_from_name(p.c_str());
            if (profile != KELVOR_PROFILE_REFERENCE && profile != KELVOR_PROFILE_TOOL) {
                throw UsageError("--profile is reference or tool, not '" + p + "'");
            }
            s.score.profile = profile;
        } else if (name == "--align") {
            no_value();
            s.score.align = true;
        } else if (name == "--raw-rate") {
            s.score.audio.raw_rate = positive(name, take_value(), 10000000);
        } else if (name == "--channel") {
            s.score.audio.channel = positive(name, take_value(), 65535);
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
        } else if (name == "--deg-dir") {
            s.deg_dir = take_value();
        } else {
            throw UsageError("unknown option '" + arg + "'");
        }
    }
    if (s.quiet) s.progress = 0;
    bool dirs = !s.ref_dir.empty() || !s.deg_dir.empty();
    if (dirs && (s.ref_dir.empty() || s.deg_dir.empty())) throw UsageError("--ref-dir and --deg-dir go together");
    if (dirs && !positional.empty()) throw UsageError("give a manifest or --ref-dir and --deg-dir, not both");
    if (!dirs && positional.empty()) throw UsageError("no manifest given");
    if (positional.size() > 1) throw UsageError("one manifest only, got '" + positional[1] + "' too");
    if (!dirs) s.manifest = positional[0];
    if (s.resume && s.output.empty()) throw UsageError("--resume needs -o FILE");
    if (s.jobs == 0) s.jobs = cores();
    return s;
}

// The destination of the rows: every row goes out in one write, whole.
class Output {
public:
    Output(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
        struct stat st {};
        regular_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    }
    ~Output() {
        if (fd_ > 1) ::close(fd_);
    }
    // Writes text whole or throws; a row that went out in part is cut off
    // again where the file allows it.
    void write(const std::string& text) {
        off_t before = regular_ ? lseek(fd_, 0, SEEK_END) : 0;
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int err = n < 0 ? errno : EIO;
                if (regular_ && done > 0 && ftruncate(fd_, before) != 0) {
                    // Nothing more to do: --resume cuts a torn row off.
                }
                throw std::runtime_error("Can't write " + name_ + ": " + std::strerror(err));
            }
            done += static_cast<size_t>(n);
        }
    }

private:
    int fd_;
    std::string name_;
    bool regular_ = false;
};

struct Tally {
    int64_t ok = 0;
    int64_t failed = 0;
    double stoi_sum = 0.0;
    double estoi_sum = 0.0;
};

class ProgressBar {
public:
    ProgressBar(bool enabled, int64_t total)
        : enabled_(enabled), terminal_(isatty(2) != 0), total_(total), start_(Clock::now()) {}

    void update(int64_t done, bool last = false) {
        if (!enabled_) return;
        auto now = Clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(100)) return;
        shown_ = now;
        double elapsed = std::chrono::duration<double>(now - start_).count();
        double rate = elapsed > 0 ? done / elapsed : 0.0;
        const int width = 30;
        int filled = total_ > 0 ? static_cast<int>(done * width / total_) : width;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '.');
        char left[32] = "--:--:--";
        if (rate > 0) {
            long s = static_cast<long>((total_ - done) / rate + 0.5);
            std::snprintf(left, sizeof left, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
        }
        // On a terminal the rest of the line is cleared, in case the last
        // line was longer.
        std::fprintf(stderr, "\r[%s] %lld/%lld  %.1f pairs/s  %s left%s", bar.c_str(), static_cast<long long>(done),
                     static_cast<long long>(total_), rate, left, terminal_ ? "\033[K" : " ");
        if (last) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool terminal_;
    int64_t total_;
    Clock::time_point start_;
    Clock::time_point shown_{};
};

// Writes the details of one pair as DIR/<row>.json, through a temporary
// file renamed into place, so that a file present is always whole.
void write_details(const std::string& dir, const Row& row, int64_t index, const Details& details) {
    std::string name = dir + "/" + std::to_string(index) + ".json";
    std::string temporary = dir + "/." + std::to_string(index) + ".json.tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error("Can't write '" + temporary + "': " + std::strerror(errno));
    try {
        Output out(fd, "'" + temporary + "'");
        out.write(details_json(row, index, details));
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (std::rename(temporary.c_str(), name.c_str()) != 0) {
        int err = errno;
        ::unlink(temporary.c_str());
        throw std::runtime_error("Can't write '" + name + "': " + std::strerror(err));
    }
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Opens -o FILE. With --resume, reads the rows already there into done and
// tally (counting their errors), cuts a torn last line off and positions at
// the end; the header is written only into an empty file.
std::unique_ptr<Output> open_output(const Settings& s, DoneRows& done, Tally& previous) {
    if (s.output.empty()) {
        auto out = std::make_unique<Output>(1, "standard output");
        out->write(header_line(s.format));
        return out;
    }
    if (!s.manifest.empty() && same_file(s.output, s.manifest)) {
        throw UsageError("the output file '" + s.output + "' is the manifest");
    }
    long long keep = 0;
    if (s.resume) {
        std::ifstream in(s.output, std::ios::binary);
        if (in) {
            try {
                keep = read_rows(in, s.format, [&](const Row& row) {
                    done.add(row.reference, row.degraded);
                    if (row.ok()) previous.ok++;
                    else previous.failed++;
                });
            } catch (const OutputFormatError& e) {
                throw UsageError("can't resume '" + s.output + "': " + e.what());
            }
        }
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (s.resume ? 0 : O_TRUNC);
    int fd = ::open(s.output.c_str(), flags, 0666);
    if (fd < 0) throw UsageError("can't open output '" + s.output + "': " + std::strerror(errno));
    auto out = std::make_unique<Output>(fd, "'" + s.output + "'");
    if (s.resume) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size != keep && ftruncate(fd, keep) != 0) {
            throw UsageError("can't cut the torn last row off '" + s.output + "': " + std::strerror(errno));
        }
    }
    if (keep == 0) out->write(header_line(s.format));
    return out;
}

int run(const Settings& s) {
    auto started = std::chrono::steady_clock::now();
    std::unique_ptr<PairSource> source;
    if (s.manifest.empty()) source = std::make_unique<DirectorySource>(s.ref_dir, s.deg_dir);
    else source = std::make_unique<ManifestSource>(s.manifest);

    if (!s.details.empty() && ::mkdir(s.details.c_str(), 0777) != 0 && errno != EEXIST) {
        throw UsageError("can't make the details folder '" + s.details + "': " + std::strerror(errno));
    }
    DoneRows done;
    Tally previous;
    std::unique_ptr<Output> output = open_output(s, done, previous);

    Selection selection(*source, s.shard, done);
    int64_t total = 0;
    PairSpec listed;
    bool show_progress = s.progress == 1 || (s.progress == -1 && isatty(2));
    if (show_progress) {
        while (selection.next(listed)) total++;
        selection.rewind();
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART | SA_RESETHAND;  // a second signal ends the process at once
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Tally tally;
    ProgressBar bar(show_progress, total);
    int64_t written = 0;
    std::string write_failure;
    std::mutex details_mutex;
    std::string details_failure;  // the first details file that could not be written
    std::atomic<bool> details_failed{false};
    PoolCallbacks callbacks;
    callbacks.next = [&](PairSpec& next) { return selection.next(next); };
    callbacks.score = [&](const PairSpec& pair) {
        if (s.details.empty()) return score_pair(pair, s.score);
        Details details;
        Row row = score_pair(pair, s.score, &details);
        if (row.ok()) {
            try {
                write_details(s.details, row, pair.index, details);
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(details_mutex);
                if (!details_failed) details_failure = e.what();
                details_failed = true;
            }
        }
        return row;
    };
    callbacks.emit = [&](const Row& row) {
        output->write(format_row(row, s.format));
        written++;
        if (row.ok()) {
            tally.ok++;
            tally.stoi_sum += *row.stoi;
            tally.estoi_sum += *row.estoi;
        } else {
            tally.failed++;
        }
    };
    callbacks.stop = [&] { return g_signal != 0 || details_failed; };
    callbacks.tick = [&] { bar.update(written); };
    try {
        run_pool(callbacks, s.jobs, static_cast<size_t>(s.jobs) * 4);
    } catch (const std::exception& e) {
        write_failure = e.what();
    }
    bar.update(written, true);

    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    int sig = g_signal;
    if (!s.quiet) {
        std::fprintf(stderr, "kelvor-batch: %lld pairs scored, %lld failed", static_cast<long long>(tally.ok),
                     static_cast<long long>(tally.failed));
        if (selection.skipped() > 0) {
            std::fprintf(stderr, " (%lld already in '%s')", static_cast<long long>(selection.skipped()),
                         s.output.c_str());
        }
        std::fputc('\n', stderr);
        if (tally.ok > 0) {
            std::fprintf(stderr, "  mean STOI %.4f, mean ESTOI %.4f\n", tally.stoi_sum / tally.ok,
                         tally.estoi_sum / tally.ok);
        }
        std::fprintf(stderr, "  wall time %.2f s, %.1f pairs/s on %d thread%s\n", wall, wall > 0 ? written / wall : 0.0,
                     s.jobs, s.jobs == 1 ? "" : "s");
    }
    if (write_failure.empty() && details_failed) write_failure = details_failure;
    if (!write_failure.empty()) {
        std::fprintf(stderr, "kelvor-batch: %s\n", write_failure.c_str());
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

}  // namespace

int main(int argc, char** argv) {
    // Every pair allocates and frees a few buffers of some hundred kB to a
    // few MB. glibc would map each of them fresh and hand it back at free
    // once several threads allocate, so every pair paid its page faults
    // again (a third more CPU at -j2). Serve them from the heap and keep
    // the freed memory for the next pair instead: the peak stays that of
    // the pairs in flight. Larger blocks (hours of audio) are still mapped.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        Settings settings = parse_command_line(argc, argv);
        return run(settings);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kelvor-batch: %s\nTry 'kelvor-batch --help'.\n", e.what());
        return EXIT_USAGE;
    } catch (const ListingError& e) {
        std::fprintf(stderr, "kelvor-batch: %s\n", e.what());
        return EXIT_USAGE;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvor-batch: %s\n", e.what());
        return EXIT_USAGE;
    }
}
