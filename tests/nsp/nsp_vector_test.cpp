// The vector kernel of the 512-point forward transform against the generic
// kernels: the same bits for every input, whatever the values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "nsp/nsp.h"
#include "nsp/nspkernels.h"
#include "nsp/nspstate.h"
#include "nsp/nsptables.h"
#include "nsp_test_util.h"

namespace {

typedef std::vector<ComplexFloat> Signal;

// nspcFft forward at order 9 with the generic or the vector kernels.
Signal transform(const Signal& in, bool generic) {
    IsaLimit limit(generic ? kelvor::ISA_PLAIN : kelvor::ISA_AVX512);
    Signal x = in;
    nspcFft(x.data(), 9, NSP_FFT_FORWARD);
    return x;
}

// Index of the first float whose bits differ, or -1.
int32_t first_difference(const Signal& a, const Signal& b) {
    const float* fa = reinterpret_cast<const float*>(a.data());
    const float* fb = reinterpret_cast<const float*>(b.data());
    for (int32_t i = 0; i < 2 * static_cast<int32_t>(a.size()); i++) {
        if (float_bits(fa[i]) != float_bits(fb[i])) return i;
    }
    return -1;
}

void expect_same(const Signal& in, const char* what) {
    const Signal generic = transform(in, true);
    const Signal vector = transform(in, false);
    const int32_t at = first_difference(generic, vector);
    EXPECT_EQ(at, -1) << what << ": float " << at << " generic "
                      << reinterpret_cast<const float*>(generic.data())[at < 0 ? 0 : at] << " vector "
                      << reinterpret_cast<const float*>(vector.data())[at < 0 ? 0 : at];
}

class NspVector : public ::testing::Test {
protected:
    void SetUp() override {
        if (kelvor::isa_supported() < kelvor::ISA_AVX512) GTEST_SKIP() << "no AVX-512 on this processor";
    }
};

TEST_F(NspVector, RandomInputsOfEveryScaleGiveTheGenericBits) {
    std::mt19937 gen(2024);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-140, 110);
    for (int trial = 0; trial < 300; trial++) {
        Signal x(512);
        // Trials alternate between one scale for the whole array and a
        // scale per value, so that small terms meet large ones in the sums.
        const bool mixed = trial % 2 == 1;
        const float common = std::ldexp(1.0f, exponent(gen));
        for (ComplexFloat& v : x) {
            const float s = mixed ? std::ldexp(1.0f, exponent(gen)) : common;
            v.re = unit(gen) * s;
            v.im = unit(gen) * s;
        }
        expect_same(x, "random");
    }
}

TEST_F(NspVector, ZerosOfBothSignsAndRealFramesGiveTheGenericBits) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::bernoulli_distribution coin(0.5);
    Signal zeros(512, ComplexFloat{0.0f, 0.0f});
    expect_same(zeros, "+0");
    Signal negative(512, ComplexFloat{-0.0f, -0.0f});
    expect_same(negative, "-0");
    for (int trial = 0; trial < 100; trial++) {
        // Signed zeros scattered among values, sparse impulses, and the
        // measure pipeline's frames: real, upper half zero.
        Signal signs(512), sparse(512, ComplexFloat{0.0f, 0.0f}), frame(512, ComplexFloat{0.0f, 0.0f});
        for (ComplexFloat& v : signs) {
            v.re = coin(gen) ? (coin(gen) ? 0.0f : -0.0f) : unit(gen);
            v.im = coin(gen) ? (coin(gen) ? 0.0f : -0.0f) : unit(gen);
        }
        for (int i = 0; i < 3; i++) sparse[static_cast<size_t>(gen() % 512)] = ComplexFloat{unit(gen), -0.0f};
        for (int i = 0; i < 256; i++) frame[static_cast<size_t>(i)].re = unit(gen);
        expect_same(signs, "signed zeros");
        expect_same(sparse, "impulses");
        expect_same(frame, "real frame");
    }
}

TEST_F(NspVector, CancellingSumsGiveTheGenericBits) {
    std::mt19937 gen(99);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int trial = 0; trial < 100; trial++) {
        // Values in pairs +v, -v (and v, v + one unit in the last place),
        // with a few small values riding on large ones: sums cancel to
        // zero or to a few bits at many points of the butterflies.
        Signal x(512);
        for (int i = 0; i < 512; i += 2) {
            const float v = unit(gen) * 1e6f;
            x[i] = ComplexFloat{v, -v};
            x[i + 1] = trial % 2 ? ComplexFloat{-v, v} : ComplexFloat{std::nextafter(v, 2e6f), v};
            if (gen() % 16 == 0) x[i].re = unit(gen) * 1e-3f;
        }
        expect_same(x, "cancelling");
        // Constant and alternating inputs make whole butterflies cancel.
        Signal c(512, ComplexFloat{unit(gen), unit(gen)});
        expect_same(c, "constant");
        for (int i = 1; i < 512; i += 2) c[i] = ComplexFloat{-c[i].re, -c[i].im};
        expect_same(c, "alternating");
    }
}

TEST_F(NspVector, InfinitiesAndNotANumbersLandWhereTheGenericKernelPutsThem) {
    // The bits of not-a-number results may depend on operand order, which
    // neither kernel promises; where each result is infinite, finite or
    // not a number must agree, and finite results to the bit.
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    const float inf = std::numeric_limits<float>::infinity();
    for (int trial = 0; trial < 40; trial++) {
        Signal x(512);
        for (ComplexFloat& v : x) v = ComplexFloat{unit(gen), unit(gen)};
        x[static_cast<size_t>(gen() % 512)].re = trial % 3 == 0 ? inf : -inf;
        if (trial % 2) x[static_cast<size_t>(gen() % 512)].im = std::numeric_limits<float>::quiet_NaN();
        if (trial % 5 == 0) x[static_cast<size_t>(gen() % 512)] = ComplexFloat{3e38f, -3e38f};
        const Signal g = transform(x, true);
        const Signal v = transform(x, false);
        const float* fg = reinterpret_cast<const float*>(g.data());
        const float* fv = reinterpret_cast<const float*>(v.data());
        for (int i = 0; i < 1024; i++) {
            if (std::isnan(fg[i])) {
                EXPECT_TRUE(std::isnan(fv[i])) << i;
            } else {
                EXPECT_EQ(float_bits(fg[i]), float_bits(fv[i])) << i;
            }
        }
    }
}

TEST_F(NspVector, RebuiltTablesAndTheDirectEntryGiveTheSameBits) {
    // The vector twiddles follow the table: after the tables are released
    // and rebuilt the results stay the same; the entry called directly
    // with a freshly filled twiddle array agrees with nspcFft.
    const Signal x = random_signal(512, 31);
    const Signal before = transform(x, false);
    nspFreeAllFftTbls();
    EXPECT_TRUE(same_bits(transform(x, false), before));
#if KELVOR_X86_KERNELS
    alignas(64) static double vtw[NSP_VTW512_SIZE];
    nspcFillVecTwd512(nspcGetFftTwdTbl(9), vtw);
    Signal direct = x;
    nspcFft512FwdAvx512(direct.data(), vtw);
    EXPECT_TRUE(same_bits(direct, before));
#endif
    EXPECT_TRUE(same_bits(transform(x, true), before));
}

TEST(NspVectorSwitch, OtherTransformsAndTheGenericSettingAreUntouched) {
    // Only order 9 forward on the natural path has a vector kernel; the
    // other flags and orders give what the generic kernels give, and the
    // plain level selects the generic kernels for everything.
    for (int32_t flags : {int32_t{NSP_FFT_INVERSE}, NSP_FFT_FORWARD | NSP_FFT_IN_BITREV, NSP_FFT_FORWARD | NSP_FFT_OUT_BITREV,
                          NSP_FFT_FORWARD | NSP_FFT_NO_BITREV}) {
        for (int32_t order : {8, 9, 10}) {
            const Signal x = random_signal(int32_t{1} << order, static_cast<uint32_t>(flags * 100 + order));
            Signal a = x;
            Signal b = x;
            {
                IsaLimit plain(kelvor::ISA_PLAIN);
                nspcFft(a.data(), order, flags);
            }
            IsaLimit fast(kelvor::ISA_AVX512);
            nspcFft(b.data(), order, flags);
            EXPECT_TRUE(same_bits(a, b)) << "flags " << flags << " order " << order;
        }
    }
}

}  // namespace
