// The reference profile's gradient at the level of its segments: against
// central differences of the segments' scores where STOI's clipping is
// active (the kernels are compared with the plain loop through the whole
// chain, tests/api/gradient_test.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "common/geometry.h"
#include "common/lanes.h"
#include "measures/reference.h"
#include "measures/reference_gradient_impl.h"

using namespace kelvor;

namespace {

constexpr int32_t J = BAND_COUNT;
constexpr int32_t N = SEGMENT_LENGTH;
constexpr int32_t FRAMES = N;

typedef plain::Doubles Plain;

// Envelopes of 15 bands by FRAMES frames, band-major, whose reference dips
// to a twentieth in one frame of three, so that the degraded envelope,
// scaled, exceeds the clipping level there.
struct Envelopes {
    std::vector<double> x = std::vector<double>(J * FRAMES);
    std::vector<double> y = std::vector<double>(J * FRAMES);
};

Envelopes envelopes(uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(0.5, 1.5);
    Envelopes e;
    for (int32_t i = 0; i < J * FRAMES; i++) {
        e.x[i] = u(gen) * ((i * 7) % 3 == 0 ? 0.05 : 1.0);
        e.y[i] = u(gen);
    }
    return e;
}

SegmentInput input_of(const Envelopes& e, const std::vector<double>& y) {
    return SegmentInput{e.x.data(), y.data(), FRAMES, 0, 17, reference_noise(), reference_clip()};
}

// The scores of segment 0 (STOI's band sum over 15, ESTOI).
void scores(const Envelopes& e, const std::vector<double>& y, double* out) {
    double correlation[J], band_sum, estoi;
    segment_batch<Plain>(input_of(e, y), SegmentOutput{correlation, &band_sum, &estoi});
    out[0] = band_sum / J;
    out[1] = estoi;
}

TEST(SegmentGradient, MatchesCentralDifferencesWhereClippingIsActive) {
    const Envelopes e = envelopes(3);
    alignas(64) static double g[2][J * N * 8];
    segment_gradient_batch<Plain>(SegmentGradientInput{input_of(e, e.y), 1.0 / J, 1.0},
                                  SegmentGradientOutput{g[0], g[1]});
    // Clipping is active where y s >= x (1 + 10^(15/20)), s = |x| / |y|
    // per band: in many of the reference's dips.
    int32_t clipped = 0;
    for (int32_t j = 0; j < J; j++) {
        double sx = 0.0, sy = 0.0;
        for (int32_t n = 0; n < N; n++) {
            sx += e.x[j * FRAMES + n] * e.x[j * FRAMES + n];
            sy += e.y[j * FRAMES + n] * e.y[j * FRAMES + n];
        }
        for (int32_t n = 0; n < N; n++) {
            const double margin = e.y[j * FRAMES + n] * std::sqrt(sx / sy) - e.x[j * FRAMES + n] * reference_clip();
            clipped += margin >= 0.0;
            EXPECT_GT(std::fabs(margin), 1e-4);
        }
    }
    EXPECT_GE(clipped, 60);
    // Central differences of step 1e-6 (the envelopes are of order 1; no
    // element's branch changes within it, as the margin of every element
    // from its clipping level is checked to exceed the step).
    const double h = 1e-6;
    for (int32_t m = 0; m < 2; m++) {
        double error = 0.0, norm = 0.0;
        for (int32_t j = 0; j < J; j++) {
            for (int32_t n = 0; n < N; n++) {
                std::vector<double> y = e.y;
                double up[2], down[2];
                y[j * FRAMES + n] = e.y[j * FRAMES + n] + h;
                scores(e, y, up);
                y[j * FRAMES + n] = e.y[j * FRAMES + n] - h;
                scores(e, y, down);
                const double fd = (up[m] - down[m]) / (2 * h);
                const double d = g[m][(j * N + n) * 8];
                error += (d - fd) * (d - fd);
                norm += fd * fd;
            }
        }
        EXPECT_LE(std::sqrt(error / norm), 1e-6) << "measure " << m;
    }
}

}  // namespace
