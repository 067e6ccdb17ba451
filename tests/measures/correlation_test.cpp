// Segment correlations of STOI and ESTOI on given band envelopes, and the
// noise generator behind ESTOI.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "measures/correlation.h"
#include "measures/spectrum.h"

using namespace kelvor;

namespace {

const double kC = 5.623413251903491;  // 10^0.75

// Band envelopes of frames frames with values in [low, low + 1).
std::vector<double> envelopes(int32_t frames, uint32_t seed, double low = 0.1) {
    std::vector<double> e(static_cast<size_t>(BAND_COUNT) * frames);
    for (size_t i = 0; i < e.size(); i++) {
        uint32_t h = (seed * 100003u + static_cast<uint32_t>(i)) * 2654435761u + 0x7f4a7c15u;
        h ^= h >> 16;
        h *= 2246822519u;
        e[i] = low + ((h ^ (h >> 13)) & 0xFFFF) / 65536.0;
    }
    return e;
}

long double pearson(const double* x, const double* y) {
    long double mx = 0, my = 0, sxy = 0, sxx = 0, syy = 0;
    for (int i = 0; i < SEGMENT_LENGTH; i++) mx += x[i], my += y[i];
    mx /= SEGMENT_LENGTH;
    my /= SEGMENT_LENGTH;
    for (int i = 0; i < SEGMENT_LENGTH; i++) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}

std::vector<double> stoi_of(const std::vector<double>& X, const std::vector<double>& Y, int32_t frames) {
    const int32_t segments = frames - SEGMENT_LENGTH;
    std::vector<double> d(static_cast<size_t>(BAND_COUNT) * segments, -7.0);
    double xn[SEGMENT_LENGTH], yn[SEGMENT_LENGTH];
    stoi_correlations(X.data(), Y.data(), frames, segments, kC, d.data(), xn, yn);
    return d;
}

}  // namespace

TEST(NoiseGenerator, FixedSequenceDrawnInMemoryOrder) {
    uint16_t noise_state = NOISE_STATE_START;
    EXPECT_EQ(noise_state, 123);
    EXPECT_EQ(noise_sample(&noise_state), 2.7813720703125 * std::ldexp(1.0, -52));
    EXPECT_EQ(noise_state, 64342);
    EXPECT_EQ(noise_sample(&noise_state), ((777.0 / 32768.0) * 2.0 - 1.0) * 3.0 * std::ldexp(1.0, -52));
    EXPECT_EQ(noise_state, 33545);
    EXPECT_NEAR(noise_sample(&noise_state), -1.84e-16, 0.01e-16);
    EXPECT_EQ(noise_state, 44628);

    double m[2][3] = {{1, 2, 3}, {4, 5, 6}};
    add_noise(&noise_state, &m[0][0], 2, 3);
    noise_state = 44628;
    for (int i = 0; i < 6; i++) EXPECT_EQ((&m[0][0])[i], noise_sample(&noise_state) + (i + 1.0)) << i;
}

TEST(NoiseGenerator, FullPeriodIsOffCentreAndBounded) {
    uint16_t noise_state = NOISE_STATE_START;
    const uint16_t saved = noise_state;
    const double unit = std::ldexp(1.0, -52);
    long double sum = 0;
    for (int i = 0; i < 65536; i++) {
        const double e = noise_sample(&noise_state);
        ASSERT_TRUE(i == 65535 || noise_state != saved) << "period ends early at draw " << i;
        ASSERT_TRUE(e >= -9.0 * unit && e < 3.0 * unit);
        sum += e;
    }
    EXPECT_EQ(noise_state, saved);
    EXPECT_NEAR(static_cast<double>(sum / 65536 / unit), -3.0, 1e-3);
}

TEST(SegmentCorrelation, PearsonAndZeroWithoutDeviation) {
    std::vector<double> e = envelopes(4, 1);  // 60 values
    const double* x = e.data();
    const double* y = e.data() + SEGMENT_LENGTH;
    double neg[SEGMENT_LENGTH], flat[SEGMENT_LENGTH], zero[SEGMENT_LENGTH] = {};
    double xn[SEGMENT_LENGTH], yn[SEGMENT_LENGTH];
    for (int n = 0; n < SEGMENT_LENGTH; n++) {
        neg[n] = 2.0 - 3.0 * x[n];
        flat[n] = 0.25;  // its computed mean is exact, so every deviation is 0
    }
    EXPECT_NEAR(segment_correlation(x, y, xn, yn), static_cast<double>(pearson(x, y)), 1e-14);
    EXPECT_NEAR(segment_correlation(x, neg, xn, yn), -1.0, 1e-14);
    EXPECT_EQ(segment_correlation(x, zero, xn, yn), 0.0);
    EXPECT_EQ(segment_correlation(zero, x, xn, yn), 0.0);
    EXPECT_EQ(segment_correlation(x, flat, xn, yn), 0.0);
}

TEST(StoiCorrelations, BandMajorOverSlidingSegments) {
    const int32_t frames = 34;
    const int32_t segments = frames - SEGMENT_LENGTH;
    // Values in [1.1, 2.1): after scaling to equal energy nothing comes near
    // the clipping bound of about 6.6 x.
    std::vector<double> X = envelopes(frames, 2, 1.1), Y = envelopes(frames, 3, 1.1), Z(X.size());
    for (size_t i = 0; i < X.size(); i++) Z[i] = 0.37 * X[i];
    std::vector<double> d = stoi_of(X, Y, frames);
    for (int j = 0; j < BAND_COUNT; j++) {
        for (int m = 0; m < segments; m++) {
            const double* x = X.data() + j * frames + m;
            EXPECT_NEAR(d[j * segments + m], static_cast<double>(pearson(x, Y.data() + j * frames + m)), 1e-13);
        }
    }
    for (double r : stoi_of(X, Z, frames)) EXPECT_NEAR(r, 1.0, 1e-14);
}

TEST(StoiCorrelations, ClipsScaledValuesAtTheBound) {
    const int32_t frames = 31;  // one segment
    std::vector<double> X = envelopes(frames, 4), Y = X;
    // Band 5: one degraded value 40 times its reference, still far above
    // x + c x after scaling to the reference's energy.
    const int spike = 17;
    Y[5 * frames + spike] = 40.0 * X[5 * frames + spike];
    const double* x = X.data() + 5 * frames;
    const double* y = Y.data() + 5 * frames;
    long double sx = 0, sy = 0;
    for (int n = 0; n < SEGMENT_LENGTH; n++) sx += (long double)x[n] * x[n], sy += (long double)y[n] * y[n];
    double clipped[SEGMENT_LENGTH], unclipped[SEGMENT_LENGTH];
    for (int n = 0; n < SEGMENT_LENGTH; n++) {
        unclipped[n] = static_cast<double>(std::sqrt(sx / sy) * y[n]);
        clipped[n] = std::fmin(unclipped[n], x[n] * (1.0 + kC));
    }
    const double want = static_cast<double>(pearson(x, clipped));
    ASSERT_GT(std::fabs(want - static_cast<double>(pearson(x, unclipped))), 1e-2);
    std::vector<double> d = stoi_of(X, Y, frames);
    EXPECT_NEAR(d[5], want, 1e-13);
    EXPECT_NEAR(d[4], 1.0, 1e-14);
}

TEST(StoiCorrelations, SilentDegradedBandCorrelatesZeroNotNan) {
    const int32_t frames = 40;
    const int32_t segments = frames - SEGMENT_LENGTH;
    std::vector<double> X = envelopes(frames, 5), Y = X;
    // Band 2: degraded silent from frame 8 on; segments 8 and 9 see only zeros.
    for (int t = 8; t < frames; t++) Y[2 * frames + t] = 0.0;
    // Band 9 silent in both (0/0 without care); band 11 reference silent.
    for (int t = 0; t < frames; t++) X[9 * frames + t] = Y[9 * frames + t] = X[11 * frames + t] = 0.0;
    std::vector<double> d = stoi_of(X, Y, frames);
    for (int m = 0; m < segments; m++) {
        EXPECT_TRUE(std::isfinite(d[2 * segments + m])) << m;
        EXPECT_EQ(d[2 * segments + m] == 0.0, m >= 8) << m;
        EXPECT_EQ(d[9 * segments + m], 0.0) << m;
        EXPECT_EQ(d[11 * segments + m], 0.0) << m;
        EXPECT_NEAR(d[3 * segments + m], 1.0, 1e-14) << m;
    }
}

TEST(EstoiValues, IdenticalEnvelopesScoreOne) {
    const int32_t frames = 36;
    std::vector<double> X = envelopes(frames, 6);
    std::vector<double> d1(frames - SEGMENT_LENGTH);
    uint16_t noise_state = NOISE_STATE_START;
    estoi_values(X.data(), X.data(), frames, frames - SEGMENT_LENGTH, d1.data(), &noise_state);
    for (double v : d1) EXPECT_NEAR(v, 1.0, 1e-12);
}

TEST(EstoiValues, SilentBandsStayBoundedAndEachSegmentDraws1800) {
    const int32_t frames = 40;
    const int32_t segments = frames - SEGMENT_LENGTH;
    std::vector<double> X = envelopes(frames, 9), Y = envelopes(frames, 10);
    for (int t = 0; t < frames; t++) X[4 * frames + t] = Y[6 * frames + t] = X[7 * frames + t] = Y[7 * frames + t] = 0.0;
    uint16_t noise_state = NOISE_STATE_START;
    const uint16_t start = noise_state;
    for (int i = 0; i < 1800 * segments; i++) noise_sample(&noise_state);
    const uint16_t expected = noise_state;
    noise_state = start;
    std::vector<double> d1(segments);
    estoi_values(X.data(), Y.data(), frames, segments, d1.data(), &noise_state);
    EXPECT_EQ(noise_state, expected);
    for (double v : d1) EXPECT_LE(std::fabs(v), 1.0 + 1e-12);  // also false for NaN
}

namespace {

TEST(NoiseBlock, SameDrawsAndFinalStateAsOneAtATime) {
    uint16_t noise_state = NOISE_STATE_START;
    // Blocks shorter and longer than one segment's 1800 draws, from states
    // spread over the whole period.
    for (uint32_t start : {0u, 123u, 40000u, 65535u}) {
        for (int32_t count : {1, 7, 1800, 1801, 5000}) {
            std::vector<double> block(static_cast<size_t>(count));
            noise_state = static_cast<uint16_t>(start);
            noise_block(&noise_state, block.data(), count);
            const uint16_t after_block = noise_state;
            noise_state = static_cast<uint16_t>(start);
            for (int32_t i = 0; i < count; i++) ASSERT_EQ(block[static_cast<size_t>(i)], noise_sample(&noise_state)) << i;
            EXPECT_EQ(after_block, noise_state);
        }
    }
}

TEST(EstoiSegment, BlockedStepsEqualThePlainStepsBitForBit) {
    const int32_t frames = 45;
    std::vector<double> X = envelopes(frames, 21), Y = envelopes(frames, 22);
    // Silent bands, a band equal in both, and widely different magnitudes.
    for (int t = 0; t < frames; t++) {
        X[3 * frames + t] = 0.0;
        Y[9 * frames + t] = 0.0;
        Y[5 * frames + t] = X[5 * frames + t];
        X[12 * frames + t] *= 1e6;
        Y[13 * frames + t] *= 1e-9;
    }
    uint16_t noise_state = NOISE_STATE_START;
    for (int32_t m = 0; m + SEGMENT_LENGTH <= frames; m++) {
        const uint16_t start = noise_state;
        const double plain = estoi_segment_plain(X.data(), Y.data(), frames, m, &noise_state);
        const uint16_t plain_end = noise_state;
        noise_state = start;
        const double fast = estoi_segment(X.data(), Y.data(), frames, m, &noise_state);
        EXPECT_EQ(std::memcmp(&plain, &fast, sizeof plain), 0) << "segment " << m;
        EXPECT_EQ(noise_state, plain_end);
    }
}

// Where a thread's share of the ESTOI segments starts drawing: the state
// after any number of draws, as that many single draws leave it.
TEST(NoiseGenerator, JumpAheadLandsWhereSingleDrawsDo) {
    for (uint32_t start : {0u, 123u, 65535u}) {
        uint16_t state = static_cast<uint16_t>(start);
        int64_t drawn = 0;
        for (int64_t draws : {0LL, 1LL, 2LL, 1800LL, 65535LL, 65536LL, 65537LL, 1800LL * 4687 + 5}) {
            for (; drawn < draws; drawn++) noise_sample(&state);
            EXPECT_EQ(noise_state_after(static_cast<uint16_t>(start), draws), state) << start << " + " << draws;
        }
    }
}

}  // namespace
