// The delay search: the largest signed correlation over 900 delays.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "conditioning/alignment.h"
#include "support.h"

using namespace kelvor;

namespace {

// A degraded buffer as the driver builds it: count + 900 samples, the
// reference delayed by d and scaled by gain, zero elsewhere.
std::vector<int16_t> delayed_copy(const std::vector<int16_t>& ref, int32_t d, int32_t gain = 1) {
    std::vector<int16_t> deg(ref.size() + ALIGN_SHIFTS, 0);
    for (size_t i = 0; i < ref.size() && i + static_cast<size_t>(d) < ref.size(); i++)
        deg[i + static_cast<size_t>(d)] = static_cast<int16_t>(ref[i] * gain);
    return deg;
}

TEST(Alignment, FindsTheDelayOfADelayedCopy) {
    std::vector<int16_t> ref = speechlike(16000, 3);
    for (int32_t d : {0, 1, 137, 640, 899}) {
        std::vector<int16_t> deg = delayed_copy(ref, d);
        EXPECT_EQ(search_alignment(ref.data(), deg.data(), static_cast<int32_t>(ref.size())), d) << d;
    }
}

TEST(Alignment, SilenceAndEmptyInputGiveZero) {
    std::vector<int16_t> zeros(5000 + ALIGN_SHIFTS, 0);
    EXPECT_EQ(search_alignment(zeros.data(), zeros.data(), 5000), 0);
    EXPECT_EQ(search_alignment(zeros.data(), zeros.data(), 0), 0);
}

TEST(Alignment, TiesGoToTheSmallestDelay) {
    // Impulse reference; the degraded signal has equal impulses at 10 and 20.
    std::vector<int16_t> ref(2000, 0);
    ref[100] = 1000;
    std::vector<int16_t> deg(ref.size() + ALIGN_SHIFTS, 0);
    deg[110] = 500;
    deg[120] = 500;
    EXPECT_EQ(search_alignment(ref.data(), deg.data(), 2000), 10);
}

TEST(Alignment, SignedMaximumNotMagnitude) {
    // Inverted polarity: c(d) is the most negative value, not the answer.
    std::vector<int16_t> ref = speechlike(8000, 9);
    std::vector<int16_t> deg = delayed_copy(ref, 200, -1);
    int32_t found = search_alignment(ref.data(), deg.data(), 8000);
    EXPECT_NE(found, 200);
    // Unnormalised: a louder but worse-matching stretch can win.
    std::vector<int16_t> imp(1000, 0);
    imp[0] = 100;
    imp[1] = 100;
    std::vector<int16_t> d2(1000 + ALIGN_SHIFTS, 0);
    d2[5] = 100;
    d2[6] = 100;       // exact copy at delay 5: c = 20000
    d2[300] = 30000;   // a single loud sample at delay 300: c = 3000000
    EXPECT_EQ(search_alignment(imp.data(), d2.data(), 1000), 299);
}

TEST(Alignment, NeverBeyondTheLastCandidate) {
    std::vector<int16_t> ref = speechlike(6000, 4);
    std::vector<int16_t> deg(ref.size() + ALIGN_SHIFTS, 0);
    for (size_t i = 0; i + 950 < ref.size(); i++) deg[i + 950] = ref[i];
    int32_t found = search_alignment(ref.data(), deg.data(), 6000);
    EXPECT_GE(found, 0);
    EXPECT_LT(found, ALIGN_SHIFTS);
}

TEST(Alignment, FullScaleProductsDoNotOverflow) {
    // -32768 * -32768 = 2^30 per term over the whole signal.
    std::vector<int16_t> ref(20000, -32768);
    std::vector<int16_t> deg(20000 + ALIGN_SHIFTS, 0);
    for (size_t i = 0; i < 20000; i++) deg[i] = -32768;
    EXPECT_EQ(search_alignment(ref.data(), deg.data(), 20000), 0);
}

}  // namespace

namespace {

uint32_t next_random(uint32_t* state) {
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

// Every vector kernel this processor has must give the plain search's
// answer; the correlations themselves are exact integers, so any
// disagreement is a fault, not rounding.
TEST(AlignmentKernels, AgreeWithThePlainSearch) {
    uint32_t state = 99;
    std::vector<IsaLevel> kernels;
    for (IsaLevel k : {ISA_SSE2, ISA_AVX2, ISA_AVX512})
        if (k <= isa_supported()) kernels.push_back(k);
    ASSERT_FALSE(kernels.empty());
    // Lengths around the chunk and vector boundaries, and odd ones.
    const int32_t lengths[] = {1, 7, 31, 33, 1023, 1024, 1025, 2048, 4095, 4096, 4097, 9001};
    int trial = 0;
    for (int32_t count : lengths) {
        for (int kind = 0; kind < 4; kind++, trial++) {
            std::vector<int16_t> ref(static_cast<size_t>(count));
            std::vector<int16_t> deg(static_cast<size_t>(count) + ALIGN_SHIFTS);
            int32_t d = static_cast<int32_t>(next_random(&state) % ALIGN_SHIFTS);
            for (size_t i = 0; i < ref.size(); i++) {
                uint32_t u = next_random(&state);
                switch (kind) {
                case 0: ref[i] = static_cast<int16_t>(u & 0xFFFF); break;              // full-range noise
                case 1: ref[i] = (u & 1) ? -32768 : 32767; break;                      // extremes
                case 2: ref[i] = -32768; break;                                        // worst case products
                default: ref[i] = static_cast<int16_t>(static_cast<int32_t>(u % 2001) - 1000); break;
                }
            }
            for (size_t i = 0; i < deg.size(); i++) {
                uint32_t u = next_random(&state);
                if (kind == 2) deg[i] = -32768;
                else if (kind == 3) deg[i] = static_cast<int16_t>(static_cast<int32_t>(u % 201) - 100);
                else deg[i] = static_cast<int16_t>(u & 0xFFFF);
            }
            if (kind == 3) {
                for (size_t i = 0; i < ref.size(); i++) deg[i + static_cast<size_t>(d)] = ref[i];
            }
            int32_t expected = search_alignment_using(ISA_PLAIN, ref.data(), deg.data(), count);
            if (kind == 3 && count > 1000) {
                EXPECT_EQ(expected, d);
            }
            for (IsaLevel k : kernels) {
                EXPECT_EQ(search_alignment_using(k, ref.data(), deg.data(), count), expected)
                    << "kernel " << k << " count " << count << " kind " << kind;
            }
        }
    }
    EXPECT_EQ(trial, 48);
}

TEST(AlignmentKernels, TiesAndEdgeDelaysSurviveTheVectorPath) {
    std::vector<int16_t> ref(5000, 0);
    ref[2500] = 1000;
    std::vector<int16_t> deg(5000 + ALIGN_SHIFTS, 0);
    deg[2500 + 3] = 700;
    deg[2500 + 899] = 700;  // tie between delays 3 and 899
    for (IsaLevel k : kIsaLevels) {
        if (k > isa_supported()) continue;
        EXPECT_EQ(search_alignment_using(k, ref.data(), deg.data(), 5000), 3) << k;
        deg[2500 + 3] = 699;
        EXPECT_EQ(search_alignment_using(k, ref.data(), deg.data(), 5000), 899) << k;
        deg[2500 + 3] = 700;
    }
}

// On several threads each thread forms the sums of its own delays: the
// delay found is the one-thread delay at every level, wherever the best
// delay lies, with a tie across two threads' delays (the smaller wins), on
// noise, and just below and at the length where sharing out starts.
TEST(AlignmentThreads, SharedDelaysFindTheOneThreadDelay) {
    uint32_t state = 5;
    const int32_t cases[][3] = {{8191, 17, -1}, {8192, 880, -1}, {20000, 0, -1}, {20000, 899, -1},
                                {16384, 447, 448}, {16384, 3, 899}, {30001, -1, -1}};  // count, delay, tie
    for (const auto& c : cases) {
        std::vector<int16_t> ref(static_cast<size_t>(c[0]));
        for (int16_t& v : ref) v = static_cast<int16_t>(static_cast<int32_t>(next_random(&state) % 4001) - 2000);
        std::vector<int16_t> deg = delayed_copy(ref, c[1] < 0 ? 0 : c[1]);
        if (c[1] < 0) {
            for (int16_t& v : deg) v = static_cast<int16_t>(next_random(&state) & 0xFFFF);
        } else if (c[2] >= 0) {  // one impulse against two equal echoes
            std::fill(ref.begin(), ref.end(), 0);
            std::fill(deg.begin(), deg.end(), 0);
            ref[100] = 1000;
            deg[100 + c[1]] = deg[100 + c[2]] = 900;
        }
        for (IsaLevel level : kIsaLevels) {
            if (level > isa_supported()) continue;
            ThreadSetting one(1);
            const int32_t alone = search_alignment_using(level, ref.data(), deg.data(), c[0]);
            if (c[1] >= 0) {
                EXPECT_EQ(alone, c[1]) << "level " << level << " count " << c[0];
            }
            for (int32_t threads : kThreadCounts) {
                ThreadSetting shared(threads);
                EXPECT_EQ(search_alignment_using(level, ref.data(), deg.data(), c[0]), alone)
                    << "level " << level << " count " << c[0] << " threads " << threads;
            }
        }
    }
}

}  // namespace

namespace {

// The delay search on doubles fed in blocks: every kernel's sums are the
// plain loop's, and the best delay is the whole-signal search's.
TEST(DelaySearchBlocks, EveryKernelAndBlockGivesThePlainSums) {
    const int32_t n = 5000;
    const int32_t shifts = 1124;
    std::vector<double> x(n), y(n + shifts);
    uint32_t seed = 5;
    for (double& v : x) v = (seed = seed * 1664525u + 1013904223u) / 4294967296.0 - 0.5;
    for (size_t i = 0; i < y.size(); i++) y[i] = i >= 700 && i - 700 < x.size() ? 0.5 * x[i - 700] : 0.0;
    for (size_t i = 0; i < y.size(); i++) y[i] += 1e-3 * ((seed = seed * 1664525u + 1013904223u) / 4294967296.0);
    DelaySearch plain;
    delay_search_start(&plain, shifts);
    {
        IsaLimit limit(ISA_PLAIN);
        delay_search_feed(&plain, x.data(), y.data(), n);
    }
    for (IsaLevel level : {ISA_AVX2, ISA_AVX512}) {
        IsaLimit limit(level);
        for (int32_t block : {1, 999, n}) {
            DelaySearch s;
            delay_search_start(&s, shifts);
            for (int32_t at = 0; at < n; at += block) delay_search_feed(&s, x.data() + at, y.data() + at, std::min(block, n - at));
            for (int32_t d = 0; d < shifts; d++) ASSERT_EQ(s.sums[d], plain.sums[d]) << level << " " << block << " " << d;
        }
    }
    EXPECT_EQ(delay_search_best(&plain), 700);
    EXPECT_EQ(search_alignment_double(x.data(), y.data(), n, shifts), 700);
}

// The whole-signal search at every level and for delay counts that fill
// the vector kernels' groups, leave a tail, or fit none: the delay whose
// plain sum is the first strictly greatest, also when delays in different
// groups tie to the bit.
TEST(DelaySearchDouble, EveryLevelPicksThePlainLoopsBest) {
    const int32_t n = 3001;
    const int32_t most = DELAY_SEARCH_MAX;
    std::vector<double> x(n), noisy(n + most), ties(n + most);
    uint32_t seed = 9;
    for (double& v : x) v = (seed = seed * 1664525u + 1013904223u) / 4294967296.0 - 0.5;
    for (double& v : noisy) v = (seed = seed * 1664525u + 1013904223u) / 4294967296.0 - 0.5;
    // Of period 25: the sums of delays s and s + 25 are the same terms in
    // the same order, so the greatest comes again every 25 delays.
    for (size_t i = 0; i < ties.size(); i++) ties[i] = i < 25 ? noisy[i] : ties[i - 25];
    struct Case {
        const std::vector<double>* y;
        int32_t shifts;
    };
    for (const Case& c : {Case{&noisy, 1}, Case{&noisy, 9}, Case{&noisy, 31}, Case{&noisy, 33}, Case{&noisy, 100},
                          Case{&noisy, most}, Case{&ties, 64}, Case{&ties, most}}) {
        const double* y = c.y->data();
        int32_t best = 0;
        double best_sum = 0.0;
        for (int32_t s = 0; s < c.shifts; s++) {
            double sum = 0.0;
            for (int32_t i = 0; i < n; i++) sum = sum + x[i] * y[i + s];
            if (s == 0 || sum > best_sum) best = s, best_sum = sum;
        }
        if (c.shifts > 25 && c.y == &ties) {
            EXPECT_LT(best, 25);
        }
        for (IsaLevel level : kIsaLevels) {
            IsaLimit limit(level);
            EXPECT_EQ(search_alignment_double(x.data(), y, n, c.shifts), best)
                << "level " << level << " shifts " << c.shifts;
        }
    }
}

}  // namespace
