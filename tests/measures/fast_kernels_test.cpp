// The measures' fast paths against their plain loops, to the bit: the STOI
// and ESTOI kernels lane by lane (every kernel this processor can run, not
// only the one the dispatch picks), the frame-by-frame band envelopes and
// the batched frame levels of the silent-frame removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "measures/correlation.h"
#include "measures/kernels.h"
#include "measures/silence.h"
#include "measures/spectrum.h"
#include "measures/stoi.h"
#include "measures_support.h"
#include "support.h"

using namespace kelvor;

namespace {

const double kC = 5.623413251903491;  // 10^0.75

double hashed(uint32_t seed, uint32_t i) {  // deterministic, in [0, 1)
    uint32_t h = (seed * 100003u + i) * 2654435761u + 0x7f4a7c15u;
    h ^= h >> 16;
    h *= 2246822519u;
    return ((h ^ (h >> 13)) & 0xFFFFF) / 1048576.0;
}

// Band envelopes with the cases every lane must get right: silent degraded
// stretches (scale factor 0), bands silent in both or in the reference,
// spikes far above the clipping bound, constant bands (zero deviation),
// huge values whose squares overflow (not-a-number results) and tiny ones.
void hostile_envelopes(int32_t frames, uint32_t seed, std::vector<double>* X, std::vector<double>* Y) {
    X->assign(static_cast<size_t>(BAND_COUNT) * frames, 0.0);
    Y->assign(X->size(), 0.0);
    for (size_t i = 0; i < X->size(); i++) {
        (*X)[i] = 0.05 + hashed(seed, static_cast<uint32_t>(i));
        (*Y)[i] = 0.05 + hashed(seed + 1, static_cast<uint32_t>(i));
    }
    for (int32_t t = 0; t < frames; t++) {
        double* x = X->data() + t;
        double* y = Y->data() + t;
        if (t >= 13 && t < 50) y[2 * frames] = 0.0;
        x[3 * frames] = y[3 * frames] = 0.0;
        x[4 * frames] = 0.0;
        if (t % 11 == 3) y[5 * frames] *= 300.0;
        x[6 * frames] = 0.25;
        y[7 * frames] = 0.5;
        if (t == 20) x[8 * frames] = y[8 * frames] = 1e200;
        x[9 * frames] *= 1e-160;
        y[10 * frames] *= 1e150;
        y[11 * frames] = x[11 * frames];
    }
}

// ------------------------------------------------------------------ STOI

std::vector<double> plain_stoi(const std::vector<double>& X, const std::vector<double>& Y, int32_t frames) {
    IsaLimit plain(ISA_PLAIN);
    const int32_t segments = frames - SEGMENT_LENGTH;
    std::vector<double> d(static_cast<size_t>(BAND_COUNT) * segments, -7.0);
    double xn[SEGMENT_LENGTH], yn[SEGMENT_LENGTH];
    stoi_correlations(X.data(), Y.data(), frames, segments, kC, d.data(), xn, yn);
    return d;
}

TEST(StoiKernels, EveryLaneGivesThePlainBits) {
    // 75 segments: whole batches of four and of eight, and a tail.
    const int32_t frames = SEGMENT_LENGTH + 75;
    const int32_t segments = frames - SEGMENT_LENGTH;
    std::vector<double> X, Y;
    hostile_envelopes(frames, 3, &X, &Y);
    const std::vector<double> plain = plain_stoi(X, Y, frames);
    ASSERT_TRUE(std::isnan(plain[8 * segments + 0]));  // the overflowing band
    ASSERT_EQ(plain[3 * segments + 0], 0.0);

    struct Kernel {
        bool runs;
        int32_t lanes;
        void (*run)(const double*, const double*, int32_t, int32_t, int32_t, int32_t, double, double*);
    };
#if KELVOR_X86_KERNELS
    const std::vector<Kernel> kernels{{isa_supported() >= ISA_AVX2, DOUBLE_LANES_AVX2, stoi_batches_avx2},
                                      {isa_supported() >= ISA_AVX512, DOUBLE_LANES_AVX512, stoi_batches_avx512}};
#else
    const std::vector<Kernel> kernels;
#endif
    for (const Kernel& k : kernels) {
        if (!k.runs) continue;
        // Batches from segment 5 on, to catch a kernel that assumes its
        // batches start at 0.
        std::vector<double> d(plain.size(), -7.0);
        const int32_t batches = (segments - 5) / k.lanes;
        k.run(X.data(), Y.data(), frames, segments, 5, batches, kC, d.data());
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            for (int32_t m = 0; m < segments; m++) {
                const size_t at = static_cast<size_t>(j) * segments + m;
                if (m < 5 || m >= 5 + batches * k.lanes) {
                    EXPECT_EQ(d[at], -7.0) << "wrote outside its segments: band " << j << " segment " << m;
                } else {
                    EXPECT_TRUE(same_bits(d[at], plain[at]))
                        << k.lanes << " lanes, band " << j << " segment " << m << ": " << d[at] << " " << plain[at];
                }
            }
        }
    }

    // The dispatching entry, tail included.
    IsaLimit fast(ISA_AVX512);
    std::vector<double> d(plain.size(), -7.0);
    double xn[SEGMENT_LENGTH], yn[SEGMENT_LENGTH];
    stoi_correlations(X.data(), Y.data(), frames, segments, kC, d.data(), xn, yn);
    EXPECT_EQ(std::memcmp(d.data(), plain.data(), d.size() * sizeof(double)), 0);
}

// ------------------------------------------------------------------ ESTOI

TEST(EstoiKernels, EveryLaneGivesThePlainBitsAndLeavesTheSameNoiseState) {
    const int32_t frames = SEGMENT_LENGTH + 21;
    const int32_t segments = frames - SEGMENT_LENGTH;
    std::vector<double> X, Y;
    hostile_envelopes(frames, 8, &X, &Y);
    // ESTOI has no scale factor: keep its values finite apart from the
    // tiny band, so that the comparison sees numbers.
    for (int32_t t = 0; t < frames; t++) X[8 * frames + t] = Y[10 * frames + t] = 0.7;
    uint16_t noise_state = NOISE_STATE_START;

    for (uint32_t start : {123u, 0u, 65535u, 40961u}) {
        // The plain steps, segment by segment, and the state after each.
        std::vector<double> plain(static_cast<size_t>(segments));
        std::vector<uint16_t> after(static_cast<size_t>(segments));
        noise_state = static_cast<uint16_t>(start);
        for (int32_t m = 0; m < segments; m++) {
            plain[m] = estoi_segment_plain(X.data(), Y.data(), frames, m, &noise_state);
            after[m] = noise_state;
        }

        struct Kernel {
            bool runs;
            int32_t lanes;
            void (*run)(const double*, const double*, int32_t, int32_t, int32_t, NoiseJumps, uint16_t*, double*);
        };
#if KELVOR_X86_KERNELS
        const std::vector<Kernel> kernels{{isa_supported() >= ISA_AVX2, DOUBLE_LANES_AVX2, estoi_batches_avx2},
                                          {isa_supported() >= ISA_AVX512, DOUBLE_LANES_AVX512, estoi_batches_avx512}};
#else
        const std::vector<Kernel> kernels;
#endif
        // The jump-ahead tables, built here from the generator's rule.
        std::vector<uint16_t> mul(1801), add(1801);
        uint32_t a = 1, c = 0;
        for (int i = 0; i <= 1800; i++) {
            mul[i] = static_cast<uint16_t>(a);
            add[i] = static_cast<uint16_t>(c);
            a = (521u * a) & 0xFFFFu;
            c = (521u * c + 259u) & 0xFFFFu;
        }
        for (const Kernel& k : kernels) {
            if (!k.runs) continue;
            // Batches from segment 3 on, with the state the plain steps had
            // there.
            uint16_t state = after[2];
            std::vector<double> d(plain.size(), -7.0);
            const int32_t batches = (segments - 3) / k.lanes;
            k.run(X.data(), Y.data(), frames, 3, batches, NoiseJumps{mul.data(), add.data()}, &state, d.data());
            const int32_t end = 3 + batches * k.lanes;
            EXPECT_EQ(state, after[end - 1]) << k.lanes << " lanes";
            for (int32_t m = 0; m < segments; m++) {
                if (m < 3 || m >= end) {
                    EXPECT_EQ(d[m], -7.0) << m;
                } else {
                    EXPECT_TRUE(same_bits(d[m], plain[m])) << k.lanes << " lanes, segment " << m << " from " << start;
                }
            }
        }

        // The dispatching entry.
        IsaLimit fast(ISA_AVX512);
        noise_state = static_cast<uint16_t>(start);
        std::vector<double> d(plain.size());
        estoi_values(X.data(), Y.data(), frames, segments, d.data(), &noise_state);
        EXPECT_EQ(std::memcmp(d.data(), plain.data(), d.size() * sizeof(double)), 0) << "from " << start;
        EXPECT_EQ(noise_state, after.back());
    }
}

// --------------------------------------------------- spectra and envelopes

// A signal with loud and quiet passages, silence, a full-scale square
// burst, tiny values and exact zeros, for `frames` frames.
std::vector<double> test_signal(int32_t frames, uint32_t seed) {
    const int32_t length = frames == 0 ? 300 : FRAME_HOP * (frames - 1) + FRAME_LENGTH + 57;
    std::vector<double> s(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; i++) {
        const double v = hashed(seed, static_cast<uint32_t>(i)) - 0.5;
        const int32_t part = (i / 700) % 5;
        s[i] = part == 0 ? v : part == 1 ? 1e-3 * v : part == 2 ? 0.0 : part == 3 ? ((i / 9) % 2 ? 1.0 : -1.0) : 1e-300 * v;
    }
    return s;
}

TEST(StdftBands, SameBitsAsSpectraThenEnvelopes) {
    hann_window(analysis_window, FRAME_LENGTH);
    std::vector<uint8_t> mask(static_cast<size_t>(BAND_COUNT) * BIN_COUNT);
    fill_band_mask(mask.data());
    // No frame, fewer frames than a batch, whole batches and a tail.
    for (int32_t frames : {0, 1, 7, 8, 16, 29, 83}) {
        const std::vector<double> x = test_signal(frames, static_cast<uint32_t>(frames));
        const size_t spectrum_size = static_cast<size_t>(frames) * BIN_COUNT;
        std::vector<double> spectrum(spectrum_size + 1), other(spectrum_size + 1), X(BAND_COUNT * frames + 1),
            Y(X.size());
        {
            IsaLimit plain(ISA_PLAIN);
            spectra(x.data(), spectrum.data(), frames);
            spectra(x.data(), other.data(), frames);
            band_envelopes(spectrum.data(), other.data(), mask.data(), frames, X.data(), Y.data());
        }
        IsaLimit fast(ISA_AVX512);
        std::vector<double> bands(static_cast<size_t>(BAND_COUNT) * frames + 1, -7.0);
        band_spectra(x.data(), mask.data(), bands.data(), frames);
        EXPECT_EQ(std::memcmp(bands.data(), X.data(), sizeof(double) * BAND_COUNT * frames), 0) << frames << " frames";
        EXPECT_EQ(bands.back(), -7.0) << "wrote past its frames";
    }
}

TEST(StdftBands, FollowsTheMaskItIsGiven) {
    // A mask with one band of one bin and one band that also takes bin 0:
    // the envelopes are still the plain sums over each band's bins.
    hann_window(analysis_window, FRAME_LENGTH);
    std::vector<uint8_t> mask(static_cast<size_t>(BAND_COUNT) * BIN_COUNT, 0);
    mask[3 * BIN_COUNT + 100] = 1;
    mask[7 * BIN_COUNT + 0] = 1;
    mask[7 * BIN_COUNT + 256] = 1;
    const int32_t frames = 19;
    const std::vector<double> x = test_signal(frames, 77);
    std::vector<double> spectrum(static_cast<size_t>(frames) * BIN_COUNT), X(BAND_COUNT * frames), Y(X.size());
    {
        IsaLimit plain(ISA_PLAIN);
        spectra(x.data(), spectrum.data(), frames);
        band_envelopes(spectrum.data(), spectrum.data(), mask.data(), frames, X.data(), Y.data());
    }
    IsaLimit fast(ISA_AVX512);
    std::vector<double> bands(X.size());
    band_spectra(x.data(), mask.data(), bands.data(), frames);
    EXPECT_EQ(std::memcmp(bands.data(), X.data(), X.size() * sizeof(double)), 0);
    EXPECT_GT(bands[7 * frames + 4], 0.0);
    EXPECT_EQ(bands[0], 0.0);
}

// ------------------------------------------------------ silent-frame removal

// 16-bit samples with loud and quiet passages, exact silence, full scale
// and a single frame of 1, -1, ..., and the doubles they stand for.
void pcm_signal(int32_t frames, uint32_t seed, std::vector<int16_t>* pcm, std::vector<double>* d) {
    const int32_t length = FRAME_HOP * (frames + 1) + 31;
    pcm->assign(static_cast<size_t>(length), 0);
    d->assign(pcm->size(), 0.0);
    for (int32_t i = 0; i < length; i++) {
        const double v = hashed(seed, static_cast<uint32_t>(i)) - 0.5;
        const int32_t part = (i / 900) % 5;
        const double level = part == 0 ? 60000.0 : part == 1 ? 300.0 : part == 2 ? 0.0 : part == 3 ? 65535.0 : 2.0;
        int32_t s = static_cast<int32_t>(level * v);
        s = s > 32767 ? 32767 : s < -32768 ? -32768 : s;
        (*pcm)[i] = static_cast<int16_t>(s);
        (*d)[i] = static_cast<double>(s) * 0x1p-15;
    }
}

TEST(RemoveLevels, BatchedLevelsOfSixteenBitSamplesAreThePlainBits) {
    IsaLimit fast(ISA_AVX512);
    hann_window(analysis_window, FRAME_LENGTH);
    for (int32_t frames : {0, 5, 8, 16, 43, 90}) {
        std::vector<int16_t> pcm;
        std::vector<double> d;
        pcm_signal(frames, 300 + static_cast<uint32_t>(frames), &pcm, &d);
        std::vector<double> plain(static_cast<size_t>(frames) + 1, -1.0), fast(plain.size(), -2.0);
        double tmp[FRAME_LENGTH];
        frame_levels(d.data(), frames, analysis_window, plain.data(), tmp);
        frame_levels(pcm.data(), frames, analysis_window, fast.data(), tmp);
        EXPECT_EQ(std::memcmp(fast.data(), plain.data(), sizeof(double) * frames), 0) << frames << " frames";
        EXPECT_EQ(fast.back(), -2.0) << "wrote past its frames";
    }
}

TEST(RemoveLevels, SixteenBitSamplesKeepTheSameFramesAndSamples) {
    hann_window(analysis_window, FRAME_LENGTH);
    for (bool fast : {false, true}) {
        IsaLimit limit(fast ? ISA_AVX512 : ISA_PLAIN);
        for (int32_t frames : {3, 8, 9, 40, 77}) {
            std::vector<int16_t> x16, y16;
            std::vector<double> x, y;
            pcm_signal(frames, 100 + static_cast<uint32_t>(frames), &x16, &x);
            pcm_signal(frames, 200 + static_cast<uint32_t>(frames), &y16, &y);
            const int32_t length = static_cast<int32_t>(x.size());
            const int32_t input_frames = frame_count(length);
            std::vector<double> plain_x(x.size(), -1.0), plain_y(x.size(), -1.0);
            std::vector<double> pcm_x(x.size(), -2.0), pcm_y(x.size(), -2.0);
            const int32_t plain_length = remove_frames(x.data(), y.data(), length, input_frames, plain_x.data(), plain_y.data());
            const int32_t pcm_length = remove_frames(x16.data(), y16.data(), length, input_frames, pcm_x.data(), pcm_y.data());
            EXPECT_EQ(pcm_length, plain_length) << frames;
            if (frames >= 40) {
                EXPECT_LT(plain_length, FRAME_HOP * (input_frames + 1)) << "some frames should be dropped";
            }
            EXPECT_EQ(std::memcmp(pcm_x.data(), plain_x.data(), x.size() * sizeof(double)), 0) << frames;
            EXPECT_EQ(std::memcmp(pcm_y.data(), plain_y.data(), y.size() * sizeof(double)), 0) << frames;
        }
    }
}

// ---------------------------------------------------------- whole pipeline

TEST(FastPipeline, ScoresAreThePlainBitsForEveryBatchRemainder) {
    // Lengths whose kept frames and segments leave every remainder modulo
    // eight, with silent stretches that removal drops.
    std::vector<int32_t> remainders;
    for (int32_t extra = 0; extra < 8; extra++) {
        const int32_t n = 9000 + 128 * 3 * extra + 37 * extra;
        std::vector<int16_t> ref = speechlike(n, 40 + static_cast<uint32_t>(extra));
        std::vector<int16_t> deg = speechlike(n, 90 + static_cast<uint32_t>(extra), 5000.0);
        for (int32_t i = 0; i < n; i++) {
            deg[i] = static_cast<int16_t>(deg[i] / 2 + ref[i] / 2);
            if (i > 2000 && i < 2000 + 700 * (extra % 3)) ref[i] = 0;
        }
        MeasureResult plain{};
        {
            IsaLimit limit(ISA_PLAIN);
            plain = measure_run(ref, deg);
        }
        IsaLimit limit(ISA_AVX512);
        const MeasureResult fast = measure_run(ref, deg);
        EXPECT_TRUE(same_bits(fast.stoi, plain.stoi)) << n << ": " << fast.stoi << " " << plain.stoi;
        EXPECT_TRUE(same_bits(fast.estoi, plain.estoi)) << n << ": " << fast.estoi << " " << plain.estoi;
        // The frames that survive removal, as the pipeline counts them.
        hann_window(analysis_window, FRAME_LENGTH);
        std::vector<double> xs(static_cast<size_t>(n)), ys(xs.size());
        const int32_t kept = remove_frames(ref.data(), deg.data(), n, frame_count(n), xs.data(), ys.data());
        remainders.push_back(frame_count(kept) % 8);
    }
    std::sort(remainders.begin(), remainders.end());
    EXPECT_EQ(remainders, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
