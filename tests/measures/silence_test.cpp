// Silent-frame removal: which frames survive and how the outputs are rebuilt.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "measures/silence.h"
#include "measures/spectrum.h"
#include "measures_support.h"

using namespace kelvor;

namespace {

// Seven frames (0 .. 6) in 1074 samples: samples 0 .. 127 belong to frame 0
// alone and 896 .. 1023 to frame 6 alone; 1024 .. 1073 to no frame.
const int32_t kLength = 1074;

struct Removal {
    std::vector<double> xs, ys;
    int32_t length;
};

Removal run_remove(const std::vector<double>& x, const std::vector<double>& y) {
    hann_window(analysis_window, FRAME_LENGTH);
    const int32_t length = static_cast<int32_t>(x.size());
    Removal r{std::vector<double>(x.size(), -1.0), std::vector<double>(x.size(), -1.0), 0};
    r.length = remove_frames(x.data(), y.data(), length, frame_count(length), r.xs.data(), r.ys.data());
    return r;
}

double noise(uint32_t i) {  // deterministic, in [-0.5, 0.5)
    uint32_t h = i * 2654435761u + 0x9e3779b9u;
    h ^= h >> 15;
    h *= 2246822519u;
    return ((h ^ (h >> 13)) & 0xFFFF) / 65536.0 - 0.5;
}

// The level of a frame whose only non-zero sample is a at window position n.
double impulse_level(double a, int n) {
    const double t = a * analysis_window[n];
    return 20.0 * std::log10(std::sqrt(t * t) * 0.0625);
}

// The windowed frames listed, overlap-added at a hop of 128 in that order.
std::vector<double> overlap_add(const std::vector<double>& s, const std::vector<int>& frames) {
    std::vector<double> out(s.size(), 0.0);
    int32_t p = 0;
    for (int i : frames) {
        for (int n = 0; n < FRAME_LENGTH; n++) out[p + n] = s[128 * i + n] * analysis_window[n] + out[p + n];
        p += 128;
    }
    return out;
}

}  // namespace

TEST(Remove, EqualLevelsKeepEveryFrame) {
    // Period 32 divides the hop, so every frame holds the same samples.
    std::vector<double> x(2000), y(2000);
    for (size_t i = 0; i < x.size(); i++) {
        x[i] = 0.5 * std::sin(6.283185307179586 * static_cast<double>(i % 32) / 32.0);
        y[i] = noise(static_cast<uint32_t>(i));
    }
    Removal r = run_remove(x, y);
    EXPECT_EQ(r.length, 128 * (14 + 1));
    std::vector<int> all{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    EXPECT_EQ(r.xs, overlap_add(x, all));
    EXPECT_EQ(r.ys, overlap_add(y, all));
}

TEST(Remove, FrameExactlyFortyDecibelsDownIsDropped) {
    hann_window(analysis_window, FRAME_LENGTH);
    // Impulses at sample 64 of frame 0 and sample 192 of frame 6; no other
    // frame sees either. Search the second amplitude whose level is exactly
    // the threshold.
    const double a = 0.75;
    const double threshold = impulse_level(a, 64) - 40.0;
    double b = a * analysis_window[64] / analysis_window[192] / 100.0;
    for (int steps = 0; impulse_level(b, 192) != threshold && steps < 100000; steps++) {
        b = std::nextafter(b, impulse_level(b, 192) < threshold ? 1.0 : 0.0);
    }
    ASSERT_EQ(impulse_level(b, 192), threshold);
    std::vector<double> x(kLength, 0.0);
    x[64] = a;
    x[768 + 192] = b;
    EXPECT_EQ(run_remove(x, x).length, 256);

    while (impulse_level(b, 192) <= threshold) b = std::nextafter(b, 1.0);
    x[768 + 192] = b;
    EXPECT_EQ(run_remove(x, x).length, 384);
}

TEST(Remove, KeptFramesAreOverlapAddedInOrder) {
    std::vector<double> y(kLength);
    for (int i = 0; i < kLength; i++) y[i] = noise(5000 + i);
    struct Case {
        int from, to;             // reference samples that carry sound
        std::vector<int> frames;  // the frames that must survive
    };
    // Sound that reaches a neighbouring frame only over its four outermost
    // window values stays far more than 40 dB below in that frame.
    const Case cases[] = {
        {0, 128, {0}},                        // one frame: its windowed samples
        {0, 260, {0, 1}},                     // adjacent: overlap as in the input
        {0, 132, {0, 6}},                     // distant: halves from different places add
    };
    for (const Case& c : cases) {
        std::vector<double> x(kLength, 0.0);
        for (int i = c.from; i < c.to; i++) x[i] = noise(i);
        if (c.frames.size() == 2 && c.frames[1] == 6) {
            for (int i = 892; i < 1024; i++) x[i] = noise(i);
        }
        Removal r = run_remove(x, y);
        EXPECT_EQ(r.length, 128 * (static_cast<int32_t>(c.frames.size()) + 1));
        EXPECT_EQ(r.xs, overlap_add(x, c.frames));
        // The degraded signal follows the reference's choice, whatever it holds.
        EXPECT_EQ(r.ys, overlap_add(y, c.frames));
    }
}

TEST(Remove, NothingSurvivesWithoutFramesOrSound) {
    std::vector<double> silent(kLength, 0.0), loud(kLength, 0.5);
    Removal none = run_remove(silent, loud);
    EXPECT_EQ(none.length, 0);
    EXPECT_EQ(none.xs, silent);
    EXPECT_EQ(none.ys, silent);
    std::vector<double> short_x(256, 0.5);
    EXPECT_EQ(run_remove(short_x, short_x).length, 0);
}
