// The resampler's coefficient tables: layout, fixed values, gains and the
// frequency response, all computed from the compiled tables.

#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "conditioning/resampler.h"

using namespace kelvor;

namespace {

constexpr int32_t CENTRE = 4115;

struct Anchor {
    int32_t index;  // lower index; 8230 - index holds the same value
    double value;
};

// Fixed values of the double table.
const Anchor ANCHORS[] = {
    {4115, 0.1995321894815},      {4114, 0.1867190630538},
    {4113, 0.1512200795087},      {4112, 0.1010536311461},
    {4111, 0.04715207857625},     {4110, 0.0004677424689927},
    {4109, -0.03080313723513},    {4108, -0.04310023880683},
    {4105, -0.0004677905348367},  {0, 8.106841328403e-05},
    {1, 2.711662673841e-05},      {2, -2.038416271864e-05},
    {3, -0.0001151047398818},     {9, -0.0009744160178824},
};

TEST(ResamplerTaps, BothTablesAreSymmetricAndTheFloatTableIsTheDoubleRounded)
{
    for (int32_t n = 0; n < RESAMPLER_TAPS; ++n) {
        ASSERT_EQ(resampler_taps_double[n], resampler_taps_double[RESAMPLER_TAPS - 1 - n]) << n;
        ASSERT_EQ(resampler_taps_float[n], resampler_taps_float[RESAMPLER_TAPS - 1 - n]) << n;
        ASSERT_EQ(resampler_taps_float[n], static_cast<float>(resampler_taps_double[n])) << n;
        const double d = resampler_taps_double[n];
        ASSERT_LE(std::fabs(static_cast<double>(resampler_taps_float[n]) - d), 6.0e-8 * std::fabs(d)) << n;
    }
    // The end taps are not zero, so an initialiser list shorter than the
    // table (zero-filled at the end) fails the symmetry above.
    EXPECT_NE(resampler_taps_double[0], 0.0);
}

TEST(ResamplerTaps, FixedValuesAtBothSymmetricIndices)
{
    for (const Anchor& a : ANCHORS) {
        const int32_t mirror = RESAMPLER_TAPS - 1 - a.index;
        EXPECT_EQ(resampler_taps_double[a.index], a.value) << a.index;
        EXPECT_EQ(resampler_taps_double[mirror], a.value) << mirror;
        EXPECT_EQ(resampler_taps_float[a.index], static_cast<float>(a.value)) << a.index;
        EXPECT_EQ(resampler_taps_float[mirror], static_cast<float>(a.value)) << mirror;
    }
}

TEST(ResamplerTaps, GainsAndCentre)
{
    double sum = 0.0;
    double magnitudes = 0.0;
    for (int32_t n = 0; n < RESAMPLER_TAPS; ++n) {
        sum += resampler_taps_double[n];
        magnitudes += std::fabs(resampler_taps_double[n]);
        if (n != CENTRE) {
            EXPECT_LT(std::fabs(resampler_taps_double[n]), resampler_taps_double[CENTRE]) << n;
        }
    }
    EXPECT_NEAR(sum, 0.9888016057, 1e-10);
    EXPECT_NEAR(magnitudes, 3.6366, 1e-4);

    // Five times the taps that each polyphase branch reads (h[8230] is
    // never read).
    const double expected[5] = {0.98885, 0.98867, 0.98871, 0.98871, 0.98867};
    for (int32_t p = 0; p < 5; ++p) {
        double phase = 0.0;
        for (int32_t k = 0; k < RESAMPLER_PHASE_TAPS; ++k) {
            phase += resampler_taps_double[p + 5 * k];
        }
        EXPECT_NEAR(5.0 * phase, expected[p], 5e-6) << "phase " << p;
    }
}

// Magnitude response |H(f)| at the 40 kHz rate on a grid of STEPS_PER_HZ
// points per hertz from 0 to 20 kHz, by direct DFT of the taps. For a
// symmetric filter, H(f) = h[c] + 2 sum_k h[c - k] cos(2 pi f k / 40000)
// times a linear phase term. With f = q / STEPS_PER_HZ the phase of every
// term is q k / (40000 STEPS_PER_HZ) of a turn, so it is reduced exactly in
// integers and its cosine read from a table computed with std::cos.
constexpr int32_t STEPS_PER_HZ = 2;
constexpr int32_t TURN = 40000 * STEPS_PER_HZ;
constexpr int32_t POINTS = 20000 * STEPS_PER_HZ + 1;

template <typename Tap>
std::vector<double> magnitude_response(const Tap* taps)
{
    const double pi = std::acos(-1.0);
    std::vector<double> cosine(TURN);
    for (int32_t r = 0; r < TURN; ++r) {
        cosine[r] = std::cos(2.0 * pi * r / TURN);
    }
    std::vector<double> half(CENTRE + 1);  // half[k] = h[c - k]
    for (int32_t k = 0; k <= CENTRE; ++k) {
        half[k] = static_cast<double>(taps[CENTRE - k]);
    }
    std::vector<double> magnitude(POINTS);
    for (int32_t q = 0; q < POINTS; ++q) {
        // Two partial sums (even and odd k) shorten the dependency chain.
        double even = 0.0;
        double odd = 0.0;
        int32_t r = 0;
        for (int32_t k = 1; k + 1 <= CENTRE; k += 2) {
            r += q;
            if (r >= TURN) r -= TURN;
            odd += half[k] * cosine[r];
            r += q;
            if (r >= TURN) r -= TURN;
            even += half[k + 1] * cosine[r];
        }
        static_assert(CENTRE % 2 == 1, "the pairs above leave the last k");
        r += q;
        if (r >= TURN) r -= TURN;
        odd += half[CENTRE] * cosine[r];
        magnitude[q] = std::fabs(half[0] + 2.0 * (odd + even));
    }
    return magnitude;
}

struct Band {
    double low_hz;
    double high_hz;
};

double band_min(const std::vector<double>& a, Band b)
{
    double m = INFINITY;
    for (int32_t q = static_cast<int32_t>(b.low_hz * STEPS_PER_HZ); q <= b.high_hz * STEPS_PER_HZ; ++q) {
        m = std::fmin(m, a[q]);
    }
    return m;
}

double band_max(const std::vector<double>& a, Band b)
{
    double m = 0.0;
    for (int32_t q = static_cast<int32_t>(b.low_hz * STEPS_PER_HZ); q <= b.high_hz * STEPS_PER_HZ; ++q) {
        m = std::fmax(m, a[q]);
    }
    return m;
}

template <typename Tap>
void check_response(const Tap* taps)
{
    const std::vector<double> a = magnitude_response(taps);

    EXPECT_NEAR(a[0], 0.98880, 1e-5);
    EXPECT_GE(band_min(a, {0, 250}), 0.985);
    EXPECT_LE(band_max(a, {0, 250}), 1.023);
    EXPECT_GE(band_min(a, {250, 3985}), 1.0 - 0.0115);
    EXPECT_LE(band_max(a, {250, 3985}), 1.0 + 0.0115);

    // One crossing of 0.5 in the transition band, between 3989 and 3992 Hz.
    int32_t crossings = 0;
    double crossing_hz = 0.0;
    for (int32_t q = 3985 * STEPS_PER_HZ; q < 4000 * STEPS_PER_HZ; ++q) {
        if ((a[q] - 0.5) * (a[q + 1] - 0.5) <= 0.0) {
            ++crossings;
            crossing_hz = static_cast<double>(q) / STEPS_PER_HZ;
        }
    }
    EXPECT_EQ(crossings, 1);
    EXPECT_GE(crossing_hz, 3989.0);
    EXPECT_LT(crossing_hz, 3992.0);

    EXPECT_LE(band_max(a, {4000, 19000}), 1.5e-4);
    EXPECT_LE(band_max(a, {19000, 20000}), 2.9e-4);
}

TEST(ResamplerTaps, ResponseOfTheDoubleTable)
{
    check_response(resampler_taps_double);
}

TEST(ResamplerTaps, ResponseOfTheFloatTable)
{
    check_response(resampler_taps_float);
}

}  // namespace
