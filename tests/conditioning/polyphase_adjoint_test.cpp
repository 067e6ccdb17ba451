// The resampler's adjoint filter: the transpose of resampling, so that
// <R x, g> = <x, R' g> for any x at the input rate and g at 10 kHz.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "conditioning/polyphase.h"
#include "conditioning/polyphase_adjoint.h"

using namespace kelvor;

namespace {

TEST(PolyphaseAdjoint, IsTheTransposeOfResamplingAtEveryRatio) {
    std::mt19937 gen(1);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (double rate : {8000.0, 16000.0, 22050.0, 44100.0, 48000.0, 1000.0, 96000.0}) {
        SCOPED_TRACE(rate);
        int32_t up = 0, down = 0;
        ASSERT_EQ(polyphase_ratio(rate, &up, &down), RATE_OK);
        const PolyphaseFilter* f = polyphase_acquire(up, down);
        const PolyphaseFilter* a = polyphase_adjoint_acquire(f);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(polyphase_adjoint_acquire(f), a);  // kept for the next caller
        EXPECT_EQ(a->up, down);
        EXPECT_EQ(a->down, up);

        // x of n samples with zeros around it, g of R x's length likewise.
        const int64_t n = 3000;
        const int64_t m = polyphase_output_length(f, n);
        const int64_t pad = 4 * (f->taps + a->taps) + 8;
        std::vector<double> x(n + 2 * pad, 0.0), g(m + 2 * pad, 0.0);
        for (int64_t i = 0; i < n; i++) x[pad + i] = normal(gen);
        for (int64_t k = 0; k < m; k++) g[pad + k] = normal(gen);
        std::vector<double> rx(m), ag(n);
        std::vector<double> scratch(polyphase_scratch_size(f, static_cast<int32_t>(m)) +
                                    polyphase_scratch_size(a, static_cast<int32_t>(n)));
        const int64_t fx = polyphase_newest(f, 0) - f->taps + 1;
        const int64_t fg = polyphase_newest(a, 0) - a->taps + 1;
        polyphase_run(f, x.data() + pad + fx, fx, 0, static_cast<int32_t>(m), rx.data(), scratch.data());
        polyphase_run(a, g.data() + pad + fg, fg, 0, static_cast<int32_t>(n), ag.data(), scratch.data());
        double left = 0.0, right = 0.0, size = 0.0;
        for (int64_t k = 0; k < m; k++) left += rx[k] * g[pad + k];
        for (int64_t i = 0; i < n; i++) {
            right += x[pad + i] * ag[i];
            size += std::fabs(x[pad + i] * ag[i]);
        }
        EXPECT_NEAR(left, right, 1e-13 * size);
        polyphase_adjoint_release(a);
        polyphase_adjoint_release(a);
        polyphase_release(f);
    }
}

}  // namespace
