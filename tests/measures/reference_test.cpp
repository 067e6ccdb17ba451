// The reference profile's measures: double-precision spectra against the
// direct transform, band envelopes of every kernel against those spectra,
// the same bits whatever the blocks the signals come in and whatever the
// kernels, and where a pair becomes too short.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "common/cpu.h"
#include "measures/power_spectrum.h"
#include "measures/reference.h"
#include "support.h"

using namespace kelvor;

namespace {

std::vector<double> noise(size_t count, uint32_t seed, double scale = 0.3) {
    std::vector<double> v(count);
    for (double& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = scale * ((static_cast<int32_t>(seed >> 8) % 20001) / 10000.0 - 1.0);
    }
    return v;
}

TEST(PowerSpectra, MatchTheDirectTransformAndGiveZerosForSilence) {
    const int32_t frames = 19;
    std::vector<double> x = noise(static_cast<size_t>(frames) * FRAME_LENGTH, 11);
    for (int32_t n = 0; n < FRAME_LENGTH; n++) x[static_cast<size_t>(3 * FRAME_LENGTH + n)] = 0.0;  // a silent frame
    for (int32_t n = 0; n < FRAME_LENGTH; n++) x[static_cast<size_t>(5 * FRAME_LENGTH + n)] *= 1e-30;
    std::vector<double> plain(static_cast<size_t>(frames) * BIN_COUNT);
    power_spectra(x.data(), frames, plain.data());

    for (int32_t t : {0, 5, 18}) {
        const double* f = x.data() + static_cast<size_t>(t) * FRAME_LENGTH;
        double largest = 0.0;
        std::vector<long double> direct(BIN_COUNT);
        for (int32_t k = 0; k < BIN_COUNT; k++) {
            long double re = 0.0L;
            long double im = 0.0L;
            for (int32_t n = 0; n < FRAME_LENGTH; n++) {
                const long double angle = -2.0L * 3.141592653589793238462643383279502884L * k * n / 512.0L;
                re += f[n] * std::cos(angle);
                im += f[n] * std::sin(angle);
            }
            direct[static_cast<size_t>(k)] = re * re + im * im;
            largest = std::fmax(largest, static_cast<double>(direct[static_cast<size_t>(k)]));
        }
        for (int32_t k = 0; k < BIN_COUNT; k++) {
            const double exact = static_cast<double>(direct[static_cast<size_t>(k)]);
            EXPECT_NEAR(plain[static_cast<size_t>(t) * BIN_COUNT + k], exact, 1e-13 * largest)
                << "frame " << t << " bin " << k;
        }
    }
    for (int32_t k = 0; k < BIN_COUNT; k++) EXPECT_EQ(plain[static_cast<size_t>(3 * BIN_COUNT + k)], 0.0);
}

// The envelopes of every level and every count of frames: each frame's band
// sums are its power_spectra bins added in ascending order from +0, to the
// bit, and the envelopes of the lanes past count are left alone.
TEST(BandEnvelopes, EveryLevelAndCountGiveTheSumsOfThePowerSpectra) {
    // Disjoint bands with gaps, the first bin and the last, one of one bin
    // and one of none.
    const int32_t lo[] = {0, 3, 9, 9, 40, 101, 200};
    const int32_t hi[] = {1, 9, 9, 23, 100, 102, 257};
    const int32_t bands = 7;
    std::vector<double> frames = noise(static_cast<size_t>(DOUBLE_LANES_MAX) * FRAME_LENGTH, 17);
    for (int32_t n = 0; n < FRAME_LENGTH; n++) {
        frames[static_cast<size_t>(n * DOUBLE_LANES_MAX + 2)] = 0.0;     // a silent frame
        frames[static_cast<size_t>(n * DOUBLE_LANES_MAX + 6)] *= 1e-150;  // a frame of tiny samples
    }
    // Each lane's frame on its own, through power_spectra.
    std::vector<double> own(static_cast<size_t>(DOUBLE_LANES_MAX) * FRAME_LENGTH);
    for (int32_t l = 0; l < DOUBLE_LANES_MAX; l++) {
        for (int32_t n = 0; n < FRAME_LENGTH; n++) {
            own[static_cast<size_t>(l * FRAME_LENGTH + n)] = frames[static_cast<size_t>(n * DOUBLE_LANES_MAX + l)];
        }
    }
    std::vector<double> power(static_cast<size_t>(DOUBLE_LANES_MAX) * BIN_COUNT);
    power_spectra(own.data(), DOUBLE_LANES_MAX, power.data());
    std::vector<double> expected(static_cast<size_t>(DOUBLE_LANES_MAX) * bands);
    for (int32_t l = 0; l < DOUBLE_LANES_MAX; l++) {
        for (int32_t j = 0; j < bands; j++) {
            double sum = 0.0;
            for (int32_t k = lo[j]; k < hi[j]; k++) sum = sum + power[static_cast<size_t>(l * BIN_COUNT + k)];
            expected[static_cast<size_t>(l * bands + j)] = std::sqrt(sum);
        }
    }
    EXPECT_EQ(expected[static_cast<size_t>(2 * bands + 4)], 0.0);

    const double untouched = -1.0;
    for (IsaLevel level : {ISA_PLAIN, ISA_SSE2, ISA_AVX2, ISA_AVX512}) {
        for (int32_t count : {1, 3, 4, 5, 8}) {
            std::vector<double> env(expected.size(), untouched);
            band_envelopes_lanes_using(level, frames.data(), count, lo, hi, bands, env.data());
            for (size_t i = 0; i < env.size(); i++) {
                const bool stored = static_cast<int32_t>(i) < count * bands;
                ASSERT_EQ(env[i], stored ? expected[i] : untouched)
                    << "level " << level << " count " << count << " value " << i;
            }
        }
    }
}

struct Outcome {
    MeasureStatus status;
    double stoi = 0.0;
    double estoi = 0.0;
    std::vector<int32_t> kept;
    std::vector<double> correlation;
    std::vector<double> segment;
};

// Both passes over x and y, fed in blocks of `block` samples.
Outcome run(const std::vector<double>& x, const std::vector<double>& y, size_t block) {
    LevelScan scan;
    level_scan_start(&scan);
    for (size_t at = 0; at < x.size(); at += block) {
        level_scan_feed(&scan, x.data() + at, static_cast<int32_t>(std::min(block, x.size() - at)));
    }
    ReferenceRun* r = reference_run_create(scan.loudest, true);
    for (size_t at = 0; at < x.size(); at += block) {
        const int32_t count = static_cast<int32_t>(std::min(block, x.size() - at));
        reference_run_feed(r, x.data() + at, y.data() + at, count);
    }
    Outcome o;
    o.status = reference_run_finish(r, &o.stoi, &o.estoi);
    if (o.status == MEASURE_OK) {
        ReferenceDetails d;
        reference_run_details(r, &d);
        EXPECT_EQ(d.frames, scan.frames);
        o.kept.assign(d.kept_frames, d.kept_frames + d.kept_count);
        o.correlation.assign(d.stoi_correlation, d.stoi_correlation + static_cast<size_t>(15) * d.segments);
        o.segment.assign(d.estoi_segment, d.estoi_segment + d.segments);
    }
    reference_run_destroy(r);
    return o;
}

void expect_same(const Outcome& a, const Outcome& b) {
    ASSERT_EQ(a.status, b.status);
    EXPECT_EQ(a.stoi, b.stoi);
    EXPECT_EQ(a.estoi, b.estoi);
    EXPECT_EQ(a.kept, b.kept);
    EXPECT_EQ(a.correlation, b.correlation);
    EXPECT_EQ(a.segment, b.segment);
}

// Speech-like: bursts of noise with pauses of digital silence, and a
// degraded copy that is noisier and has a gap of zeros.
void speech_pair(size_t n, std::vector<double>* x, std::vector<double>* y) {
    *x = noise(n, 21);
    *y = noise(n, 22, 0.1);
    for (size_t i = 0; i < n; i++) {
        const double envelope = std::fmax(0.0, std::sin(2 * M_PI * 2.3 * i / 10000.0));
        (*x)[i] *= envelope;
        (*y)[i] = i > n / 2 && i < n / 2 + 3000 ? 0.0 : (*y)[i] + 0.8 * (*x)[i];
    }
}

TEST(ReferenceMeasures, AnyBlocksAndEveryKernelGiveTheSameBits) {
    std::vector<double> x, y;
    speech_pair(40000, &x, &y);
    const Outcome whole = run(x, y, x.size());
    ASSERT_EQ(whole.status, MEASURE_OK);
    EXPECT_EQ(whole.segment.size(), whole.kept.size() - 30);
    EXPECT_GT(whole.stoi, 0.3);
    EXPECT_LT(whole.stoi, 1.0);
    for (size_t block : {size_t{1}, size_t{127}, size_t{128}, size_t{257}, size_t{4096}}) {
        SCOPED_TRACE(block);
        expect_same(run(x, y, block), whole);
    }
    Outcome plain;
    {
        IsaLimit limit(ISA_PLAIN);
        plain = run(x, y, 4096);
    }
    for (IsaLevel level : {ISA_SSE2, ISA_AVX2, ISA_AVX512}) {
        IsaLimit limit(level);
        SCOPED_TRACE(level);
        expect_same(run(x, y, 1000), plain);
    }
    // The same signal scores 1.
    const Outcome self = run(x, x, 4096);
    EXPECT_NEAR(self.stoi, 1.0, 1e-12);
    EXPECT_NEAR(self.estoi, 1.0, 1e-12);
}

TEST(ReferenceMeasures, ThirtyEnvelopeFramesMakeTheFirstSegment) {
    // Every frame of a steady signal is kept: n samples make (n - 257) / 128
    // + 1 frames, which rebuild a signal of one envelope frame fewer.
    for (size_t n : {size_t{4096}, size_t{4097}, size_t{4224}, size_t{4225}}) {
        SCOPED_TRACE(n);
        const std::vector<double> x = noise(n, 31);
        const std::vector<double> y = noise(n, 32);
        const Outcome o = run(x, y, 1000);
        const size_t envelopes = (n - 257) / 128;
        if (envelopes < 30) {
            EXPECT_EQ(o.status, MEASURE_TOO_SHORT);
        } else {
            ASSERT_EQ(o.status, MEASURE_OK);
            EXPECT_EQ(o.segment.size(), envelopes - 29);
        }
    }
    EXPECT_EQ(run(std::vector<double>(100, 0.1), std::vector<double>(100, 0.1), 64).status, MEASURE_TOO_SHORT);
}

TEST(ReferenceMeasures, NoiseIsTheDocumentedSequence) {
    const double* g = reference_noise();
    double sum = 0.0;
    double squares = 0.0;
    for (int32_t i = 0; i < REFERENCE_NOISE_PERIOD; i++) {
        sum += g[i];
        squares += g[i] * g[i];
    }
    EXPECT_NEAR(sum / REFERENCE_NOISE_PERIOD, 0.0, 0.02);
    EXPECT_NEAR(squares / REFERENCE_NOISE_PERIOD, 1.0, 0.02);
    for (int32_t i = 0; i < REFERENCE_NOISE_PADDING; i++) EXPECT_EQ(g[REFERENCE_NOISE_PERIOD + i], g[i]);
    // The first pair from splitmix64 started at 0, by Box-Muller.
    const uint64_t a = 0xe220a8397b1dcdafull;
    const uint64_t b = 0x6e789e6aa1b965f4ull;
    const double u1 = static_cast<double>(a >> 11) * 0x1p-53;
    const double u2 = static_cast<double>(b >> 11) * 0x1p-53;
    EXPECT_EQ(g[0], std::sqrt(-2.0 * std::log(1.0 - u1)) * std::cos(6.283185307179586476925 * u2));
}

}  // namespace
