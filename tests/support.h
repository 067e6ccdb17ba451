// Helpers shared by the test suites: temporary directories, files, WAV
// data and running the real executable.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "common/parallel.h"

struct ToolRun {
    std::string out;  // everything the process wrote to standard output
    std::string err;  // everything it wrote to standard error
    int status;       // exit status, or 128 + signal number
};

// Runs the built KELVOR_STOI with args (program name not included) in
// directory cwd.
ToolRun run_tool(const std::vector<std::string>& args, const std::string& cwd);
// The same, stopped after `seconds` when it has not ended by then (status
// 124), for runs that must not wait on a file.
ToolRun run_tool_bounded(const std::vector<std::string>& args, const std::string& cwd, int seconds);
// Runs any program (argv[0] is the path) in directory cwd.
ToolRun run_program(const std::vector<std::string>& argv, const std::string& cwd);

// A fresh empty directory below the system's temporary directory.
std::string make_temp_dir();
void remove_tree(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// Path of a file in the source tree, e.g. source_path("samples/ref.wav").
std::string source_path(const std::string& relative);

// 44-byte PCM WAV header followed by the samples, little-endian.
std::string wav_bytes(const std::vector<int16_t>& samples, int32_t rate, int32_t channels = 1);
std::string raw_bytes(const std::vector<int16_t>& samples);
// Samples behind a 44-byte header (or from byte 0 when header is false).
std::vector<int16_t> load_samples(const std::string& path, bool header = true);

// Deterministic speech-like test signal: a sum of a few harmonics with a
// syllable-rate envelope and a little noise, seeded.
std::vector<int16_t> speechlike(int32_t count, uint32_t seed, double level = 8000.0);

// True when a and b hold the same bits: tells -0 from +0 and compares
// not-a-number values by their payload, as a reproducibility check must.
template <typename T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}
template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Caps the instruction-set level of every kernel for its own lifetime
// (ISA_PLAIN: the plain loops everywhere), however a test ends.
class IsaLimit {
public:
    explicit IsaLimit(kelvor::IsaLevel limit) : saved_(kelvor::isa_set_limit(limit)) {}
    ~IsaLimit() { kelvor::isa_set_limit(saved_); }
    IsaLimit(const IsaLimit&) = delete;
    IsaLimit& operator=(const IsaLimit&) = delete;

private:
    kelvor::IsaLevel saved_;
};

// Sets the calling thread's thread count (common/parallel.h) for its own
// lifetime: 1 runs every step on the calling thread, N shares each step
// out between N threads whatever the processor count.
class ThreadSetting {
public:
    explicit ThreadSetting(int32_t threads) : saved_(kelvor::parallel_set_threads(threads)) {}
    ~ThreadSetting() { kelvor::parallel_set_threads(saved_); }
    ThreadSetting(const ThreadSetting&) = delete;
    ThreadSetting& operator=(const ThreadSetting&) = delete;

private:
    int32_t saved_;
};

// The thread counts the threaded steps are compared with one thread at:
// two, and odd counts that leave the shares unequal.
constexpr int32_t kThreadCounts[] = {2, 3, 7};

// The levels that can be asked for, lowest first.
constexpr kelvor::IsaLevel kIsaLevels[] = {kelvor::ISA_PLAIN, kelvor::ISA_SSE2, kelvor::ISA_AVX2, kelvor::ISA_AVX512};

#endif
