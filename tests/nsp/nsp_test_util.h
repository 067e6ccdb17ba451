// Helpers shared by the nsp test files.
#ifndef TESTS_NSP_NSP_TEST_UTIL_H
#define TESTS_NSP_NSP_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nsp/nsp.h"
#include "support.h"
#include "nsp/nspstate.h"

// Reverses the lowest `bits` bits of n.
inline int32_t reverse_bits(int32_t n, int32_t bits) {
    int32_t r = 0;
    for (int32_t b = 0; b < bits; b++) r = (r << 1) | ((n >> b) & 1);
    return r;
}

inline std::vector<ComplexFloat> random_signal(int32_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<ComplexFloat> x(static_cast<size_t>(n));
    for (ComplexFloat& v : x) {
        v.re = dist(gen);
        v.im = dist(gen);
    }
    return x;
}

inline uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// One report as seen by the recording handler.
struct SeenReport {
    int status;
    std::string func;
    std::string condition;
    std::string module;
    int line;
};

// Installs a handler that records every report and returns its status,
// with error mode 1, until stop_recording restores the default handler and
// error mode 0.
void start_recording();
void stop_recording();
std::vector<SeenReport>& recorded();

#endif
