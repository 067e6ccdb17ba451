// nspcFft against an independent oracle: the direct DFT sum in long double,
// for every flag combination that transforms data.
//
// Error measure: the largest error over the checked bins divided by the
// rms magnitude of the exact result (||x||2 for unscaled transforms, ||x||2
// / N for scaled inverses), in units of eps*log2(N) with eps = 2^-24 the
// single-precision rounding unit. A log2(N)-pass FFT rounds every value
// once per pass and its twiddles once, so its rms error grows like
// eps*sqrt(log2 N) and its worst bin stays below a small multiple of
// eps*log2 N. Natural-order output is held to 1.5. The bit-reversed-output
// path multiplies by the fixed constant 0.707107, which lies 3.7 eps above
// sin(pi/4), in its eighth-turn butterflies of every stage; it is held to
// 3.0. A wrong twiddle, a lost pass or a mis-ordered output gives errors
// of order 1/(eps*log2 N), far above either bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "nsp/nsp.h"
#include "nsp_test_util.h"

namespace {

const double EPS = 1.0 / 16777216.0;
const double BOUND_NATURAL = 1.5;
const double BOUND_BITREV_OUT = 3.0;

struct Oracle {
    std::vector<long double> cos_t;  // cos(2 pi k / N)
    std::vector<long double> sin_t;  // sin(2 pi k / N)
    std::vector<long double> fwd_re, fwd_im, inv_re, inv_im;  // per checked bin
    std::vector<int32_t> bins;
    long double norm = 0;  // ||x||2
};

// Forward and unscaled inverse DFT of x at the listed bins.
Oracle make_oracle(const std::vector<ComplexFloat>& x, const std::vector<int32_t>& bins) {
    const int32_t n = static_cast<int32_t>(x.size());
    const long double pi2 = 6.28318530717958647692528676655900577L;
    Oracle o;
    o.bins = bins;
    o.cos_t.resize(x.size());
    o.sin_t.resize(x.size());
    // One quarter period directly, the rest by exact quarter turns.
    const int32_t direct = n >= 4 ? n / 4 : n;
    for (int32_t k = 0; k < direct; k++) {
        o.cos_t[k] = std::cos(pi2 * k / n);
        o.sin_t[k] = std::sin(pi2 * k / n);
    }
    for (int32_t k = direct; k < n; k++) {
        o.cos_t[k] = -o.sin_t[k - direct];
        o.sin_t[k] = o.cos_t[k - direct];
    }
    for (const ComplexFloat& v : x) o.norm += static_cast<long double>(v.re) * v.re + static_cast<long double>(v.im) * v.im;
    o.norm = std::sqrt(o.norm);
    // The sum runs as t = a*R + b: for each a the inner sum over b uses
    // the R twiddles exp(-+i*2*pi*k*b/N), and the partial sum is then turned
    // by exp(-+i*2*pi*k*a*R/N). Both come exactly from the table, so each
    // term carries one extra long-double rounding (about 1e-19) while the
    // twiddles in use stay in cache even at the large orders.
    const int32_t r = std::min<int32_t>(n, 1024);
    const uint64_t mask = static_cast<uint64_t>(n) - 1;
    std::vector<long double> uc(static_cast<size_t>(r)), us(static_cast<size_t>(r));
    for (int32_t k : bins) {
        const uint64_t kk = static_cast<uint64_t>(k);
        for (int32_t b = 0; b < r; b++) {
            const uint64_t idx = (kk * static_cast<uint64_t>(b)) & mask;
            uc[b] = o.cos_t[idx];
            us[b] = o.sin_t[idx];
        }
        long double fr = 0, fi = 0, ir = 0, ii = 0;
        for (int32_t a = 0; a < n / r; a++) {
            const ComplexFloat* xa = x.data() + static_cast<size_t>(a) * r;
            long double pa = 0, pb = 0, pc = 0, pd = 0;
            for (int32_t b = 0; b < r; b++) {
                const long double xr = xa[b].re, xi = xa[b].im;
                pa += xr * uc[b];
                pb += xi * us[b];
                pc += xi * uc[b];
                pd += xr * us[b];
            }
            const uint64_t idx = (kk * static_cast<uint64_t>(a) * static_cast<uint64_t>(r)) & mask;
            const long double vc = o.cos_t[idx], vs = o.sin_t[idx];
            // forward partial (pa+pb, pc-pd) times exp(-i*theta_a); inverse
            // partial (pa-pb, pc+pd) times exp(+i*theta_a)
            const long double gr = pa + pb, gi = pc - pd, hr = pa - pb, hi = pc + pd;
            fr += gr * vc + gi * vs;
            fi += gi * vc - gr * vs;
            ir += hr * vc - hi * vs;
            ii += hi * vc + hr * vs;
        }
        o.fwd_re.push_back(fr);
        o.fwd_im.push_back(fi);
        o.inv_re.push_back(ir);
        o.inv_im.push_back(ii);
    }
    return o;
}

// Runs nspcFft with flags on x (bit-reversed first for flag 64) and returns
// the worst error at the oracle's bins in units of eps*log2 N.
double run_and_measure(const std::vector<ComplexFloat>& x, int32_t order, int32_t flags,
                       const Oracle& o) {
    const int32_t n = static_cast<int32_t>(x.size());
    std::vector<ComplexFloat> data(x.size());
    for (int32_t i = 0; i < n; i++)
        data[i] = (flags & NSP_FFT_IN_BITREV) ? x[reverse_bits(i, order)] : x[i];
    nspcFft(data.data(), order, flags);
    const bool inverse = (flags & NSP_FFT_INVERSE) != 0;
    const long double scale = (inverse && !(flags & NSP_FFT_NO_SCALE)) ? 1.0L / n : 1.0L;
    double worst = 0;
    for (size_t b = 0; b < o.bins.size(); b++) {
        const int32_t k = o.bins[b];
        const int32_t at = (flags & NSP_FFT_OUT_BITREV) ? reverse_bits(k, order) : k;
        const long double er = (inverse ? o.inv_re[b] : o.fwd_re[b]) * scale;
        const long double ei = (inverse ? o.inv_im[b] : o.fwd_im[b]) * scale;
        const long double dr = data[at].re - er, di = data[at].im - ei;
        worst = std::max(worst, static_cast<double>(std::sqrt(dr * dr + di * di) / (o.norm * scale)));
    }
    return worst / (EPS * std::max<int32_t>(1, order));
}

const int32_t FLAG_SETS[] = {1, 2, 18, 33, 65, 129, 130};

// Checks every flag set at one order; bins_wanted 0 means every bin.
void check_order(int32_t order, int32_t bins_wanted) {
    const int32_t n = int32_t{1} << order;
    std::vector<ComplexFloat> x = random_signal(n, 1000u + static_cast<uint32_t>(order));
    std::vector<int32_t> bins;
    if (bins_wanted == 0 || bins_wanted >= n) {
        for (int32_t k = 0; k < n; k++) bins.push_back(k);
    } else {
        bins = {0, 1, 2, 3, n / 4, n / 2 - 1, n / 2, n / 2 + 1, 3 * n / 4, n - 1};
        std::mt19937 gen(77u + static_cast<uint32_t>(order));
        std::uniform_int_distribution<int32_t> pick(0, n - 1);
        while (static_cast<int32_t>(bins.size()) < bins_wanted) bins.push_back(pick(gen));
    }
    Oracle o = make_oracle(x, bins);
    double worst[2] = {0, 0};
    for (int32_t flags : FLAG_SETS) {
        double e = run_and_measure(x, order, flags, o);
        const double bound = (flags & NSP_FFT_OUT_BITREV) ? BOUND_BITREV_OUT : BOUND_NATURAL;
        EXPECT_LE(e, bound) << "order " << order << " flags " << flags;
        double& w = worst[(flags & NSP_FFT_OUT_BITREV) ? 1 : 0];
        w = std::max(w, e);
    }
    std::printf("[ oracle ] order %2d, %zu bins: worst error / (eps*log2N) %.3f natural output,"
                " %.3f bit-reversed output\n", order, bins.size(), worst[0], worst[1]);
}

TEST(NspFftOracle, EveryBinUpToOrder10) {
    for (int32_t order = 0; order <= 10; order++) check_order(order, 0);
}

TEST(NspFftOracle, SampledBinsOrders11To16) {
    for (int32_t order = 11; order <= 16; order++) check_order(order, 256);
}

TEST(NspFftOracle, SampledBinsOrders18And20) {
    check_order(18, 256);
    check_order(20, 256);
}

// The measure pipeline's call: order 9, forward, also in ordinary use
// after other orders have been computed and with an inverse in between.
TEST(NspFftOracle, ForwardThenInverseRoundTrips) {
    for (int32_t order : {1, 5, 9, 10, 11, 15}) {
        const int32_t n = int32_t{1} << order;
        std::vector<ComplexFloat> x = random_signal(n, 5u);
        std::vector<ComplexFloat> y = x;
        std::vector<ComplexFloat> z = x;
        nspcFft(y.data(), order, NSP_FFT_FORWARD);
        nspcFft(y.data(), order, NSP_FFT_INVERSE);
        nspcFft(z.data(), order, NSP_FFT_FORWARD);
        nspcFft(z.data(), order, NSP_FFT_INVERSE | NSP_FFT_NO_SCALE);
        double worst_y = 0, worst_z = 0;
        for (int32_t i = 0; i < n; i++) {
            worst_y = std::max(worst_y, std::hypot(double{y[i].re} - x[i].re, double{y[i].im} - x[i].im));
            worst_z = std::max(worst_z, std::hypot(double{z[i].re} / n - x[i].re, double{z[i].im} / n - x[i].im));
        }
        EXPECT_LE(worst_y, 4 * EPS * order * std::sqrt(2.0 * n)) << "order " << order;
        EXPECT_LE(worst_z, 4 * EPS * order * std::sqrt(2.0 * n)) << "order " << order;
    }
}

}  // namespace
