// The resampler's vector kernels against its plain loop: every filter sum
// and every sample must be the same to the last bit, for both coefficient
// tables and every kind of input.

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "conditioning/resampler.h"
#include "support.h"

using namespace kelvor;

namespace {

constexpr int16_t SENTINEL = 0x5A5A;
constexpr int32_t GUARD = 16;

const IsaLevel VECTOR_KERNELS[] = {ISA_SSE2, ISA_AVX2, ISA_AVX512};

const char* kernel_name(IsaLevel kernel)
{
    static const char* const names[] = {"plain", "SSE2", "AVX2", "AVX-512"};
    return names[kernel];
}

// Runs one kernel into a buffer with a guard of sentinels behind the
// output: the 16-bit samples, or the filter sums (which show any difference
// in the arithmetic, where the samples would show one only when it happens
// to move a value across an integer). The input is copied to a vector of
// exactly count samples, so that the sanitizer catches any read outside it.
template <typename Out, typename Tap>
std::vector<Out> run_kernel(IsaLevel kernel, const std::vector<int16_t>& input, const Tap* taps)
{
    const std::vector<int16_t> x(input);
    const int32_t count = static_cast<int32_t>(x.size());
    const int32_t length = resampled_length(count);
    std::vector<Out> y(static_cast<size_t>(length + GUARD), static_cast<Out>(SENTINEL));
    if constexpr (std::is_same<Out, double>::value) {
        resample_sums_using(kernel, x.data(), count, y.data(), taps);
    } else {
        resample_8k_to_10k_using(kernel, x.data(), count, y.data(), taps);
    }
    for (int32_t n = length; n < length + GUARD; ++n) {
        EXPECT_EQ(y[n], static_cast<Out>(SENTINEL)) << kernel_name(kernel) << " wrote past the end, at " << n;
    }
    y.resize(static_cast<size_t>(length));
    return y;
}

// The first place where two outputs differ in their bits, or -1.
template <typename Out>
int32_t first_difference(const std::vector<Out>& a, const std::vector<Out>& b)
{
    for (size_t n = 0; n < a.size(); ++n) {
        if (memcmp(&a[n], &b[n], sizeof(Out)) != 0) {
            return static_cast<int32_t>(n);
        }
    }
    return -1;
}

// Every available vector kernel against the plain loop, with both tables,
// on the filter sums and, unless only the sums are asked for (the plain
// loop is slow, and the sums decide the samples), on the samples.
void expect_kernels_match(const std::vector<int16_t>& x, const std::string& what, bool samples = true)
{
    auto check = [&](const auto* taps, const char* table) {
        const std::vector<double> want_sums = run_kernel<double>(ISA_PLAIN, x, taps);
        const std::vector<int16_t> want =
            samples ? run_kernel<int16_t>(ISA_PLAIN, x, taps) : std::vector<int16_t>();
        for (IsaLevel kernel : VECTOR_KERNELS) {
            if (kernel > isa_supported()) {
                continue;
            }
            const std::vector<double> sums = run_kernel<double>(kernel, x, taps);
            ASSERT_EQ(sums.size(), want_sums.size());
            const int32_t at = first_difference(sums, want_sums);
            EXPECT_EQ(at, -1) << what << ", " << table << " table, " << kernel_name(kernel) << ": sum " << at
                              << " differs (count " << x.size() << ")";
            if (!samples) {
                continue;
            }
            const std::vector<int16_t> got = run_kernel<int16_t>(kernel, x, taps);
            ASSERT_EQ(got.size(), want.size());
            const int32_t n = first_difference(got, want);
            EXPECT_EQ(n, -1) << what << ", " << table << " table, " << kernel_name(kernel) << ": y[" << n << "] is "
                             << (n < 0 ? 0 : got[n]) << ", the plain loop gives " << (n < 0 ? 0 : want[n])
                             << " (count " << x.size() << ")";
        }
    };
    check(resampler_taps_double, "double");
    check(resampler_taps_float, "float");
}

// Uniform random samples over the whole 16-bit range, seeded.
std::vector<int16_t> random_samples(int32_t count, uint32_t seed)
{
    std::vector<int16_t> x(static_cast<size_t>(count));
    for (int16_t& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<int16_t>(seed >> 16);
    }
    return x;
}

// Lengths at every edge of the work: no computed output (up to 823), the
// first ones (824 on), the end of the plain loop's start-up stretch (1645),
// and the ends of the first two chunks of groups (a chunk is 256 groups of
// 4 input samples, starting at group 205). Around the first chunk's end
// every length of a run of 33 ends the input at another place within a
// group and within a vector of groups.
std::vector<int32_t> edge_lengths()
{
    std::vector<int32_t> lengths = {0, 1, 2, 3, 4, 5, 822, 823, 824, 825, 826, 827, 828, 829, 1644, 1645, 1646, 1647,
                                    1648, 1649, 1650};
    const int32_t first_chunk_end = 4 * (205 + 256);
    for (int32_t count = first_chunk_end - 16; count <= first_chunk_end + 16; ++count) {
        lengths.push_back(count);
    }
    const int32_t second_chunk_end = 4 * (205 + 512);
    for (int32_t count = second_chunk_end - 2; count <= second_chunk_end + 2; ++count) {
        lengths.push_back(count);
    }
    return lengths;
}

TEST(ResamplerKernels, RandomInputsOfEveryEdgeLength)
{
    uint32_t seed = 1;
    for (int32_t count : edge_lengths()) {
        expect_kernels_match(random_samples(count, seed++), "random", false);
    }
    expect_kernels_match(random_samples(10007, 77), "random");
    expect_kernels_match(random_samples(30011, 78), "random");
}

TEST(ResamplerKernels, SpeechLikeSignals)
{
    for (int32_t count : {1647, 4321, 12000}) {
        for (double level : {300.0, 60000.0}) {
            expect_kernels_match(speechlike(count, static_cast<uint32_t>(count), level),
                                 "speech-like, level " + std::to_string(level));
        }
    }
}

// Constants from the first sample: the filter's response to the abrupt
// start over the whole start-up stretch, then its steady gain; signed
// zeros arise wherever a zero sample meets a negative tap.
TEST(ResamplerKernels, ConstantsAndSilence)
{
    for (int16_t level : {0, 1, -1, 1000, -1000, 32767, -32768}) {
        expect_kernels_match(std::vector<int16_t>(2000, level), "constant " + std::to_string(level));
    }
}

// Full-scale square waves overshoot the 16-bit range on both sides, so
// the conversion saturates at both ends; the plain loop's samples show
// that both saturations are reached.
TEST(ResamplerKernels, FullScaleSquareWavesSaturateAlike)
{
    for (int32_t period : {8, 40, 331}) {
        std::vector<int16_t> x(4000);
        for (size_t n = 0; n < x.size(); ++n) {
            x[n] = (n / static_cast<size_t>(period / 2)) % 2 == 0 ? 32767 : -32768;
        }
        const std::vector<int16_t> y = run_kernel<int16_t>(ISA_PLAIN, x, resampler_taps_float);
        int32_t high = 0;
        int32_t low = 0;
        for (int16_t v : y) {
            high += v == 32767;
            low += v == -32768;
        }
        if (period == 40) {
            EXPECT_GT(high, 0);
            EXPECT_GT(low, 0);
        }
        expect_kernels_match(x, "square wave, period " + std::to_string(period));
    }
    std::vector<int16_t> extremes = random_samples(3000, 9);
    for (int16_t& v : extremes) {
        v = v < 0 ? -32768 : 32767;
    }
    expect_kernels_match(extremes, "random full-scale");
}

// Impulses at the first samples, at the end of the start-up stretch,
// across the first chunk boundary and at the last samples. Far from an
// impulse every term is a signed zero, and the sums must come out +0.0
// just as the plain loop's do.
TEST(ResamplerKernels, Impulses)
{
    for (int32_t at : {0, 1, 3, 1645, 1844, 2996, 2999}) {
        for (int16_t height : {-32768, 32767}) {
            std::vector<int16_t> x(3000, 0);
            x[static_cast<size_t>(at)] = height;
            expect_kernels_match(x, "impulse " + std::to_string(height) + " at " + std::to_string(at));
        }
    }
}

// Two signals resampled at once, their chunks shared out between threads:
// each signal's samples are those of a call of its own on one thread, at
// every level, with both tables, for lengths without a computed output,
// within the first chunk, at chunk ends and over many chunks; nothing is
// written past either output.
TEST(ResamplerThreads, PairEqualsTwoCallsOnOneThread)
{
    for (IsaLevel level : kIsaLevels) {
        for (int32_t count : {0, 5, 824, 4 * (205 + 256) + 3, 4 * (205 + 512) + 1, 12000, 30011}) {
            if (level > isa_supported() || (level == ISA_PLAIN && count > 12000)) {
                continue;  // the plain loop is slow, and shared out by whole signals anyway
            }
            const std::vector<int16_t> x1 = speechlike(count, static_cast<uint32_t>(count) + 1);
            const std::vector<int16_t> x2 = random_samples(count, static_cast<uint32_t>(count) + 2);
            for (bool double_table : {false, true}) {
                std::vector<int16_t> want1;
                std::vector<int16_t> want2;
                {
                    ThreadSetting one(1);
                    want1 = double_table ? run_kernel<int16_t>(level, x1, resampler_taps_double)
                                         : run_kernel<int16_t>(level, x1, resampler_taps_float);
                    want2 = double_table ? run_kernel<int16_t>(level, x2, resampler_taps_double)
                                         : run_kernel<int16_t>(level, x2, resampler_taps_float);
                }
                for (int32_t threads : {1, 2, 3, 7}) {
                    ThreadSetting shared(threads);
                    std::vector<int16_t> y1(want1.size() + GUARD, SENTINEL);
                    std::vector<int16_t> y2(want1.size() + GUARD, SENTINEL);
                    double seconds[2] = {-1.0, -1.0};
                    resample_pair_8k_to_10k_using(level, x1.data(), x2.data(), count, y1.data(), y2.data(),
                                                  double_table, seconds);
                    want1.resize(y1.size(), SENTINEL);
                    want2.resize(y2.size(), SENTINEL);
                    EXPECT_EQ(first_difference(y1, want1), -1) << kernel_name(level) << " " << count << " x" << threads;
                    EXPECT_EQ(first_difference(y2, want2), -1) << kernel_name(level) << " " << count << " x" << threads;
                    EXPECT_TRUE(seconds[0] >= 0.0 && seconds[1] >= 0.0);
                }
            }
        }
    }
}

}  // namespace
