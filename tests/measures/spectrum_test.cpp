// Frame grid, analysis window, band layout, band envelopes and spectra.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "measures/spectrum.h"
#include "measures_support.h"

using namespace kelvor;

namespace {

const double kTwoPi = 6.283185307179586;

int nearest_bin(double hz) {
    int best = 0;
    for (int k = 1; k < BIN_COUNT; k++) {
        if (std::fabs(k * 10000.0 / 512 - hz) < std::fabs(best * 10000.0 / 512 - hz)) best = k;
    }
    return best;
}

}  // namespace

TEST(FrameCount, CountsFramesThatStartAtMostLengthMinus256) {
    EXPECT_EQ(frame_count(256), 0);  // one frame would fit, but none is counted
    EXPECT_EQ(frame_count(384), 1);
    EXPECT_EQ(frame_count(385), 2);
    for (int32_t length = 0; length < 1500; length++) {
        int32_t counted = 0;
        for (int32_t a = 1; a <= length - 256; a += 128) counted++;
        ASSERT_EQ(frame_count(length), counted) << "length " << length;
    }
}

TEST(HannWindow, SymmetricWithAccumulatedAngle) {
    double w[256];
    hann_window(w, 256);
    EXPECT_EQ(w[0], 0.5 * (1.0 - std::cos(kTwoPi / 257.0)));
    EXPECT_NEAR(w[0], 1.49e-4, 0.01e-4);
    for (int i = 0; i < 128; i++) ASSERT_EQ(w[i], w[255 - i]) << i;
    // The angle is the running sum of the step, not (i + 1) * step; the two
    // differ in the last bits for some i, and the scores depend on them.
    const double step = kTwoPi / 257.0;
    double theta = step;
    for (int i = 0; i < 128; i++, theta = theta + step) EXPECT_EQ(w[i], 0.5 * (1.0 - std::cos(theta))) << i;
}

TEST(BandMask, FollowsTheNearestBinEdgeRule) {
    std::vector<int> expected;
    for (int j = 0; j < BAND_COUNT; j++) {
        const int lo = nearest_bin(150.0 * std::pow(2.0, (2.0 * j - 1.0) / 6.0));
        const int hi = nearest_bin(150.0 * std::pow(2.0, (2.0 * j + 1.0) / 6.0));
        for (int k = lo; k < hi; k++) expected.push_back(j * BIN_COUNT + k);
    }
    ASSERT_EQ(expected.size(), static_cast<size_t>(BAND_BIN_COUNT));
    for (int i = 0; i < BAND_BIN_COUNT; i++) EXPECT_EQ(band_bin_table[i], expected[i]) << i;
    EXPECT_EQ(band_bin_table[0], 7);                         // band 0 starts at bin 7
    EXPECT_EQ(band_bin_table[BAND_BIN_COUNT - 1], 14 * 257 + 218);  // band 14 ends at bin 218

    std::vector<uint8_t> mask(BAND_COUNT * BIN_COUNT, 7);
    fill_band_mask(mask.data());
    for (int k = 0; k < BIN_COUNT; k++) {
        int bands = 0;
        for (int j = 0; j < BAND_COUNT; j++) {
            ASSERT_LE(mask[j * BIN_COUNT + k], 1);
            bands += mask[j * BIN_COUNT + k];
        }
        EXPECT_EQ(bands, (k >= 7 && k <= 218) ? 1 : 0) << "bin " << k;
    }
}

TEST(BandEnvelopes, SumOnlyTheBandsBins) {
    const int32_t frames = 3;
    std::vector<uint8_t> mask(BAND_COUNT * BIN_COUNT);
    fill_band_mask(mask.data());
    std::vector<double> ax(frames * BIN_COUNT, 1.0), ay(frames * BIN_COUNT, 1.0);
    for (int k = 0; k < BIN_COUNT; k++) ay[BIN_COUNT + k] = 2.0;  // frame 1 louder
    // Frame 2 has energy only in bins that belong to no band.
    for (int k = 0; k < BIN_COUNT; k++) ax[2 * BIN_COUNT + k] = (k <= 6 || k >= 219) ? 100.0 : 0.0;
    std::vector<double> X(BAND_COUNT * frames), Y(BAND_COUNT * frames);
    band_envelopes(ax.data(), ay.data(), mask.data(), frames, X.data(), Y.data());
    const int bins[BAND_COUNT] = {2, 2, 3, 3, 5, 5, 7, 9, 12, 14, 18, 22, 29, 36, 45};
    for (int j = 0; j < BAND_COUNT; j++) {
        const double root = std::sqrt(static_cast<double>(bins[j]));
        EXPECT_EQ(X[j * frames + 0], root);
        EXPECT_EQ(X[j * frames + 2], 0.0);
        EXPECT_EQ(Y[j * frames + 1], 2.0 * root);
    }
}

TEST(BandEnvelopes, BandSumsEqualThePlainMaskWeightedLoopBitForBit) {
    const int32_t frames = 40;
    std::vector<uint8_t> mask(BAND_COUNT * BIN_COUNT);
    fill_band_mask(mask.data());
    std::vector<double> ax(frames * BIN_COUNT), ay(frames * BIN_COUNT);
    uint32_t state = 7;
    for (size_t i = 0; i < ax.size(); i++) {
        state = state * 1664525u + 1013904223u;
        // Magnitudes over many orders of size, with exact zeros and huge values.
        double v = std::ldexp(static_cast<double>(state >> 8), static_cast<int>(state % 200) - 120);
        ax[i] = (state & 0x300) == 0 ? 0.0 : v;
        ay[i] = v * 0.37;
    }
    std::vector<double> X(BAND_COUNT * frames), Y(BAND_COUNT * frames);
    std::vector<double> Xp(BAND_COUNT * frames), Yp(BAND_COUNT * frames);
    band_envelopes(ax.data(), ay.data(), mask.data(), frames, X.data(), Y.data());
    band_envelopes_plain(ax.data(), ay.data(), mask.data(), frames, Xp.data(), Yp.data());
    EXPECT_EQ(std::memcmp(X.data(), Xp.data(), X.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(Y.data(), Yp.data(), Y.size() * sizeof(double)), 0);
}

TEST(ComplexFft, ForwardUnscaledInverseScaledInSinglePrecision) {
    double data[8] = {1, 0, 2, 0, 3, 0, 4, 0};
    complex_fft(data, 2, false);
    const double forward[8] = {10, 0, -2, 2, -2, 0, -2, -2};
    for (int i = 0; i < 8; i++) EXPECT_NEAR(data[i], forward[i], 1e-6) << i;
    complex_fft(data, 2, true);
    for (int i = 0; i < 4; i++) EXPECT_NEAR(data[2 * i], i + 1.0, 1e-6) << i;
    // 1 + 2^-40 is not a float: it is rounded on the way in.
    double one[2] = {1.0 + std::ldexp(1.0, -40), 0.0};
    complex_fft(one, 0, false);
    EXPECT_EQ(one[0], 1.0);
}

TEST(Stdft, ImpulseGivesFlatSpectrumOfTheWindowValue) {
    hann_window(analysis_window, FRAME_LENGTH);
    // Sample 266 is sample 10 of frame 2 and sample 138 of frame 1.
    std::vector<double> signal(128 * 3 + 256, 0.0);
    signal[266] = 0.5;
    const int32_t frames = 4;
    std::vector<double> spectrum(frames * BIN_COUNT, -1.0);
    spectra(signal.data(), spectrum.data(), frames);
    const double level[frames] = {0.0, 0.5 * analysis_window[138], 0.5 * analysis_window[10], 0.0};
    for (int t = 0; t < frames; t++) {
        for (int k = 0; k < BIN_COUNT; k++) {
            ASSERT_NEAR(spectrum[t * BIN_COUNT + k], level[t], 1e-6 * level[t]) << "frame " << t << " bin " << k;
        }
    }
}
