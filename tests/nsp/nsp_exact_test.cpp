// Results of the transform and its tables that are exact to the bit.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "nsp/nsp.h"
#include "nsp/nspkernels.h"
#include "nsp/nspstate.h"
#include "nsp/nsptables.h"
#include "nsp_test_util.h"

namespace {

// ------------------------------------------------------------------
// A plain-loop model of the natural-order-output transform, written from
// its description rather than from the library's unrolled passes: the
// permutation by reversing index bits, twiddles w^k from a sine table
// by the octant rule, one generic radix-4 butterfly for every pass, every
// butterfly in double with one rounding per stored value.

std::vector<float> model_sines(int32_t n) {
    const int32_t q = n / 4;
    const double step = 6.283185307179586 / n;
    std::vector<float> s(static_cast<size_t>(q) + 1);
    for (int32_t i = 0; i <= q; i++)
        s[i] = static_cast<float>(i <= n / 8 ? std::sin(i * step) : std::cos((q - i) * step));
    return s;
}

// w^k (conjugated when !fwd) for 0 <= k <= 3N/4.
void model_twiddle(const std::vector<float>& s, int32_t n, int32_t k, bool fwd, double* wr,
                   double* wi) {
    const int32_t q = n / 4;
    float re, im;
    if (k <= q) {
        re = s[q - k];
        im = -s[k];
    } else if (k <= n / 2) {
        re = -s[k - q];
        im = -s[n / 2 - k];
    } else {
        re = -s[3 * n / 4 - k];
        im = s[k - n / 2];
    }
    *wr = re;
    *wi = fwd ? im : -im;
}

void model_transform(std::vector<ComplexFloat>& x, int32_t order, bool fwd) {
    const int32_t n = int32_t{1} << order;
    std::vector<ComplexFloat> p(x.size());
    for (int32_t i = 0; i < n; i++) p[i] = x[reverse_bits(i, order)];
    x = p;
    const std::vector<float> s = model_sines(n);
    // (re, im) times -i (forward) or +i.
    auto turn = [fwd](double re, double im, double* tr, double* ti) {
        *tr = fwd ? im : -im;
        *ti = fwd ? -re : re;
    };
    auto twiddled = [&](const ComplexFloat& v, int32_t k, double* r, double* i) {
        if (k == 0) {
            *r = v.re;
            *i = v.im;
            return;
        }
        double wr, wi;
        model_twiddle(s, n, k, fwd, &wr, &wi);
        *r = double{v.re} * wr - double{v.im} * wi;
        *i = double{v.re} * wi + double{v.im} * wr;
    };
    std::vector<int32_t> lengths{4};
    const bool odd = order % 2 == 1;
    if (odd && n >= 8) lengths.push_back(8);
    for (int32_t len = odd ? 32 : 16; len <= n; len *= 4) lengths.push_back(len);
    for (int32_t len : lengths) {
        if (len == 8) {
            for (int32_t g = 0; g < n; g += 8) {
                for (int32_t k = 0; k < 4; k++) {
                    double tr, ti;
                    twiddled(x[g + k + 4], k * n / 8, &tr, &ti);
                    const double ar = x[g + k].re, ai = x[g + k].im;
                    x[g + k] = ComplexFloat{static_cast<float>(ar + tr), static_cast<float>(ai + ti)};
                    x[g + k + 4] = ComplexFloat{static_cast<float>(ar - tr), static_cast<float>(ai - ti)};
                }
            }
            continue;
        }
        const int32_t m = len / 4;
        for (int32_t g = 0; g < n; g += len) {
            for (int32_t k = 0; k < m; k++) {
                ComplexFloat* v = &x[g + k];
                const double ar = v[0].re, ai = v[0].im;
                double br, bi, cr, ci, dr, di;
                twiddled(v[m], 2 * k * (n / len), &br, &bi);
                twiddled(v[2 * m], k * (n / len), &cr, &ci);
                twiddled(v[3 * m], 3 * k * (n / len), &dr, &di);
                double tr, ti;
                turn(cr - dr, ci - di, &tr, &ti);
                const double apbr = ar + br, apbi = ai + bi, ambr = ar - br, ambi = ai - bi;
                const double cpdr = cr + dr, cpdi = ci + di;
                v[0] = ComplexFloat{static_cast<float>(apbr + cpdr), static_cast<float>(apbi + cpdi)};
                v[m] = ComplexFloat{static_cast<float>(ambr + tr), static_cast<float>(ambi + ti)};
                v[2 * m] = ComplexFloat{static_cast<float>(apbr - cpdr), static_cast<float>(apbi - cpdi)};
                v[3 * m] = ComplexFloat{static_cast<float>(ambr - tr), static_cast<float>(ambi - ti)};
            }
        }
    }
}

// Equal as values: a quarter turn applied as a component swap and the
// same turn as a product with (0, -1) differ at most in the sign of a zero.
void expect_same_values(const std::vector<ComplexFloat>& got, const std::vector<ComplexFloat>& want,
                        const char* what, int32_t order) {
    int32_t mismatches = 0;
    for (size_t i = 0; i < got.size(); i++) {
        if (got[i].re != want[i].re || got[i].im != want[i].im) {
            if (++mismatches <= 3)
                ADD_FAILURE() << what << " order " << order << " index " << i << ": (" << got[i].re
                              << ", " << got[i].im << ") != (" << want[i].re << ", " << want[i].im << ")";
        }
    }
    EXPECT_EQ(mismatches, 0) << what << " order " << order;
}

TEST(NspFftExact, NaturalOrderTransformMatchesPlainModelBitForBit) {
    for (int32_t order = 2; order <= 10; order++) {
        for (uint32_t seed = 0; seed < 3; seed++) {
            const std::vector<ComplexFloat> x = random_signal(int32_t{1} << order, 40u + seed);
            std::vector<ComplexFloat> got = x, want = x;
            nspcFft(got.data(), order, NSP_FFT_FORWARD);
            model_transform(want, order, true);
            expect_same_values(got, want, "forward", order);

            got = x;
            want = x;
            nspcFft(got.data(), order, NSP_FFT_INVERSE | NSP_FFT_NO_SCALE);
            model_transform(want, order, false);
            expect_same_values(got, want, "inverse", order);
        }
    }
}

// ------------------------------------------------------------------

TEST(NspFftExact, OrdersZeroOneAndTwo) {
    for (int32_t flags : {1, 2, 33, 65, 129}) {
        ComplexFloat one[1] = {{0.3f, -7.5f}};
        nspcFft(one, 0, flags);
        EXPECT_EQ(one[0].re, 0.3f);
        EXPECT_EQ(one[0].im, -7.5f);
    }
    EXPECT_NE(nspState.bitRevTbl[0], nullptr);

    for (int32_t flags : {1, 2, 18, 33, 65, 129, 130}) {
        ComplexFloat two[2] = {{1.5f, 2.0f}, {0.25f, -4.0f}};
        nspcFft(two, 1, flags);
        const float h = (flags & NSP_FFT_INVERSE) && !(flags & NSP_FFT_NO_SCALE) ? 0.5f : 1.0f;
        EXPECT_EQ(two[0].re, 1.75f * h) << flags;
        EXPECT_EQ(two[0].im, -2.0f * h) << flags;
        EXPECT_EQ(two[1].re, 1.25f * h) << flags;
        EXPECT_EQ(two[1].im, 6.0f * h) << flags;
    }

    // [x0+x1+x2+x3, x0-i*x1-x2+i*x3, x0-x1+x2-x3, x0+i*x1-x2-i*x3]
    const ComplexFloat x[4] = {{1, 2}, {3, -1}, {-2, 5}, {0.5f, 4}};
    ComplexFloat f[4] = {x[0], x[1], x[2], x[3]};
    nspcFft(f, 2, NSP_FFT_FORWARD);
    const float want[4][2] = {{2.5f, 10}, {1 + -1 + 2 - 4, 2 - 3 - 5 + 0.5f},
                              {1 - 3 - 2 - 0.5f, 2 + 1 + 5 - 4}, {1 + 1 + 2 + 4, 2 + 3 - 5 - 0.5f}};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(f[k].re, want[k][0]) << k;
        EXPECT_EQ(f[k].im, want[k][1]) << k;
    }
    // Bit-reversed output of the same: X0, X2, X1, X3.
    ComplexFloat g[4] = {x[0], x[1], x[2], x[3]};
    nspcFft(g, 2, NSP_FFT_FORWARD | NSP_FFT_OUT_BITREV);
    const int order_of[4] = {0, 2, 1, 3};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(g[k].re, want[order_of[k]][0]) << k;
        EXPECT_EQ(g[k].im, want[order_of[k]][1]) << k;
    }
}

TEST(NspFftExact, ImpulseAtOneGivesThePowersOfW) {
    const float c = static_cast<float>(std::sin(3.141592653589793 / 4));
    ComplexFloat x[8] = {};
    x[1].re = 1.0f;
    nspcFft(x, 3, NSP_FFT_FORWARD);
    const float want[8][2] = {{1, 0}, {c, -c}, {0, -1}, {-c, -c}, {-1, 0}, {-c, c}, {0, 1}, {c, c}};
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ(x[k].re, want[k][0]) << k;
        EXPECT_EQ(x[k].im, want[k][1]) << k;
    }
    // The bit-reversed-output path forms eighth turns with its constant
    // 0.707107 (0x3F3504F7), four units in the last place above c.
    EXPECT_EQ(float_bits(NSP_SPLIT_SQRT_HALF), 0x3F3504F7u);
    EXPECT_EQ(float_bits(NSP_SPLIT_SQRT_HALF) - float_bits(c), 4u);
    ComplexFloat y[8] = {};
    y[1].re = 1.0f;
    nspcFft(y, 3, NSP_FFT_FORWARD | NSP_FFT_OUT_BITREV);
    EXPECT_EQ(y[4].re, NSP_SPLIT_SQRT_HALF);  // X1
    EXPECT_EQ(y[4].im, -NSP_SPLIT_SQRT_HALF);
    EXPECT_EQ(y[2].re, 0.0f);  // X2 needs no constant
    EXPECT_EQ(y[2].im, -1.0f);
}

TEST(NspFftExact, ConstantInputGivesExactlyNAtZero) {
    for (int32_t order = 0; order <= 10; order++) {
        const int32_t n = int32_t{1} << order;
        std::vector<ComplexFloat> x(static_cast<size_t>(n), ComplexFloat{1.0f, 0.0f});
        nspcFft(x.data(), order, NSP_FFT_FORWARD);
        EXPECT_EQ(x[0].re, static_cast<float>(n)) << order;
        EXPECT_EQ(x[0].im, 0.0f) << order;
        for (int32_t k = 1; k < n; k++) {
            ASSERT_EQ(x[k].re, 0.0f) << order << " " << k;
            ASSERT_EQ(x[k].im, 0.0f) << order << " " << k;
        }
    }
}

TEST(NspFftExact, FlagVariantsThatRunTheSameKernelAgreeBitForBit) {
    for (int32_t order : {2, 3, 9, 10, 11, 14, 15}) {
        const int32_t n = int32_t{1} << order;
        const std::vector<ComplexFloat> x = random_signal(n, 300u + static_cast<uint32_t>(order));
        std::vector<ComplexFloat> natural = x, noflag = x, prerev(x.size());
        for (int32_t i = 0; i < n; i++) prerev[i] = x[reverse_bits(i, order)];
        nspcFft(natural.data(), order, NSP_FFT_FORWARD);
        nspcFft(noflag.data(), order, NSP_FFT_FORWARD | NSP_FFT_NO_BITREV);
        nspcFft(prerev.data(), order, NSP_FFT_FORWARD | NSP_FFT_IN_BITREV);
        EXPECT_TRUE(same_bits(natural, noflag)) << order;
        EXPECT_TRUE(same_bits(natural, prerev)) << order;
    }
}

// ------------------------------------------------------------ tables

TEST(NspTables, OrderTwoRadix4Entries) {
    nspFreeAllFftTbls();
    const ComplexFloat* t = nspcGetFftTwdTbl(2);
    ASSERT_NE(t, nullptr);
    const float want[6][2] = {{1, -0.0f}, {1, -0.0f}, {1, -0.0f}, {0, -1}, {-1, -0.0f}, {-0.0f, 1}};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(float_bits(t[i].re), float_bits(want[i][0])) << i;
        EXPECT_EQ(float_bits(t[i].im), float_bits(want[i][1])) << i;
    }
}

TEST(NspTables, OrderThreeSinesAndEntries) {
    nspFreeAllFftTbls();
    float* s = nspCalcSinTbl(3);
    ASSERT_NE(s, nullptr);
    const float c = static_cast<float>(std::sin(3.141592653589793 / 4));
    EXPECT_EQ(s[0], 0.0f);
    EXPECT_EQ(s[1], c);
    EXPECT_EQ(c, 0.70710677f);
    EXPECT_EQ(s[2], 1.0f);
    nspAlignedFree(s);

    const ComplexFloat* r = nspcGetFftTwdTbl(3);
    ASSERT_NE(r, nullptr);
    const float want[3][2] = {{c, -c}, {0, -1}, {-c, -c}};  // entry 1
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(r[3 + i].re, want[i][0]);
        EXPECT_EQ(r[3 + i].im, want[i][1]);
    }
    const ComplexFloat* sp = nspcGetSplitTwdTbl(3);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sp[0].re, c);
    EXPECT_EQ(sp[0].im, -c);
    EXPECT_EQ(sp[1].re, -c);
    EXPECT_EQ(sp[1].im, -c);
}

TEST(NspTables, LongOrderTableAndItsSixteenThousandPointPart) {
    nspFreeAllFftTbls();
    const ComplexFloat* t14 = nspcGetLongTwdTbl(14);
    ASSERT_NE(t14, nullptr);
    const ComplexFloat* t15 = nspcGetLongTwdTbl(15);
    ASSERT_NE(t15, nullptr);
    float* s15 = nspCalcSinTbl(15);
    ASSERT_NE(s15, nullptr);
    const int32_t q15 = 8192;
    for (int32_t t = 0; t < q15; t += 97) {
        EXPECT_EQ(t15[t].re, s15[q15 - t]);
        EXPECT_EQ(t15[t].im, -s15[t]);
    }
    // The appended values are the 16384-point twiddles taken from the
    // order's own sines at every second index.
    for (int32_t t = 0; t < 4096; t++) {
        ASSERT_EQ(t15[q15 + t].re, s15[2 * (4096 - t)]) << t;
        ASSERT_EQ(t15[q15 + t].im, -s15[2 * t]) << t;
        EXPECT_NEAR(t15[q15 + t].re, std::cos(2 * M_PI * t / 16384), 6e-8);
        EXPECT_NEAR(t15[q15 + t].im, t14[t].im, 6e-8);
    }
    nspAlignedFree(s15);
}

TEST(NspTables, OrderNineBitReversal) {
    nspFreeAllFftTbls();
    const int32_t* b = nspGetBitRevTbl(9);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(b[1], 256);
    int32_t pairs = 0;
    while (b[2 * pairs] != 0) pairs++;
    EXPECT_EQ(pairs, 56);
    EXPECT_EQ(b[2 * pairs + 1], 4 * 127);
    EXPECT_EQ(b[128], 0);
    int32_t selfs = 0;
    for (int32_t p = 2 * pairs + 1; p < 128; p++) {
        ASSERT_NE(b[p], 0);
        const int32_t i = b[p] / 4;
        EXPECT_EQ(reverse_bits(i, 7), i);
        if (p > 2 * pairs + 1) {
            EXPECT_LT(b[p], b[p - 1]);
        }
        selfs++;
    }
    EXPECT_EQ(selfs, 15);
    for (int32_t p = 0; p < pairs; p++) {
        EXPECT_EQ(reverse_bits(b[2 * p] / 4, 7), b[2 * p + 1] / 4);
        EXPECT_LT(b[2 * p], b[2 * p + 1]);
    }
}

TEST(NspTables, PermutationOfFourAndEightPointsAndAnInvolution) {
    ComplexFloat x4[4] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}};
    nspcBitRevPermute(x4, 4, nspGetBitRevTbl(2));
    const float want4[4] = {0, 2, 1, 3};
    for (int i = 0; i < 4; i++) EXPECT_EQ(x4[i].re, want4[i]);

    ComplexFloat x8[8];
    for (int i = 0; i < 8; i++) x8[i] = ComplexFloat{static_cast<float>(i), 0};
    nspcBitRevPermute(x8, 8, nspGetBitRevTbl(3));
    const float want8[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (int i = 0; i < 8; i++) EXPECT_EQ(x8[i].re, want8[i]);

    for (int32_t order = 2; order <= 16; order++) {
        const int32_t n = int32_t{1} << order;
        std::vector<ComplexFloat> x(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; i++) x[i] = ComplexFloat{static_cast<float>(i), -1.0f};
        nspcBitRevPermute(x.data(), n, nspGetBitRevTbl(order));
        for (int32_t i = 0; i < n; i++)
            ASSERT_EQ(x[i].re, static_cast<float>(reverse_bits(i, order))) << order << " " << i;
    }
}

}  // namespace
