// Scores one pair of raw 8 kHz 16-bit files with the library in a process
// of its own, for the library tests:
//
//   kelvor_score_pair [-a] [-sN] [-r] [-fN] reference.raw degraded.raw
//
// -a, -sN and -r as the tool's options; -fN refuses every heap request
// from the N-th on (the program is linked with -Wl,--wrap=malloc, so only
// the library's own requests count). Prints "status S stoi X estoi Y
// delay D" with the scores in hexadecimal floating point.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kelvor/stoi.h"

extern "C" void* __real_malloc(size_t size);

namespace {

long refuse_from = 0;
long requests = 0;

std::vector<int16_t> load(const char* path) {
    std::vector<int16_t> samples;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return samples;
    int16_t s;
    while (std::fread(&s, 2, 1, f) == 1) samples.push_back(s);
    std::fclose(f);
    return samples;
}

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
    if (refuse_from > 0 && ++requests >= refuse_from) return nullptr;
    return __real_malloc(size);
}

int main(int argc, char** argv) {
    kelvor_options options{};
    const char* files[2] = {nullptr, nullptr};
    int file_count = 0;
    long refuse = 0;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "-a") == 0) options.align = 1;
        else if (std::strncmp(argv[i], "-s", 2) == 0) options.shift = std::atoi(argv[i] + 2);
        else if (std::strcmp(argv[i], "-r") == 0) options.double_table = 1;
        else if (std::strncmp(argv[i], "-f", 2) == 0) refuse = std::atol(argv[i] + 2);
        else if (file_count < 2) files[file_count++] = argv[i];
    }
    if (file_count != 2) return 2;
    const std::vector<int16_t> ref = load(files[0]);
    const std::vector<int16_t> deg = load(files[1]);
    kelvor_scores scores{};
    refuse_from = refuse;
    const int status = kelvor_score_pcm8k(ref.data(), static_cast<int64_t>(ref.size()), deg.data(),
                                          static_cast<int64_t>(deg.size()), &options, &scores);
    refuse_from = 0;
    std::printf("status %d stoi %a estoi %a delay %d\n", status, scores.stoi, scores.estoi, scores.delay);
    return 0;
}
