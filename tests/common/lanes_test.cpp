// The lane records of every instruction set against the plain record: the
// same bits from every operation of the doubles, on values that include
// signed zeros, subnormals, infinities and NaNs; exact 16-bit arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "common/cpu.h"
#include "common/lanes.h"
#include "lanes_ops.h"

using namespace kelvor;

namespace {

struct LaneSet {
    IsaLevel level;
    const char* name;
    void (*doubles)(const double*, const double*, int32_t, double*);
    void (*int16s)(const int16_t*, const int16_t*, int32_t, double*, double*, int64_t*);
    int32_t double_lanes;
    int32_t int16_lanes;
};

// The sets this processor runs.
std::vector<LaneSet> sets() {
    std::vector<LaneSet> all;
#if KELVOR_X86_KERNELS
    all = {{ISA_SSE2, "SSE2", lane_operations_sse2, int16_operations_sse2, DOUBLE_LANES_SSE2, INT16_LANES_SSE2},
           {ISA_AVX2, "AVX2", lane_operations_avx2, int16_operations_avx2, DOUBLE_LANES_AVX2, INT16_LANES_AVX2},
           {ISA_AVX512, "AVX-512", lane_operations_avx512, int16_operations_avx512, DOUBLE_LANES_AVX512,
            INT16_LANES_AVX512}};
#endif
    std::vector<LaneSet> supported;
    for (const LaneSet& s : all) {
        if (isa_supported() >= s.level) supported.push_back(s);
    }
    return supported;
}

TEST(Lanes, EverySetsDoublesGiveThePlainBits) {
    const double inf = std::numeric_limits<double>::infinity();
    const double v[] = {0.0, -0.0, 1.0, -1.5, 2.0, 1e-310, -1e-310, inf, -inf, std::nan(""), 3.0, 0.1, 1e308, -7.25,
                        2.0, 5e-324};
    constexpr int32_t K = sizeof v / sizeof v[0];
    std::vector<double> a, b;
    for (double x : v) {
        for (double y : v) {
            a.push_back(x);
            b.push_back(y);
        }
    }
    const int32_t n = static_cast<int32_t>(a.size());
    std::vector<double> expected(static_cast<size_t>(n) * LANE_RESULTS);
    lane_operations<plain::Doubles>(a.data(), b.data(), n, expected.data());
    for (const LaneSet& s : sets()) {
        std::vector<double> got(expected.size(), -42.0);
        s.doubles(a.data(), b.data(), n, got.data());
        for (int32_t i = 0; i < n; i++) {
            for (int32_t r = 0; r < LANE_RESULTS; r++) {
                const size_t at = static_cast<size_t>(i) * LANE_RESULTS + r;
                EXPECT_EQ(std::memcmp(&got[at], &expected[at], sizeof(double)), 0)
                    << s.name << " result " << r << " of " << v[i / K] << ", " << v[i % K] << ": " << got[at]
                    << " for " << expected[at];
            }
        }
    }
}

TEST(Lanes, EverySetsInt16sAreExact) {
    constexpr int32_t COUNT = 64;
    alignas(64) int16_t x[COUNT];
    alignas(64) int16_t y[COUNT];
    const int16_t edges[] = {-32768, 32767, -1, 0, 1, 255, -256, 12345};
    uint32_t seed = 1;
    for (int32_t i = 0; i < COUNT; i++) {
        seed = seed * 1664525u + 1013904223u;
        x[i] = i < 8 ? edges[i] : static_cast<int16_t>(seed >> 16);
        y[i] = i < 8 ? edges[7 - i] : static_cast<int16_t>(seed);
    }
    for (const LaneSet& s : sets()) {
        const int32_t vectors = COUNT / s.int16_lanes;
        std::vector<double> words(static_cast<size_t>(vectors * s.double_lanes));
        std::vector<double> sums(words.size());
        std::vector<int64_t> totals(static_cast<size_t>(vectors));
        s.int16s(x, y, COUNT, words.data(), sums.data(), totals.data());
        for (int32_t v = 0; v < vectors; v++) {
            const int32_t first = v * s.int16_lanes;
            int64_t total = 0;
            for (int32_t i = first; i < first + s.int16_lanes; i++) total += int64_t{x[i]} * y[i];
            EXPECT_EQ(totals[v], total) << s.name << " vector " << v;
            for (int32_t l = 0; l < s.double_lanes; l++) {
                const uint16_t product = static_cast<uint16_t>(static_cast<uint32_t>(x[first + l]) * y[first + l]);
                const uint16_t sum = static_cast<uint16_t>(x[first + l] + y[first]);
                EXPECT_EQ(words[v * s.double_lanes + l], product) << s.name << " lane " << first + l;
                EXPECT_EQ(sums[v * s.double_lanes + l], sum) << s.name << " lane " << first + l;
            }
        }
    }
}

}  // namespace
