#include "support.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; i++) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put16(std::string& s, uint32_t v) {
    for (int i = 0; i < 2; i++) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

}  // namespace

ToolRun run_program(const std::vector<std::string>& argv, const std::string& cwd) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {"", "pipe failed", -1};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ToolRun run{"", "", -1};
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus)) run.status = 128 + WTERMSIG(wstatus);
    return run;
}

ToolRun run_tool(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{KELVOR_STOI_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

ToolRun run_tool_bounded(const std::vector<std::string>& args, const std::string& cwd, int seconds) {
    std::vector<std::string> argv{"/usr/bin/timeout", std::to_string(seconds), KELVOR_STOI_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

std::string make_temp_dir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kelvor_test_XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return "";
    return std::string(name.data());
}

void remove_tree(const std::string& path) {
    if (path.empty()) return;
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
    std::string data;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return data;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    fclose(f);
    return data;
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string source_path(const std::string& relative) {
    return std::string(KELVOR_SOURCE_DIR) + "/" + relative;
}

std::string wav_bytes(const std::vector<int16_t>& samples, int32_t rate, int32_t channels) {
    std::string s;
    uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    s += "RIFF";
    put32(s, 36 + data);
    s += "WAVEfmt ";
    put32(s, 16);
    put16(s, 1);
    put16(s, static_cast<uint32_t>(channels));
    put32(s, static_cast<uint32_t>(rate));
    put32(s, static_cast<uint32_t>(rate * channels * 2));
    put16(s, static_cast<uint32_t>(channels * 2));
    put16(s, 16);
    s += "data";
    put32(s, data);
    return s + raw_bytes(samples);
}

std::string raw_bytes(const std::vector<int16_t>& samples) {
    std::string s;
    s.reserve(samples.size() * 2);
    for (int16_t v : samples) put16(s, static_cast<uint16_t>(v));
    return s;
}

std::vector<int16_t> load_samples(const std::string& path, bool header) {
    std::string bytes = read_file(path);
    size_t start = header ? 44 : 0;
    std::vector<int16_t> samples;
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        uint16_t v = static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) |
                                           (static_cast<uint8_t>(bytes[i + 1]) << 8));
        samples.push_back(static_cast<int16_t>(v));
    }
    return samples;
}

std::vector<int16_t> speechlike(int32_t count, uint32_t seed, double level) {
    std::vector<int16_t> s(static_cast<size_t>(count));
    uint32_t state = seed * 2654435761u + 12345u;
    double f0 = 110.0 + (seed % 7) * 13.0;
    for (int32_t i = 0; i < count; i++) {
        double t = i / 8000.0;
        double env = 0.5 + 0.5 * std::sin(2.0 * M_PI * 3.7 * t + seed);
        env = env * env;
        double v = 0.0;
        for (int h = 1; h <= 12; h++) {
            double formant = std::exp(-std::pow((h * f0 - 700.0 - 300.0 * std::sin(t * 2.1)) / 600.0, 2.0));
            v += (0.2 + formant) / h * std::sin(2.0 * M_PI * h * f0 * t + h * seed);
        }
        state = state * 1664525u + 1013904223u;
        double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.05;
        double x = level * (env * v + noise);
        if (x > 32767.0) x = 32767.0;
        if (x < -32768.0) x = -32768.0;
        s[static_cast<size_t>(i)] = static_cast<int16_t>(x);
    }
    return s;
}
