// The per-order table cache: what a transform leaves cached, what the
// release flag and the release operations clear, and the refusal of
// orders too large to represent.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nsp/nsp.h"
#include "nsp/nspstate.h"
#include "nsp/nsptables.h"
#include "nsp_test_util.h"

namespace {

class NspCache : public ::testing::Test {
protected:
    void SetUp() override {
        nspFreeAllFftTbls();
        start_recording();
    }
    void TearDown() override {
        stop_recording();
        nspFreeAllFftTbls();
    }
};

// Every order whose slot of the family is filled.
std::vector<int32_t> filled(void* const* slots) {
    std::vector<int32_t> orders;
    for (int32_t o = 0; o < NSP_ORDER_SLOTS; o++)
        if (slots[o] != nullptr) orders.push_back(o);
    return orders;
}
std::vector<int32_t> filled_radix4() { return filled(reinterpret_cast<void* const*>(nspState.fftTwdTbl)); }
std::vector<int32_t> filled_split() { return filled(reinterpret_cast<void* const*>(nspState.splitTwdTbl)); }
std::vector<int32_t> filled_long() { return filled(reinterpret_cast<void* const*>(nspState.longTwdTbl)); }
std::vector<int32_t> filled_bitrev() { return filled(reinterpret_cast<void* const*>(nspState.bitRevTbl)); }

using Orders = std::vector<int32_t>;

TEST_F(NspCache, StartsEmptyAndKeepsTheTablesOfOneTransform) {
    EXPECT_EQ(filled_radix4(), Orders{});
    EXPECT_EQ(filled_bitrev(), Orders{});
    std::vector<ComplexFloat> x = random_signal(512, 1);
    nspcFft(x.data(), 9, NSP_FFT_FORWARD);
    EXPECT_EQ(filled_radix4(), Orders{9});
    EXPECT_EQ(filled_bitrev(), Orders{9});
    EXPECT_EQ(filled_split(), Orders{});
    EXPECT_EQ(filled_long(), Orders{});
    // Later calls reuse the same tables.
    ComplexFloat* twd = nspState.fftTwdTbl[9];
    int32_t* rev = nspState.bitRevTbl[9];
    nspcFft(x.data(), 9, NSP_FFT_FORWARD);
    EXPECT_EQ(nspState.fftTwdTbl[9], twd);
    EXPECT_EQ(nspState.bitRevTbl[9], rev);
    EXPECT_TRUE(recorded().empty());
}

TEST_F(NspCache, OrdersAboveTenUseOrderTensTableAndTheirLongTable) {
    std::vector<ComplexFloat> x = random_signal(4096, 2);
    nspcFft(x.data(), 12, NSP_FFT_FORWARD);
    EXPECT_EQ(filled_radix4(), Orders{10});
    EXPECT_EQ(filled_long(), Orders{12});
    EXPECT_EQ(filled_bitrev(), Orders{12});
    EXPECT_EQ(filled_split(), Orders{});

    nspcFft(x.data(), 12, NSP_FFT_FORWARD | NSP_FFT_OUT_BITREV);
    EXPECT_EQ(filled_split(), Orders{10});
    EXPECT_EQ(filled_long(), Orders{12});

    // Releasing order 12's radix-4 family takes order 10's radix-4 table
    // and the shared long table with it; the split family keeps its own.
    nspcFft(nullptr, 12, NSP_FFT_FREE_TABLES);
    EXPECT_EQ(filled_radix4(), Orders{});
    EXPECT_EQ(filled_long(), Orders{});
    EXPECT_EQ(filled_bitrev(), Orders{});
    EXPECT_EQ(filled_split(), Orders{10});

    // An order-10 transform rebuilds what it needs.
    std::vector<ComplexFloat> y = random_signal(1024, 3);
    nspcFft(y.data(), 10, NSP_FFT_FORWARD);
    EXPECT_EQ(filled_radix4(), Orders{10});

    // The release flag picks the family: 64 the radix-4 one even with 128.
    nspcFft(x.data(), 12, NSP_FFT_INIT_ONLY | NSP_FFT_OUT_BITREV);
    nspcFft(nullptr, 12, NSP_FFT_FREE_TABLES | NSP_FFT_IN_BITREV | NSP_FFT_OUT_BITREV);
    EXPECT_EQ(filled_radix4(), Orders{});
    EXPECT_EQ(filled_split(), Orders{10});
    nspcFft(nullptr, 12, NSP_FFT_FREE_TABLES | NSP_FFT_OUT_BITREV);
    EXPECT_EQ(filled_split(), Orders{});
    EXPECT_TRUE(recorded().empty());
}

TEST_F(NspCache, InitOnlyBuildsTablesWithoutTouchingTheArray) {
    nspcFft(nullptr, 7, NSP_FFT_INIT_ONLY);
    EXPECT_EQ(filled_radix4(), Orders{7});
    EXPECT_EQ(filled_bitrev(), Orders{7});
    // Tables start on 32-byte boundaries.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nspState.fftTwdTbl[7]) % 32, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nspState.bitRevTbl[7]) % 32, 0u);
    nspcFft(nullptr, 7, NSP_FFT_INIT_ONLY | NSP_FFT_OUT_BITREV | NSP_FFT_IN_BITREV | 3);
    EXPECT_TRUE(recorded().empty());

    std::vector<ComplexFloat> x = random_signal(64, 4), before = x;
    nspcFft(x.data(), 6, NSP_FFT_INIT_ONLY | NSP_FFT_FORWARD);
    EXPECT_TRUE(same_bits(x, before));
}

TEST_F(NspCache, ReleaseOfAnOrderOutsideTheRangeDoesNothing) {
    nspcFft(nullptr, 9, NSP_FFT_INIT_ONLY);
    nspcFft(nullptr, 11, NSP_FFT_INIT_ONLY);
    const NspState before = nspState;
    for (int32_t order : {-1, 32, 1000, INT32_MIN})
        for (int32_t flags : {8, 8 | 64, 8 | 128, 8 | 1})
            nspcFft(nullptr, order, flags);
    EXPECT_EQ(std::memcmp(&before, &nspState, sizeof before), 0);
    EXPECT_TRUE(recorded().empty());
}

TEST_F(NspCache, TablesStayCachedWhenALaterCheckFails) {
    std::vector<ComplexFloat> x = random_signal(32, 5), before = x;
    nspcFft(x.data(), 5, 0);
    ASSERT_EQ(recorded().size(), 1u);
    EXPECT_EQ(recorded()[0].condition, "(flags & 1)==0 && (flags & 2)==0");
    EXPECT_EQ(filled_radix4(), Orders{5});
    EXPECT_EQ(filled_bitrev(), Orders{5});
    EXPECT_TRUE(same_bits(x, before));

    nspcFft(nullptr, 6, NSP_FFT_FORWARD | NSP_FFT_OUT_BITREV);
    ASSERT_EQ(recorded().size(), 2u);
    EXPECT_EQ(recorded()[1].condition, "samps==0");
    EXPECT_EQ(filled_split(), Orders{6});
    EXPECT_EQ(filled_bitrev(), (Orders{5, 6}));
}

TEST_F(NspCache, GettersRefuseOrdersOutsideTheRange) {
    for (int32_t order : {-1, 32, 40}) {
        EXPECT_EQ(nspcGetFftTwdTbl(order), nullptr);
        EXPECT_EQ(nspcGetSplitTwdTbl(order), nullptr);
        EXPECT_EQ(nspcGetLongTwdTbl(order), nullptr);
        EXPECT_EQ(nspGetBitRevTbl(order), nullptr);
        EXPECT_EQ(nspCalcSinTbl(order), nullptr);
    }
    EXPECT_EQ(filled_radix4(), Orders{});
    EXPECT_EQ(filled_bitrev(), Orders{});
    EXPECT_TRUE(recorded().empty());
}

// At order 31 N = 2^31 does not fit a signed 32-bit count, and from order
// 30 on the data's 2N floats do not: such orders are refused as running
// out of memory, after the one release-all and retry, and nothing is
// built for them.
TEST_F(NspCache, OrdersTooLargeToRepresentAreRefusedAsOutOfMemory) {
    for (int32_t order : {30, 31}) {
        nspcFft(nullptr, 9, NSP_FFT_INIT_ONLY);
        recorded().clear();
        ComplexFloat one{1.0f, 2.0f};
        nspcFft(&one, order, NSP_FFT_FORWARD);
        ASSERT_EQ(recorded().size(), 1u) << order;
        EXPECT_EQ(recorded()[0].status, NSP_STS_NO_MEMORY);
        EXPECT_EQ(recorded()[0].condition, "No working Twd memory");
        EXPECT_EQ(recorded()[0].line, 485);
        EXPECT_EQ(one.re, 1.0f);
        EXPECT_EQ(filled_radix4(), Orders{});
        EXPECT_EQ(filled_long(), Orders{});
        EXPECT_EQ(filled_bitrev(), Orders{});
    }
    EXPECT_EQ(nspcGetLongTwdTbl(30), nullptr);
    EXPECT_EQ(nspGetBitRevTbl(31), nullptr);
}

TEST_F(NspCache, ReleaseAllEmptiesEveryFamily) {
    for (int32_t order = 0; order <= 16; order += 4) {
        nspcFft(nullptr, order, NSP_FFT_INIT_ONLY);
        nspcFft(nullptr, order, NSP_FFT_INIT_ONLY | NSP_FFT_OUT_BITREV);
    }
    EXPECT_FALSE(filled_long().empty());
    nspFreeAllFftTbls();
    EXPECT_EQ(filled_radix4(), Orders{});
    EXPECT_EQ(filled_split(), Orders{});
    EXPECT_EQ(filled_long(), Orders{});
    EXPECT_EQ(filled_bitrev(), Orders{});
}

}  // namespace
