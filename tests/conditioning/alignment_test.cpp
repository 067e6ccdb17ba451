// The delay search: the largest signed correlation over 900 delays.
#include <gtest/gtest.h>

#include <vector>

#include "conditioning/alignment.h"
#include "support.h"

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
