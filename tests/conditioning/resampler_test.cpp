// The 8 kHz -> 10 kHz resampler, with both coefficient tables.

#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "conditioning/resampler.h"
#include "support.h"

using namespace kelvor;

namespace {

constexpr int16_t SENTINEL = 0x5A5A;
constexpr int32_t GUARD = 16;

// Resamples x into a buffer prefilled with a sentinel, checks that nothing
// past the output length was touched, and returns the output.
template <typename Tap>
std::vector<int16_t> resample(const std::vector<int16_t>& x, const Tap* taps)
{
    const int32_t count = static_cast<int32_t>(x.size());
    const int32_t length = resampled_length(count);
    std::vector<int16_t> y(static_cast<size_t>(length + GUARD), SENTINEL);
    resample_8k_to_10k(x.data(), count, y.data(), taps);
    for (int32_t n = length; n < length + GUARD; ++n) {
        EXPECT_EQ(y[n], SENTINEL) << "written past the end, at " << n;
    }
    y.resize(static_cast<size_t>(length));
    return y;
}

template <typename Check>
void for_both_tables(Check check)
{
    {
        SCOPED_TRACE("double table");
        check(resampler_taps_double);
    }
    {
        SCOPED_TRACE("float table");
        check(resampler_taps_float);
    }
}

// Five times the sum of the taps h[p + 5k] for k = 0..last, added from the
// far end: the gain of branch p over a window of last + 1 input samples.
template <typename Tap>
double branch_gain(const Tap* taps, int32_t p, int32_t last)
{
    double sum = 0.0;
    for (int32_t k = last; k >= 0; --k) {
        sum += static_cast<double>(taps[p + 5 * k]);
    }
    return 5.0 * sum;
}

// The sample a scaled filter output becomes: v - 0.5 truncated toward
// zero, kept within the 16-bit range at both ends.
int32_t sample_of(double v)
{
    const double t = std::trunc(v - 0.5);
    return t < -32768.0 ? -32768 : t > 32767.0 ? 32767 : static_cast<int32_t>(t);
}

std::vector<int16_t> constant(int32_t count, int16_t value)
{
    return std::vector<int16_t>(static_cast<size_t>(count), value);
}

TEST(Resampler, LengthIsFiveQuartersRoundedDown)
{
    EXPECT_EQ(resampled_length(0), 0);
    EXPECT_EQ(resampled_length(1), 1);
    EXPECT_EQ(resampled_length(3), 3);
    EXPECT_EQ(resampled_length(4), 5);
    EXPECT_EQ(resampled_length(823), 1028);
    EXPECT_EQ(resampled_length(824), 1030);
    EXPECT_EQ(resampled_length(2000), 2500);
    // 5 * count overflows 32 bits here, the result does not.
    EXPECT_EQ(resampled_length(INT32_MAX / 5), 536870911);
    EXPECT_EQ(resampled_length(1717986918), 2147483647);
}

TEST(Resampler, ShortInputsGiveOnlyZeros)
{
    for_both_tables([](const auto* taps) {
        EXPECT_TRUE(resample(constant(0, 1000), taps).empty());
        for (int32_t count : {1, 4, 5, 822, 823}) {
            const std::vector<int16_t> y = resample(constant(count, 1000), taps);
            ASSERT_EQ(static_cast<int32_t>(y.size()), resampled_length(count));
            for (size_t n = 0; n < y.size(); ++n) {
                ASSERT_EQ(y[n], 0) << "count " << count << ", y[" << n << "]";
            }
        }
    });
}

TEST(Resampler, EveryOutputIsWrittenAndTheLast1028AreZero)
{
    for_both_tables([](const auto* taps) {
        for (int32_t count : {824, 825, 826, 827, 828, 1645, 1646, 1647, 2000}) {
            const std::vector<int16_t> y = resample(speechlike(count, 3), taps);
            const int32_t length = resampled_length(count);
            ASSERT_EQ(static_cast<int32_t>(y.size()), length);
            for (int32_t n = 0; n < length; ++n) {
                ASSERT_NE(y[n], SENTINEL) << "count " << count << ", y[" << n << "] not written";
            }
            for (int32_t n = length - 1028; n < length; ++n) {
                ASSERT_EQ(y[n], 0) << "count " << count << ", y[" << n << "]";
            }
        }
        // 824 samples are just enough for two computed outputs.
        const std::vector<int16_t> y = resample(constant(824, 1000), taps);
        EXPECT_EQ(y[0], 992);
        EXPECT_EQ(y[1], 1059);
    });
}

TEST(Resampler, SilenceStaysSilent)
{
    for_both_tables([](const auto* taps) {
        const std::vector<int16_t> y = resample(constant(3000, 0), taps);
        for (size_t n = 0; n < y.size(); ++n) {
            ASSERT_EQ(y[n], 0) << n;
        }
    });
}

// A constant input: in the middle each output is the constant times its
// branch gain; the first outputs see only half a window (the signal starts
// abruptly) and show the filter's overshoot. The conversion is not
// symmetric about zero: -1000 does not give the negative of 1000.
TEST(Resampler, ConstantInput)
{
    for_both_tables([](const auto* taps) {
        for (int16_t level : {1000, -1000}) {
            SCOPED_TRACE(level);
            const std::vector<int16_t> y = resample(constant(2000, level), taps);
            ASSERT_EQ(y.size(), 2500u);
            for (int32_t n = 1100; n <= 1109; ++n) {
                EXPECT_EQ(y[n], level > 0 ? 988 : -989) << n;
                const int32_t p = (4 * n + 4115) % 5;
                EXPECT_EQ(y[n], sample_of(level * branch_gain(taps, p, 1645))) << n;
            }
            // y[0] is branch 0 and y[1] branch 4, both with newest sample
            // x[823]: windows of 824 samples.
            EXPECT_EQ(y[0], level > 0 ? 992 : -993);
            EXPECT_EQ(y[1], level > 0 ? 1059 : -1060);
            EXPECT_EQ(y[0], sample_of(level * branch_gain(taps, 0, 823)));
            EXPECT_EQ(y[1], sample_of(level * branch_gain(taps, 4, 823)));
            for (int32_t n = 1472; n < 2500; ++n) {
                ASSERT_EQ(y[n], 0) << n;
            }
        }
    });
}

// Full-scale constants drive the overshoot at the abrupt start beyond the
// 16-bit range; those samples saturate instead of wrapping around.
TEST(Resampler, OvershootSaturatesAtBothEnds)
{
    for_both_tables([](const auto* taps) {
        const std::vector<int16_t> low = resample(constant(3000, -32768), taps);
        EXPECT_EQ(low[1], -32768);
        EXPECT_EQ(low[1], sample_of(-32768.0 * branch_gain(taps, 4, 823)));

        const std::vector<int16_t> high = resample(constant(3000, 32767), taps);
        EXPECT_GT(32767.0 * branch_gain(taps, 4, 823) - 0.5, 32768.0);
        EXPECT_EQ(high[1], 32767);
        for (int32_t n = 0; n < 3750 - 1028; ++n) {
            ASSERT_GT(high[n], 30000) << n;
        }
    });
}

// Output n lies at input position 4n/5: an impulse at x[1000] peaks at
// y[1250], where only the centre tap meets it.
TEST(Resampler, ImpulseIsAlignedWithItsInputPosition)
{
    for_both_tables([](const auto* taps) {
        std::vector<int16_t> x = constant(3000, 0);
        x[1000] = 10000;
        const std::vector<int16_t> y = resample(x, taps);
        int32_t peak = 0;
        for (int32_t n = 1; n < static_cast<int32_t>(y.size()); ++n) {
            if (y[n] > y[peak]) {
                peak = n;
            }
        }
        EXPECT_EQ(peak, 1250);
        EXPECT_EQ(y[1250], 9976);
        EXPECT_EQ(y[1250], sample_of(5.0 * (static_cast<double>(taps[4115]) * 10000.0)));
    });
}

// Every computed sample against the definition at 40 kHz: output n is the
// filtered, zero-stuffed sequence w (w[5j] = x[j]) at position 4n + 4115,
// i.e. the sum over taps i = 0..8229 of h[i] w[4n + 4115 - i], added in
// ascending i. Inputs at full scale also exercise the saturation.
TEST(Resampler, MatchesTheFilterDefinitionAt40kHz)
{
    for_both_tables([](const auto* taps) {
        for (int32_t count : {824, 827, 1646, 2600}) {
            for (double level : {8000.0, 60000.0}) {
                const std::vector<int16_t> x = speechlike(count, static_cast<uint32_t>(count), level);
                const std::vector<int16_t> y = resample(x, taps);
                const int32_t computed = static_cast<int32_t>(y.size()) - 1028;
                for (int32_t n = 0; n < computed; ++n) {
                    const int32_t u = 4 * n + 4115;
                    double s = 0.0;
                    for (int32_t i = 0; i < RESAMPLER_TAPS - 1; ++i) {
                        const int32_t w = u - i;
                        if (w >= 0 && w % 5 == 0 && w / 5 < count) {
                            s += static_cast<double>(taps[i]) * static_cast<double>(x[w / 5]);
                        }
                    }
                    ASSERT_EQ(y[n], sample_of(5.0 * s)) << "count " << count << ", level " << level << ", y["
                                                        << n << "]";
                }
            }
        }
    });
}

}  // namespace
