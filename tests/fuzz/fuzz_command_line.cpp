// Random argument vectors through the tool's command line: joining,
// splitting at blanks, options, file tokens and the checks after the last
// token. The harness predicts the output of the command-line stage from its
// own reading of the tokens, then checks the rest of the run.
//
// Input: the arguments, separated by zero bytes. A slash becomes an
// underscore, so every name stays inside the harness's working directory,
// which holds a few fixed files: a.wav and b.pcm (scorable noise), e.wav
// (empty), t.wav (20 bytes), o.pcm (3 bytes) and the directory dir.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "driver/messages.h"
#include "fuzz_support.h"

using namespace kelvor;

namespace {

std::string banner_and_usage;

std::string captured(void (*print)()) {
    char* text = nullptr;
    size_t length = 0;
    FILE* capture = open_memstream(&text, &length);
    FILE* console = stdout;
    stdout = capture;
    print();
    stdout = console;
    fclose(capture);
    std::string s(text, length);
    free(text);
    return s;
}

void write_fixture(const char* name, const std::string& bytes) {
    FILE* f = fopen(name, "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
    fclose(f);
}

std::string noise_samples(int32_t count, uint32_t seed) {
    std::string s;
    for (int32_t i = 0; i < count; i++) {
        seed = seed * 1664525u + 1013904223u;
        int16_t v = static_cast<int16_t>(static_cast<int32_t>(seed >> 16) - 32768);
        v = static_cast<int16_t>(v / 4);
        s.push_back(static_cast<char>(v & 0xFF));
        s.push_back(static_cast<char>((v >> 8) & 0xFF));
    }
    return s;
}

// The number after an option letter: white space, sign, digits, clamped to
// the 32-bit range.
int32_t option_number(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 + (text[i] - '0');
        if (value > 1LL << 40) value = 1LL << 40;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(value);
}

struct Outcome {
    std::string prefix;  // the exact output of the command-line stage
    bool ends_here;      // the run ends with that output (status 1)
};

Outcome predict(const std::vector<std::string>& args, RunExpectation* e) {
    std::string line;
    for (const std::string& a : args) line += a + " ";
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ') i++;
        if (i > start) tokens.push_back(line.substr(start, i - start));
    }

    Outcome o{"", true};
    int files = 0;
    bool hide = false;
    for (const std::string& t : tokens) {
        if (t[0] == '-') {
            char letter = t.size() > 1 ? t[1] : '\0';
            switch (letter) {
            case 'a': e->align = true; break;
            case 'r': e->resample_double = true; break;
            case 't': e->timing = true; break;
            case 'd': e->debug = true; break;
            case 'h': hide = true; break;
            case 's':
                e->shift_given = true;
                e->shift = option_number(t.substr(2));
                if (e->shift < 1 || e->shift > 900) {
                    o.prefix += "ERROR: Illegal shift value " + std::to_string(e->shift) + "\n";
                    return o;
                }
                break;
            default:
                o.prefix += std::string("ERROR: Unknown option -") + (letter != '\0' ? std::string(1, letter) : "") + "\n";
                return o;
            }
            continue;
        }
        files++;
        if (files > 2) {
            o.prefix += "ERROR: Too many arguments!\n" + banner_and_usage;
            return o;
        }
        const bool reference = files == 1;
        if (std::any_of(t.begin(), t.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
            o.prefix += std::string("ERROR: Control character in ") + (reference ? "Reference" : "Degraded") +
                        " file name\n";
            return o;
        }
        struct stat info;
        if (stat(t.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            o.prefix += std::string("ERROR: Can't open ") + (reference ? "Reference" : "Degraded") + " '" + t + "'\n";
            return o;
        }
        const bool wav = wav_name(display_name_of(t));
        const int64_t size = static_cast<int64_t>(info.st_size);
        (reference ? e->ref_name : e->deg_name) = t;
        (reference ? e->ref_size : e->deg_size) = size;
        (reference ? e->ref_wav : e->deg_wav) = wav;
        o.prefix += std::string(reference ? "Reference: " : " Degraded: ") + display_name_of(t) + " \t samples: " +
                    std::to_string(data_bytes_of(size, wav) / 2) + "\n";
    }
    if (files < 2) {
        o.prefix += "ERROR: No Reference or/and Degraded file(s)\n" + banner_and_usage;
        return o;
    }
    if (e->align && e->shift_given) {
        o.prefix += "ERROR: Conflict options: use -a or -sN, not both!\n";
        return o;
    }
    if (!hide) o.prefix += captured(print_banner);
    o.ends_here = false;
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enter_private_work_dir("fuzz_command_line");
    banner_and_usage = captured(print_banner) + captured(print_usage);
    std::string header(44, '\0');
    write_fixture("a.wav", header + noise_samples(5000, 1));
    write_fixture("b.pcm", noise_samples(5000, 2));
    write_fixture("e.wav", "");
    write_fixture("t.wav", std::string(20, 'x'));
    write_fixture("o.pcm", "abc");
    mkdir("dir", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\0') {
            if (args.size() == 64) break;
            args.emplace_back();
            continue;
        }
        args.back().push_back(data[i] == '/' ? '_' : static_cast<char>(data[i]));
    }
    if (size == 0) args.clear();

    remove_run_outputs();
    RunExpectation e{};
    Outcome o = predict(args, &e);
    InProcessRun run = run_tool_in_process(args);

    if (run.out.compare(0, o.prefix.size(), o.prefix) != 0) {
        fuzz_fail("command-line stage differs from the prediction", run.out + "\n--- predicted ---\n" + o.prefix);
    }
    if (o.ends_here) {
        if (run.out.size() != o.prefix.size() || run.returned || run.status != 1) {
            fuzz_fail("the run went on after a command-line error", run.out);
        }
        return 0;
    }
    check_run_tail(run.out.substr(o.prefix.size()), run, e);
    return 0;
}
