// The fast paths against the plain loops on whole scorings: the delay, every
// resampled sample and both scores must be the same bits, for both
// coefficient tables and each way the shift can be chosen.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "conditioning/alignment.h"
#include "conditioning/resampler.h"
#include "measures/correlation.h"
#include "measures/stoi.h"
#include "support.h"

using namespace kelvor;

namespace {

struct Scoring {
    int32_t shift;
    std::vector<int16_t> ref10;
    std::vector<int16_t> deg10;
    double stoi;
    double estoi;
};

enum ShiftMode { NO_SHIFT, SEARCHED_SHIFT, GIVEN_SHIFT };

// One run of the tool's numeric steps, as the driver chains them.
Scoring score(const std::vector<int16_t>& ref, const std::vector<int16_t>& deg_padded, ShiftMode mode,
              bool double_table, bool fast) {
    IsaLimit limit(fast ? ISA_AVX512 : ISA_PLAIN);
    Scoring s;
    int32_t n = static_cast<int32_t>(ref.size());
    s.shift = mode == SEARCHED_SHIFT ? search_alignment(ref.data(), deg_padded.data(), n)
              : mode == GIVEN_SHIFT  ? 457
                                     : 0;
    int32_t m = resampled_length(n);
    s.ref10.assign(static_cast<size_t>(m), 0);
    s.deg10.assign(static_cast<size_t>(m), 0);
    const int16_t* deg = deg_padded.data() + s.shift;
    if (double_table) {
        resample_8k_to_10k(ref.data(), n, s.ref10.data(), resampler_taps_double);
        resample_8k_to_10k(deg, n, s.deg10.data(), resampler_taps_double);
    } else {
        resample_8k_to_10k(ref.data(), n, s.ref10.data(), resampler_taps_float);
        resample_8k_to_10k(deg, n, s.deg10.data(), resampler_taps_float);
    }
    MeasureResult r{};
    EXPECT_EQ(stoi_estoi_pcm(s.ref10.data(), s.deg10.data(), m, &r), MEASURE_OK);
    s.stoi = r.stoi;
    s.estoi = r.estoi;
    return s;
}

TEST(FastPaths, WholeScoringsAreBitIdenticalToThePlainLoops) {
    struct Pair {
        int32_t count;
        uint32_t seed;
        int32_t delay;
        double noise;
        bool clip;
    };
    const Pair pairs[] = {{24000, 1, 0, 0.0, false},   {33333, 2, 311, 0.3, false}, {30001, 3, 877, 1.0, true},
                          {16500, 4, 64, 0.05, false}, {28000, 5, 899, 2.0, false}};
    uint32_t rng = 77;
    for (const Pair& p : pairs) {
        std::vector<int16_t> ref = speechlike(p.count, p.seed, p.clip ? 40000.0 : 9000.0);
        std::vector<int16_t> deg(ref.size() + ALIGN_SHIFTS, 0);
        for (size_t i = 0; i < ref.size(); i++) {
            rng = rng * 1664525u + 1013904223u;
            double noise = (static_cast<double>(rng >> 8) / 16777216.0 - 0.5) * 6000.0 * p.noise;
            double v = 0.8 * ref[i] + noise;
            v = v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : v;
            if (i + static_cast<size_t>(p.delay) < deg.size()) deg[i + static_cast<size_t>(p.delay)] = static_cast<int16_t>(v);
        }
        for (ShiftMode mode : {NO_SHIFT, SEARCHED_SHIFT, GIVEN_SHIFT}) {
            for (bool double_table : {false, true}) {
                Scoring plain = score(ref, deg, mode, double_table, false);
                Scoring fast = score(ref, deg, mode, double_table, true);
                SCOPED_TRACE(testing::Message() << "count " << p.count << " mode " << mode << " double " << double_table);
                if (mode == SEARCHED_SHIFT) {
                    EXPECT_EQ(plain.shift, p.delay);
                }
                EXPECT_EQ(fast.shift, plain.shift);
                EXPECT_TRUE(fast.ref10 == plain.ref10);
                EXPECT_TRUE(fast.deg10 == plain.deg10);
                EXPECT_TRUE(same_bits(fast.stoi, plain.stoi)) << fast.stoi << " " << plain.stoi;
                EXPECT_TRUE(same_bits(fast.estoi, plain.estoi)) << fast.estoi << " " << plain.estoi;
            }
        }
    }
}

}  // namespace
