// The any-rate resampler of the reference profile: the ratios and filter
// lengths of the design, its gain and symmetry, and that every kernel and
// every block size gives the plain loop's bits.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "conditioning/polyphase.h"

using namespace kelvor;

namespace {

TEST(PolyphaseRatio, ReducedRatiosAndRefusals) {
    struct Case {
        double rate;
        RateCheck check;
        int32_t up;
        int32_t down;
        int32_t designed;  // taps of the designed filter
    };
    const Case cases[] = {
        {8000, RATE_OK, 5, 4, 365},        {10000, RATE_OK, 1, 1, 0},       {16000, RATE_OK, 5, 8, 581},
        {22050, RATE_OK, 200, 441, 31947}, {44100, RATE_OK, 100, 441, 31947}, {48000, RATE_OK, 5, 24, 1741},
        {11025, RATE_OK, 400, 441, 31947}, {1000, RATE_OK, 10, 1, 0},      {768000, RATE_OK, 5, 384, 0},
        {999, RATE_OUT_OF_RANGE, 0, 0, 0},          {768001, RATE_OUT_OF_RANGE, 0, 0, 0},     {0, RATE_OUT_OF_RANGE, 0, 0, 0},
        {-16000, RATE_OUT_OF_RANGE, 0, 0, 0},       {9999, RATE_RATIO_TOO_FINE, 0, 0, 0},     {44101, RATE_RATIO_TOO_FINE, 0, 0, 0},
        {16000.5, RATE_NOT_WHOLE, 0, 0, 0},         {NAN, RATE_NOT_WHOLE, 0, 0, 0},           {INFINITY, RATE_NOT_WHOLE, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        int32_t up = -1;
        int32_t down = -1;
        ASSERT_EQ(polyphase_ratio(c.rate, &up, &down), c.check);
        if (c.check != RATE_OK) continue;
        EXPECT_EQ(up, c.up);
        EXPECT_EQ(down, c.down);
        if (c.designed > 0) {
            EXPECT_EQ(2 * polyphase_half_length(up, down) + 1, c.designed);
        }
    }
}

TEST(PolyphaseDesign, UnitGainPerPhaseSymmetricAndCentred) {
    const int32_t ratios[][2] = {{5, 4}, {5, 8}, {200, 441}};
    for (const auto& r : ratios) {
        const int32_t up = r[0];
        const int32_t down = r[1];
        const int32_t half = polyphase_half_length(up, down);
        std::vector<double> h(static_cast<size_t>(2 * half + 1));
        polyphase_design(up, down, h.data());
        double sum = 0.0;
        for (double v : h) sum += v;
        EXPECT_NEAR(sum, up, 1e-12 * up);
        for (int32_t t = 0; t <= half; t++) EXPECT_EQ(h[static_cast<size_t>(half - t)], h[static_cast<size_t>(half + t)]);
        EXPECT_NEAR(h[static_cast<size_t>(half)], static_cast<double>(up) / std::max(up, down), 1e-3);
        // Every phase passes a constant with gain 1 (to the stop band's
        // ripple).
        for (int32_t phase = 0; phase < up; phase++) {
            double g = 0.0;
            for (int32_t t = phase; t <= 2 * half; t += up) g += h[static_cast<size_t>(t)];
            EXPECT_NEAR(g, 1.0, 2e-3) << up << "/" << down << " phase " << phase;
        }
    }
}

// x resampled whole, with the samples outside the signal zero, by a kernel.
std::vector<double> resample(const PolyphaseFilter* f, const std::vector<double>& x, IsaLevel level, int32_t block) {
    const int64_t n = static_cast<int64_t>(x.size());
    const int64_t outputs = polyphase_output_length(f, n);
    std::vector<double> y(static_cast<size_t>(outputs));
    for (int64_t k = 0; k < outputs; k += block) {
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(block, outputs - k));
        const int64_t first = polyphase_newest(f, k) - f->taps + 1;
        const int64_t end = polyphase_newest(f, k + count - 1) + 1;
        std::vector<double> span(static_cast<size_t>(end - first), 0.0);
        for (int64_t i = first; i < end; i++) {
            if (i >= 0 && i < n) span[static_cast<size_t>(i - first)] = x[static_cast<size_t>(i)];
        }
        std::vector<double> scratch(static_cast<size_t>(polyphase_scratch_size(f, count)));
        polyphase_run_using(level, f, span.data(), first, k, count, y.data() + k, scratch.data());
    }
    return y;
}

TEST(PolyphaseRun, EveryKernelAndBlockSizeGivesThePlainBitsAndASineKeepsItsShape) {
    for (int rate : {8000, 16000, 22050, 48000}) {
        SCOPED_TRACE(rate);
        int32_t up = 0;
        int32_t down = 0;
        ASSERT_EQ(polyphase_ratio(rate, &up, &down), RATE_OK);
        const PolyphaseFilter* f = polyphase_acquire(up, down);
        ASSERT_NE(f, nullptr);
        const PolyphaseFilter* again = polyphase_acquire(up, down);
        EXPECT_EQ(again, f);  // kept for the next caller
        polyphase_release(again);
        const int64_t n = rate / 2 + 37;
        std::vector<double> x(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; i++) x[static_cast<size_t>(i)] = 0.5 * std::sin(2 * M_PI * 440.0 * i / rate) + 1e-6 * ((i * 7919) % 13);
        const std::vector<double> plain = resample(f, x, ISA_PLAIN, 1 << 20);
        ASSERT_EQ(static_cast<int64_t>(plain.size()), (n * up + down - 1) / down);
        for (IsaLevel level : {ISA_SSE2, ISA_AVX2, ISA_AVX512}) {
            for (int32_t block : {1, 3, 33, 4096, 1 << 20}) {
                const std::vector<double> y = resample(f, x, level, block);
                for (size_t k = 0; k < y.size(); k++) {
                    ASSERT_EQ(y[k], plain[k]) << "level " << level << " block " << block << " output " << k;
                }
            }
        }
        // Away from the ends the 440 Hz sine comes through at 10 kHz.
        for (size_t k = plain.size() / 3; k < 2 * plain.size() / 3; k += 97) {
            EXPECT_NEAR(plain[k], 0.5 * std::sin(2 * M_PI * 440.0 * k / 10000.0), 2e-3) << k;
        }
        polyphase_release(f);
    }
}

}  // namespace
