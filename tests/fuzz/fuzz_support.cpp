#include "fuzz_support.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/run.h"
#include "nsp/nsptables.h"

using namespace kelvor;

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
FILE* __real_fopen(const char* name, const char* mode);
FILE* __real_fdopen(int fd, const char* mode);
int __real_fclose(FILE* stream);
[[noreturn]] void __real_exit(int status);
}

namespace {

// True only while tool_main runs (and while the harness empties the FFT
// cache): then the wrappers track and exit jumps back.
bool armed = false;
jmp_buf exit_jump;
int exit_status = 0;

constexpr int TRACK_CAPACITY = 4096;
void* live_blocks[TRACK_CAPACITY];
int live_count = 0;
FILE* open_streams[TRACK_CAPACITY];
int open_count = 0;

void track_block(void* block) {
    if (live_count == TRACK_CAPACITY) fuzz_fail("more live heap blocks than the harness tracks", "");
    live_blocks[live_count++] = block;
}

void untrack_block(void* block) {
    for (int i = live_count - 1; i >= 0; i--) {
        if (live_blocks[i] == block) {
            live_blocks[i] = live_blocks[--live_count];
            return;
        }
    }
}

void track_stream(FILE* stream) {
    if (open_count == TRACK_CAPACITY) fuzz_fail("more open streams than the harness tracks", "");
    open_streams[open_count++] = stream;
}

bool untrack_stream(FILE* stream) {
    for (int i = open_count - 1; i >= 0; i--) {
        if (open_streams[i] == stream) {
            open_streams[i] = open_streams[--open_count];
            return true;
        }
    }
    return false;
}

// Kept apart from run_tool_in_process so that nothing the jump could
// clobber is read after it.
int call_tool(int argc, char** argv, bool* returned) {
    if (setjmp(exit_jump) == 0) {
        int status = tool_main(argc, argv);
        armed = false;
        *returned = true;
        return status;
    }
    armed = false;
    *returned = false;
    return exit_status;
}

bool starts_with(const std::string& s, size_t at, const char* prefix) {
    return s.compare(at, strlen(prefix), prefix) == 0;
}

// Reads a printed number of the formats %.3g/%.4g/%g at s[at]; false if
// there is none.
bool read_number(const std::string& s, size_t* at, double* value) {
    const char* begin = s.c_str() + *at;
    char* end = nullptr;
    *value = strtod(begin, &end);
    if (end == begin) return false;
    *at += static_cast<size_t>(end - begin);
    return true;
}

// " t=<seconds>sec"
bool read_time(const std::string& s, size_t* at) {
    if (!starts_with(s, *at, " t=")) return false;
    *at += 3;
    double seconds = 0.0;
    if (!read_number(s, at, &seconds) || !std::isfinite(seconds) || seconds < 0.0) return false;
    if (!starts_with(s, *at, "sec")) return false;
    *at += 3;
    return true;
}

int64_t file_size(const char* name) {
    struct stat info;
    if (stat(name, &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

std::string read_whole(const char* name) {
    std::string text;
    FILE* f = __real_fopen(name, "rb");
    if (f == nullptr) return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
    __real_fclose(f);
    return text;
}

std::string work_dir;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

void remove_work_dir() {
    if (!work_dir.empty()) nftw(work_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

extern "C" {

void* __wrap_malloc(size_t size) {
    void* block = __real_malloc(size);
    if (armed && block != nullptr) track_block(block);
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    void* block = __real_calloc(count, size);
    if (armed && block != nullptr) track_block(block);
    return block;
}

void* __wrap_realloc(void* block, size_t size) {
    void* moved = __real_realloc(block, size);
    if (armed && moved != nullptr) {
        if (block != nullptr) untrack_block(block);
        track_block(moved);
    }
    return moved;
}

void __wrap_free(void* block) {
    if (armed && block != nullptr) untrack_block(block);
    __real_free(block);
}

FILE* __wrap_fopen(const char* name, const char* mode) {
    FILE* stream = __real_fopen(name, mode);
    if (armed && stream != nullptr) track_stream(stream);
    return stream;
}

FILE* __wrap_fdopen(int fd, const char* mode) {
    FILE* stream = __real_fdopen(fd, mode);
    if (armed && stream != nullptr) track_stream(stream);
    return stream;
}

int __wrap_fclose(FILE* stream) {
    if (armed) untrack_stream(stream);
    return __real_fclose(stream);
}

[[noreturn]] void __wrap_exit(int status) {
    if (armed) {
        exit_status = status;
        longjmp(exit_jump, 1);
    }
    __real_exit(status);
}

}  // extern "C"

std::string enter_private_work_dir(const char* tag) {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelvor_" + tag + "_XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr || chdir(name.data()) != 0) {
        fprintf(stderr, "cannot create a working directory from %s\n", templ.c_str());
        abort();
    }
    work_dir = name.data();
    atexit(remove_work_dir);
    return work_dir;
}

void fuzz_fail(const char* what, const std::string& detail) {
    fprintf(stderr, "\n*** %s\n--- output ---\n%s\n--------------\n", what, detail.c_str());
    abort();
}

void remove_run_outputs() {
    for (const char* name : {"stoi_results.txt", "ref.wav", "deg.wav", "ref10.wav", "deg10.wav"}) unlink(name);
}

InProcessRun run_tool_in_process(const std::vector<std::string>& args) {
    std::vector<std::string> storage;
    storage.push_back("KELVOR_STOI");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    char* text = nullptr;
    size_t length = 0;
    FILE* capture = open_memstream(&text, &length);
    if (capture == nullptr) fuzz_fail("open_memstream failed", "");
    FILE* console = stdout;
    stdout = capture;

    live_count = 0;
    open_count = 0;
    InProcessRun run{"", false, 0};
    armed = true;
    run.status = call_tool(static_cast<int>(storage.size()), argv.data(), &run.returned);

    stdout = console;
    fflush(capture);
    run.out.assign(text, length);
    fclose(capture);
    free(text);

    // The FFT tables live as long as the process in the tool; here they are
    // released after each run so that what remains is the run's own.
    armed = true;
    nspFreeAllFftTbls();
    armed = false;

    if (run.returned && (live_count != 0 || open_count != 0)) {
        fuzz_fail("a completed run left heap blocks or streams behind", run.out);
    }
    // A run ended by an error leaves its buffers and streams to the process
    // end; here the harness is that end.
    for (int i = 0; i < open_count; i++) __real_fclose(open_streams[i]);
    for (int i = 0; i < live_count; i++) __real_free(live_blocks[i]);
    open_count = 0;
    live_count = 0;
    return run;
}

int64_t data_bytes_of(int64_t size, bool wav) {
    return wav && size >= 44 ? size - 44 : size;
}

std::string display_name_of(const std::string& name) {
    if (name.empty() || name.back() == '/' || name.back() == '\\') return name;
    size_t cut = name.find_last_of("/\\");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

bool wav_name(const std::string& name) {
    return name.find(".wav") != std::string::npos || name.find(".WAV") != std::string::npos;
}

void check_run_tail(const std::string& tail, const InProcessRun& run, const RunExpectation& e) {
    const std::string whole = run.out;
    if (!run.returned && run.status != 1) fuzz_fail("exit status other than 1", whole);
    if (run.returned && run.status != 0) fuzz_fail("completed run returned a non-zero status", whole);

    // A WAV file of 1 to 43 bytes: its header read consumed everything.
    const char* short_name = nullptr;
    int64_t short_size = 0;
    if (e.ref_wav && e.ref_size >= 1 && e.ref_size <= 43) {
        short_name = e.ref_name.c_str();
        short_size = e.ref_size;
    } else if (e.deg_wav && e.deg_size >= 1 && e.deg_size <= 43) {
        short_name = e.deg_name.c_str();
        short_size = e.deg_size;
    }
    if (short_name != nullptr) {
        char expected[512];
        snprintf(expected, sizeof expected, "ERROR: Can't read '%s' bytes %d 0\n", short_name,
                 static_cast<int>(short_size));
        if (tail != expected || run.returned) fuzz_fail("expected a read error", whole);
        return;
    }

    const int64_t n = std::max(data_bytes_of(e.ref_size, e.ref_wav), data_bytes_of(e.deg_size, e.deg_wav)) / 2;
    const int64_t m = 5 * n / 4;
    size_t at = 0;
    int32_t found_shift = 0;
    if (e.align) {
        if (!starts_with(tail, at, "\nSearch alignment...")) fuzz_fail("search line missing", whole);
        at += strlen("\nSearch alignment...");
        if (starts_with(tail, at, " Shift ")) {
            at += 7;
            double shift = 0.0;
            if (!read_number(tail, &at, &shift) || shift < 1.0 || shift > 899.0 || shift != std::floor(shift)) {
                fuzz_fail("searched shift outside 1 .. 899", whole);
            }
            found_shift = static_cast<int32_t>(shift);
            if (!starts_with(tail, at, " samples")) fuzz_fail("searched shift line", whole);
            at += 8;
        } else if (starts_with(tail, at, " (No delay found)")) {
            at += strlen(" (No delay found)");
        } else {
            fuzz_fail("searched shift line", whole);
        }
        if (e.timing && !read_time(tail, &at)) fuzz_fail("search time", whole);
    }
    if (e.shift_given) {
        char line[128];
        snprintf(line, sizeof line, "\nShift %d samples (%g ms)", e.shift, e.shift * 0.125);
        if (!starts_with(tail, at, line)) fuzz_fail("shift line", whole);
        at += strlen(line);
    }
    for (const char* step : {"\nResampling Reference...", "\nResampling Degraded... "}) {
        if (!starts_with(tail, at, step)) fuzz_fail("resampling line", whole);
        at += strlen(step);
        if (e.timing && !read_time(tail, &at)) fuzz_fail("resampling time", whole);
        if (e.resample_double) {
            if (!starts_with(tail, at, " \t(double)")) fuzz_fail("double note", whole);
            at += strlen(" \t(double)");
        }
    }
    if (!starts_with(tail, at, "\nSTOI processing...")) fuzz_fail("processing line", whole);
    at += strlen("\nSTOI processing...");

    if (!run.returned) {
        if (tail.compare(at, std::string::npos, "ERROR: STOI -- Too short file\n") != 0) {
            fuzz_fail("a failed run must end with one of the tool's messages", whole);
        }
        return;
    }
    // 31 frames need 4224 samples after silent-frame removal, which keeps at
    // most n - 1 of n samples.
    if (m < 4225) fuzz_fail("a run too short to score completed", whole);

    const size_t metrics_at = at;
    if (!starts_with(tail, at, "\t Metrics  :  STOI ")) fuzz_fail("metrics line", whole);
    at += strlen("\t Metrics  :  STOI ");
    double stoi = 0.0;
    double estoi = 0.0;
    const size_t stoi_at = at;
    if (!read_number(tail, &at, &stoi)) fuzz_fail("STOI value", whole);
    const std::string stoi_text = tail.substr(stoi_at, at - stoi_at);
    if (!starts_with(tail, at, "  ESTOI ")) fuzz_fail("ESTOI label", whole);
    at += 8;
    const size_t estoi_at = at;
    if (!read_number(tail, &at, &estoi)) fuzz_fail("ESTOI value", whole);
    const std::string estoi_text = tail.substr(estoi_at, at - estoi_at);
    if (!std::isfinite(stoi) || !std::isfinite(estoi) || std::fabs(stoi) > 1.000001 ||
        std::fabs(estoi) > 1.000001) {
        fuzz_fail("scores not finite or outside [-1, 1]", whole);
    }
    if (e.timing) {
        if (!starts_with(tail, at, "\t")) fuzz_fail("metrics times", whole);
        at += 1;
        if (!read_time(tail, &at) || !read_time(tail, &at)) fuzz_fail("metrics times", whole);
    }
    std::string rest = tail.substr(at);
    std::string expected_rest = "\n";
    if (e.debug) {
        expected_rest += "\nDebug output  8kHz  : ref.wav deg.wav\nDebug output 10kHz  : ref10.wav deg10.wav\n";
    }
    if (rest != expected_rest) fuzz_fail("text after the metrics line", whole);
    (void)metrics_at;

    if (e.debug) {
        if (file_size("ref.wav") != 44 + 2 * n || file_size("deg.wav") != 44 + 2 * n ||
            file_size("ref10.wav") != 44 + 2 * m || file_size("deg10.wav") != 44 + 2 * m) {
            fuzz_fail("debug files of the wrong size", whole);
        }
    }

    std::string shift_column = "\t   \t";
    char number[16];
    if (e.align) {
        snprintf(number, sizeof number, "\t%3d\t", found_shift);
        shift_column = number;
    } else if (e.shift_given) {
        snprintf(number, sizeof number, "\t%3d\t", e.shift);
        shift_column = number;
    }
    const std::string expected_log = "REFERENCE\t DEGRADED\t STOI\t ESTOI\t\tSHIFT \n" + display_name_of(e.ref_name) +
                                     "\t " + display_name_of(e.deg_name) + "\t " + stoi_text + "\t " + estoi_text +
                                     "\t" + shift_column + "\n";
    const std::string log = read_whole("stoi_results.txt");
    if (log != expected_log) fuzz_fail("results log differs from the printed scores", whole + "\n--- log ---\n" + log);
}
