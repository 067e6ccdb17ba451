// kelvor_score_gradient: the gradient against central differences of
// kelvor_score, the scores' bits, the options it honours and refuses, and
// its statuses beside kelvor_score's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "kelvor/stoi.h"
#include "support.h"

namespace {

enum Signal { SPEECH, NOISE };

struct Pair {
    std::vector<double> ref;
    std::vector<double> deg;
};

// `seconds` at `rate`: a speech-like reference (harmonics of a gliding
// pitch under a syllable envelope with pauses, which silent-frame removal
// drops) or white noise, and a degraded copy: attenuated, a little
// delayed, with noise of its own, loud enough that STOI's clipping is
// active in many bands and frames.
Pair make_pair(Signal kind, int rate, double seconds, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const size_t n = static_cast<size_t>(seconds * rate);
    Pair p{std::vector<double>(n), std::vector<double>(n)};
    double phase = 0.0;
    for (size_t i = 0; i < n; i++) {
        const double t = static_cast<double>(i) / rate;
        if (kind == NOISE) {
            p.ref[i] = 0.1 * normal(gen);
            continue;
        }
        phase += 2 * M_PI * (140.0 + 30.0 * std::sin(2 * M_PI * 0.9 * t)) / rate;
        const double envelope = std::fmax(0.0, std::sin(2 * M_PI * 2.3 * t));
        double v = 0.0;
        for (int h = 1; h <= 8; h++) v += std::sin(h * phase) / h;
        p.ref[i] = 0.2 * envelope * v + 0.002 * normal(gen);
    }
    const size_t lag = static_cast<size_t>(rate / 1000);
    for (size_t i = 0; i < n; i++) p.deg[i] = 0.6 * (i >= lag ? p.ref[i - lag] : 0.0) + 0.08 * normal(gen);
    return p;
}

double score_of(const Pair& p, const std::vector<double>& deg, int rate, int measure, const kelvor_options* o) {
    kelvor_scores s{};
    EXPECT_EQ(kelvor_score(p.ref.data(), static_cast<int64_t>(p.ref.size()), deg.data(),
                           static_cast<int64_t>(deg.size()), rate, o, &s),
              KELVOR_OK);
    return measure == 0 ? s.stoi : s.estoi;
}

// The gradient against central differences of kelvor_score, one row per
// rate, signal and measure, ||g - g_fd|| / ||g_fd|| over the points.
//
// Points: 32 sample indices drawn at random (seeded) over the whole
// signal; those in dropped silent frames have a gradient and a difference
// of exactly 0. Step: h = 1e-4 times the degraded signal's RMS, which
// balances the differences' truncation error (h^2 f''') against rounding
// (2^-52 |f| / h): each entry's error stays near 1e-9 of the gradient's
// size. The silent frames, and so every frame and band edge, depend on the
// reference alone, so no silence boundary can move; a clipping branch that
// changed within the step would put a kink there, which shows as the
// one-sided differences (f(y + h) - f(y)) / h and (f(y) - f(y - h)) / h
// parting by far more than a smooth function's h f''. Every point is
// checked for that (within 1e-3 of the gradient's scale), so none counts
// across a kink.
TEST(Gradient, MatchesCentralDifferencesAtEveryRateOnSpeechAndNoise) {
    const int rates[] = {8000, 16000, 48000};
    const Signal signals[] = {SPEECH, NOISE};
    const char* names[] = {"speech", "noise"};
    std::printf("rate   signal  measure  rel.error  points\n");
    for (int rate : rates) {
        for (Signal kind : signals) {
            const Pair p = make_pair(kind, rate, 1.2, 11 + rate);
            const int64_t n = static_cast<int64_t>(p.deg.size());
            std::vector<double> grad[2] = {std::vector<double>(n), std::vector<double>(n)};
            kelvor_scores s{};
            ASSERT_EQ(kelvor_score_gradient(p.ref.data(), n, p.deg.data(), n, rate, nullptr, &s, grad[0].data(),
                                            grad[1].data()),
                      KELVOR_OK);
            double power = 0.0;
            for (double v : p.deg) power += v * v;
            const double h = 1e-4 * std::sqrt(power / n);
            std::mt19937 gen(rate + kind);
            std::uniform_int_distribution<int64_t> pick(0, n - 1);
            for (int measure = 0; measure < 2; measure++) {
                const double f0 = measure == 0 ? s.stoi : s.estoi;
                double scale = 0.0;
                for (double v : grad[measure]) scale = std::fmax(scale, std::fabs(v));
                double error = 0.0;
                double norm = 0.0;
                int nonzero = 0;
                for (int k = 0; k < 32; k++) {
                    const int64_t i = pick(gen);
                    std::vector<double> y = p.deg;
                    y[i] = p.deg[i] + h;
                    const double up = score_of(p, y, rate, measure, nullptr);
                    y[i] = p.deg[i] - h;
                    const double down = score_of(p, y, rate, measure, nullptr);
                    const double kink = std::fabs((up - f0) / h - (f0 - down) / h);
                    ASSERT_LE(kink, 1e-3 * scale) << "a branch changes within the step at sample " << i;
                    const double fd = (up - down) / (2 * h);
                    error += (grad[measure][i] - fd) * (grad[measure][i] - fd);
                    norm += fd * fd;
                    nonzero += fd != 0.0;
                }
                const double relative = std::sqrt(error / norm);
                std::printf("%-6d %-7s %-8s %.2e   %d of 32 non-zero\n", rate, names[kind], measure == 0 ? "STOI" : "ESTOI",
                            relative, nonzero);
                EXPECT_GE(nonzero, 8);
                EXPECT_LE(relative, 1e-6) << rate << " Hz, " << names[kind] << ", measure " << measure;
            }
        }
    }
}

// The scores are kelvor_score's bits, member for member, at every
// instruction-set level, whichever gradients are asked for, for pairs of
// unequal lengths, a shift, 10 kHz and 44.1 kHz, and inputs so quiet that
// they are scaled; the gradient is the same bits at every level.
TEST(Gradient, ScoresAreKelvorScoresBitsAndLevelsAgree) {
    struct Case {
        int rate;
        int64_t ref_count;
        int64_t deg_count;
        int shift;
        double level;
    };
    const Case cases[] = {{16000, 24000, 24000, 0, 1.0},   {10000, 15000, 12000, 37, 1.0},
                          {44100, 50000, 66150, 0, 1.0},   {8000, 12000, 12000, 0, 1e-14},
                          {48000, 57600, 57600, 5000, 1.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        Pair p = make_pair(SPEECH, c.rate, 1.5, 3);
        p.ref.resize(static_cast<size_t>(c.ref_count));
        p.deg.resize(static_cast<size_t>(c.deg_count));
        for (double& v : p.deg) v *= c.level;
        kelvor_options o{};
        o.shift = c.shift;
        o.unequal = KELVOR_UNEQUAL_PAD;
        kelvor_scores expected{};
        ASSERT_EQ(kelvor_score(p.ref.data(), c.ref_count, p.deg.data(), c.deg_count, c.rate, &o, &expected), KELVOR_OK);
        std::vector<double> first[2];
        for (kelvor::IsaLevel level : kIsaLevels) {
            IsaLimit limit(level);
            for (int wanted = 0; wanted < 4; wanted++) {
                std::vector<double> g[2] = {std::vector<double>(c.deg_count, NAN), std::vector<double>(c.deg_count, NAN)};
                kelvor_scores s{};
                ASSERT_EQ(kelvor_score_gradient(p.ref.data(), c.ref_count, p.deg.data(), c.deg_count, c.rate, &o, &s,
                                                wanted & 1 ? g[0].data() : nullptr, wanted & 2 ? g[1].data() : nullptr),
                          KELVOR_OK);
                EXPECT_TRUE(same_bits(s, expected));
                for (int m = 0; m < 2; m++) {
                    if (!(wanted & (1 << m))) {
                        EXPECT_TRUE(std::isnan(g[m][0]));  // not asked for, not written
                        continue;
                    }
                    if (first[m].empty()) first[m] = g[m];
                    EXPECT_TRUE(same_bits(g[m], first[m])) << "level " << level << ", measure " << m;
                }
            }
        }
        // The quiet pair's gradient is the loud one's, scaled back.
        if (c.level != 1.0) {
            for (double& v : p.deg) v /= c.level;
            std::vector<double> loud(c.deg_count);
            kelvor_scores s{};
            ASSERT_EQ(kelvor_score_gradient(p.ref.data(), c.ref_count, p.deg.data(), c.deg_count, c.rate, &o, &s,
                                            loud.data(), nullptr),
                      KELVOR_OK);
            for (size_t i = 0; i < loud.size(); i += 97) EXPECT_NEAR(first[0][i] * c.level, loud[i], 1e-9 * std::fabs(loud[i]) + 1e-12);
        }
    }
}

// A shift drops the first samples (gradient 0) and scores the rest as if
// they were the whole degraded signal; trimming drops the last ones.
TEST(Gradient, ShiftedOutSamplesGetZeroAndTheRestAreTheUnshiftedGradient) {
    const int rate = 16000;
    const int shift = 1500;
    const Pair p = make_pair(SPEECH, rate, 1.5, 5);
    const int64_t n = static_cast<int64_t>(p.ref.size());
    kelvor_options o{};
    o.shift = shift;
    std::vector<double> shifted(n, NAN);
    std::vector<double> plain(n - shift);
    kelvor_scores a{}, b{};
    kelvor_options pad{};
    pad.unequal = KELVOR_UNEQUAL_PAD;
    ASSERT_EQ(kelvor_score_gradient(p.ref.data(), n, p.deg.data(), n, rate, &o, &a, nullptr, shifted.data()), KELVOR_OK);
    ASSERT_EQ(kelvor_score_gradient(p.ref.data(), n, p.deg.data() + shift, n - shift, rate, &pad, &b, nullptr,
                                    plain.data()),
              KELVOR_OK);
    EXPECT_EQ(a.estoi, b.estoi);
    for (int64_t i = 0; i < shift; i++) ASSERT_EQ(shifted[i], 0.0) << i;
    EXPECT_TRUE(same_bits(std::vector<double>(shifted.begin() + shift, shifted.end()), plain));

    // Samples past a trimmed length are no input either: 0, and the rest
    // is the gradient of the pair cut to the shorter length.
    kelvor_options trim{};
    trim.unequal = KELVOR_UNEQUAL_TRIM;
    std::vector<double> trimmed(n, NAN);
    std::vector<double> cut(n - shift);
    ASSERT_EQ(kelvor_score_gradient(p.ref.data(), n - shift, p.deg.data(), n, rate, &trim, &a, nullptr, trimmed.data()),
              KELVOR_OK);
    ASSERT_EQ(kelvor_score_gradient(p.ref.data(), n - shift, p.deg.data(), n - shift, rate, nullptr, &b, nullptr,
                                    cut.data()),
              KELVOR_OK);
    EXPECT_EQ(a.estoi, b.estoi);
    for (int64_t i = n - shift; i < n; i++) ASSERT_EQ(trimmed[i], 0.0) << i;
    EXPECT_TRUE(same_bits(std::vector<double>(trimmed.begin(), trimmed.begin() + (n - shift)), cut));
}

// A degraded signal with a stretch of digital silence: its band envelopes
// are zero there, where the rule gives 0; nothing is NaN, and an all-zero
// degraded signal has a gradient of zeros.
TEST(Gradient, ZeroEnvelopesContributeZeroAndNothingIsNaN) {
    const int rate = 10000;
    Pair p = make_pair(NOISE, rate, 1.5, 9);
    const int64_t n = static_cast<int64_t>(p.ref.size());
    for (int64_t i = 4000; i < 9000; i++) p.deg[i] = 0.0;
    std::vector<double> g[2] = {std::vector<double>(n), std::vector<double>(n)};
    kelvor_scores s{};
    ASSERT_EQ(kelvor_score_gradient(p.ref.data(), n, p.deg.data(), n, rate, nullptr, &s, g[0].data(), g[1].data()),
              KELVOR_OK);
    for (int m = 0; m < 2; m++) {
        for (int64_t i = 0; i < n; i++) ASSERT_TRUE(std::isfinite(g[m][i])) << i;
        // Frames (and the rebuilt frames around them) that lie wholly in
        // the silence see only zero envelopes.
        for (int64_t i = 4000 + 512; i < 9000 - 512; i++) ASSERT_EQ(g[m][i], 0.0) << i;
        EXPECT_NE(g[m][1000], 0.0);
    }
    const std::vector<double> silence(n, 0.0);
    ASSERT_EQ(kelvor_score_gradient(p.ref.data(), n, silence.data(), n, rate, nullptr, &s, g[0].data(), g[1].data()),
              KELVOR_OK);
    for (int m = 0; m < 2; m++) {
        for (double v : g[m]) ASSERT_EQ(v, 0.0);
    }
}

// Align and the tool profile are refused; every other check gives
// kelvor_score's status; a pair too long for the gradient is refused
// before anything is read; a failure writes nothing.
TEST(Gradient, RefusalsAndStatusesAreKelvorScores) {
    const Pair p = make_pair(SPEECH, 8000, 1.0, 4);
    const int64_t n = static_cast<int64_t>(p.ref.size());
    const std::vector<double> zeros(n, 0.0);
    std::vector<double> bad = p.deg;
    bad[100] = NAN;
    struct Case {
        const double* ref;
        int64_t ref_count;
        const double* deg;
        int64_t deg_count;
        double rate;
        kelvor_options o;
        int expected;  // 0: kelvor_score's status
    };
    kelvor_options align{}, tool{}, reserved{}, shift{}, both{}, pad{}, no_rule{};
    pad.unequal = KELVOR_UNEQUAL_PAD;
    no_rule.unequal = KELVOR_UNEQUAL_TRIM + 1;
    align.align = 1;
    tool.profile = KELVOR_PROFILE_TOOL;
    reserved.reserved[3] = 1;
    shift.shift = 901;
    both.align = 1;
    both.shift = 3;
    const int64_t too_long = KELVOR_MAX_SAMPLES_GRADIENT + 1;
    const Case cases[] = {
        {p.ref.data(), n, p.deg.data(), n, 8000, align, KELVOR_ERR_NO_GRADIENT},
        {p.ref.data(), n, p.deg.data(), n, 8000, both, KELVOR_ERR_NO_GRADIENT},
        {p.ref.data(), n, p.deg.data(), n, 8000, tool, KELVOR_ERR_PROFILE},
        {p.ref.data(), too_long, p.deg.data(), n, 10000, pad, KELVOR_ERR_TOO_LONG},
        {p.ref.data(), n, p.deg.data(), too_long * 4 / 5 + 1, 8000, pad, KELVOR_ERR_TOO_LONG},
        {p.ref.data(), n, p.deg.data(), n - 1, 8000, {}, 0},
        {p.ref.data(), n, p.deg.data(), n, 8000, no_rule, 0},
        {p.ref.data(), n, p.deg.data(), n, 8000, reserved, 0},
        {p.ref.data(), n, p.deg.data(), n, 8000, shift, 0},
        {p.ref.data(), n, p.deg.data(), n, 12345, {}, 0},
        {p.ref.data(), n, p.deg.data(), n, 8000.5, {}, 0},
        {p.ref.data(), 0, p.deg.data(), n, 8000, {}, 0},
        {p.ref.data(), 2000, p.deg.data(), 2000, 8000, {}, 0},
        {zeros.data(), n, p.deg.data(), n, 8000, {}, 0},
        {p.ref.data(), n, bad.data(), n, 8000, {}, 0},
        {nullptr, n, p.deg.data(), n, 8000, {}, 0},
        {p.ref.data(), -1, p.deg.data(), n, 8000, {}, 0},
    };
    for (const Case& c : cases) {
        int expected = c.expected;
        if (expected == 0) {
            kelvor_scores s{};
            expected = kelvor_score(c.ref, c.ref_count, c.deg, c.deg_count, c.rate, &c.o, &s);
            ASSERT_NE(expected, KELVOR_OK);
        }
        kelvor_scores s{};
        s.stoi = 7.0;
        std::vector<double> g(n, 7.0);
        EXPECT_EQ(kelvor_score_gradient(c.ref, c.ref_count, c.deg, c.deg_count, c.rate, &c.o, &s, g.data(), g.data()),
                  expected)
            << kelvor_status_name(expected);
        EXPECT_EQ(s.stoi, 7.0);
        EXPECT_EQ(g[0], 7.0);
        EXPECT_EQ(g[n - 1], 7.0);
    }
    std::vector<double> g(n);
    EXPECT_EQ(kelvor_score_gradient(p.ref.data(), n, p.deg.data(), n, 8000, nullptr, nullptr, g.data(), nullptr),
              KELVOR_ERR_BAD_ARGUMENT);
}

}  // namespace
