// The reference profile's measures with their gradient (reference_gradient.h).
#include "measures/reference_gradient.h"

#include <cmath>
#include <cstring>

#include "common/geometry.h"

#include "measures/kernels.h"
#include "measures/power_spectrum.h"
#include "measures/reference.h"
#include "measures/reference_gradient_impl.h"
#include "measures/silence.h"
#include "measures/spectrum.h"

namespace kelvor {

namespace {

constexpr int32_t J = BAND_COUNT;
constexpr int32_t N = SEGMENT_LENGTH;
constexpr int32_t HOP = FRAME_HOP;
constexpr int32_t SIDE = DOUBLE_LANES_MAX;  // frames or segments side by side in a batch
static_assert(SIDE == 8, "the batches' layout holds eight lanes");

// The frames of a signal of `length` samples at most (the levels' room).
int64_t frame_room(int32_t length) {
    return static_cast<int64_t>(length) / HOP + 1;
}

// The bins of each band (band_lo[j] .. band_hi[j] - 1), from the band
// table (band by band, bins ascending, each band one run of bins).
void band_edges(int32_t* lo, int32_t* hi) {
    for (int32_t i = 0; i < BAND_BIN_COUNT; i++) {
        const int32_t j = band_bin_table[i] / BIN_COUNT;
        const int32_t bin = band_bin_table[i] % BIN_COUNT;
        if (i == 0 || band_bin_table[i - 1] / BIN_COUNT != j) lo[j] = bin;
        hi[j] = bin + 1;
    }
}

// The rebuilt signal of the kept frames, in blocks of HOP samples: block kk
// is the second half of kept frame kk - 1 (none for the first) plus the
// first half of kept frame kk, each weighted by the window; added in the
// order a ReferenceRun adds them.
void overlap_add(const double* x, const int32_t* kept, int32_t count, const double* window, double* out) {
    double tail[HOP];
    for (int32_t n = 0; n < HOP; n++) tail[n] = 0.0;
    for (int32_t kk = 0; kk < count; kk++) {
        const double* frame = x + static_cast<int64_t>(kept[kk]) * HOP;
        double* block = out + static_cast<int64_t>(kk) * HOP;
        for (int32_t n = 0; n < HOP; n++) block[n] = tail[n] + frame[n] * window[n];
        for (int32_t n = 0; n < HOP; n++) tail[n] = frame[HOP + n] * window[HOP + n];
    }
}

// Rebuilt frames t0 .. t0 + count - 1 (blocks t and t + 1), weighted, side
// by side: sample n of frame t0 + l at n * SIDE + l; the lanes past count
// are zeros.
void batch_frames(const double* blocks, int32_t t0, int32_t count, const double* window, double* batch) {
    for (int32_t l = 0; l < SIDE; l++) {
        if (l >= count) {
            for (int32_t n = 0; n < FRAME_LENGTH; n++) batch[n * SIDE + l] = 0.0;
            continue;
        }
        const double* frame = blocks + static_cast<int64_t>(t0 + l) * HOP;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) batch[n * SIDE + l] = frame[n] * window[n];
    }
}

// The band envelopes of the `frames` rebuilt frames, band-major.
void envelopes(const double* blocks, int32_t frames, const double* window, const int32_t* lo, const int32_t* hi,
               IsaLevel level, double* env) {
    alignas(64) double batch[FRAME_LENGTH * SIDE];
    double out[SIDE * J];
    for (int32_t t0 = 0; t0 < frames; t0 += SIDE) {
        const int32_t count = frames - t0 < SIDE ? frames - t0 : SIDE;
        batch_frames(blocks, t0, count, window, batch);
        band_envelopes_lanes_using(level, batch, count, lo, hi, J, out);
        for (int32_t l = 0; l < count; l++) {
            for (int32_t j = 0; j < J; j++) env[static_cast<int64_t>(j) * frames + t0 + l] = out[l * J + j];
        }
    }
}

void segment_gradients_using(IsaLevel level, int32_t count, const SegmentGradientInput& in,
                             const SegmentGradientOutput& out) {
    switch (count == 1 ? ISA_PLAIN : level) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: reference_segment_gradients_avx512(in, out); return;
    case ISA_AVX2: reference_segment_gradients_avx2(in, out); return;
#endif
    default: segment_gradient_batch<plain::Doubles>(in, out); return;
    }
}

void frame_gradients_using(IsaLevel level, const double* frames, int32_t count, const int32_t* lo,
                           const int32_t* hi, const double* const* coef, double* const* out) {
    const PowerTwiddles& tw = power_twiddles();
    switch (level) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: frame_gradients_avx512(frames, count, lo, hi, J, coef, out, tw); return;
    case ISA_AVX2: frame_gradients_avx2(frames, count, lo, hi, J, coef, out, tw); return;
#endif
    default: break;
    }
    for (int32_t l = 0; l < count; l++) {
        double c[2][J];
        const double* lane_coef[2] = {nullptr, nullptr};
        for (int32_t m = 0; m < 2; m++) {
            if (coef[m] == nullptr) continue;
            for (int32_t j = 0; j < J; j++) c[m][j] = coef[m][j * SIDE + l];
            lane_coef[m] = c[m];
        }
        frame_gradient_body<plain::Doubles>([frames, l](int32_t n) { return frames[n * SIDE + l]; }, lo, hi, J,
                                            lane_coef,
                                            [out, l](int32_t m, int32_t n, double v) { out[m][n * SIDE + l] = v; }, tw);
    }
}

}  // namespace

int64_t reference_gradient_workspace(int32_t length) {
    // The levels and the kept frames' indices; the rebuilt signals and the
    // gradients of both scores with respect to them; the envelopes and
    // their gradients.
    const int64_t frames = frame_room(length);
    return 2 * frames + 4 * frames * HOP + 4 * frames * J;
}

MeasureStatus reference_gradient_using(IsaLevel wanted, const double* x, const double* y, int32_t length,
                                       double* workspace, double* stoi, double* estoi, double* grad_stoi,
                                       double* grad_estoi) {
    const IsaLevel level = isa_clamp(wanted);

    // The levels of the reference's frames and the frames kept, as a
    // ReferenceRun decides them.
    const int64_t capacity = frame_room(length);
    double* levels = workspace;
    int32_t* kept = reinterpret_cast<int32_t*>(levels + capacity);
    LevelScan scan;
    level_scan_start(&scan, levels, capacity);
    level_scan_feed(&scan, x, length);
    int32_t kept_count = 0;
    for (int64_t i = 0; i < scan.frames; i++) {
        if (scan.loudest - SILENCE_RANGE_DB - levels[i] < 0.0) kept[kept_count++] = static_cast<int32_t>(i);
    }
    const int32_t frames = kept_count > 0 ? kept_count - 1 : 0;  // rebuilt frames, one envelope frame each
    const int32_t segments = frames - (N - 1);
    if (segments <= 0) return MEASURE_TOO_SHORT;

    double window[FRAME_LENGTH];
    hann_window(window, FRAME_LENGTH);
    int32_t lo[J];
    int32_t hi[J];
    band_edges(lo, hi);
    const int64_t samples = static_cast<int64_t>(kept_count) * HOP;
    const int64_t values = static_cast<int64_t>(frames) * J;
    double* xs = workspace + 2 * capacity;
    double* ys = xs + samples;
    double* gblocks[2] = {ys + samples, ys + 2 * samples};  // by rebuilt sample
    double* ex = ys + 3 * samples;
    double* ey = ex + values;
    double* genv[2] = {ey + values, ey + 2 * values};  // by envelope, band-major
    overlap_add(x, kept, kept_count, window, xs);
    overlap_add(y, kept, kept_count, window, ys);
    envelopes(xs, frames, window, lo, hi, level, ex);
    envelopes(ys, frames, window, lo, hi, level, ey);

    // The scores: the segments in batches, their sums in order.
    const double* noise = reference_noise();
    const double clip = reference_clip();
    const int32_t lanes = measure_lanes(level);
    double stoi_sum = 0.0;
    double estoi_sum = 0.0;
    for (int32_t m = 0; m < segments;) {
        const int32_t count = segments - m >= lanes ? lanes : 1;
        double correlation[SIDE * J];
        double band_sum[SIDE];
        double value[SIDE];
        const SegmentInput in{ex, ey, frames, m, m % REFERENCE_NOISE_PERIOD, noise, clip};
        reference_segments_using(level, count, in, SegmentOutput{correlation, band_sum, value});
        for (int32_t l = 0; l < count; l++) {
            stoi_sum = stoi_sum + band_sum[l];
            estoi_sum = estoi_sum + value[l];
        }
        m += count;
    }
    const double M = static_cast<double>(segments);
    const double stoi_value = stoi_sum / (J * M);
    const double estoi_value = estoi_sum / M;

    if (grad_stoi != nullptr || grad_estoi != nullptr) {
        double* grad[2] = {grad_stoi, grad_estoi};
        for (int32_t s = 0; s < 2; s++) {
            if (grad[s] == nullptr) {
                genv[s] = gblocks[s] = nullptr;
                continue;
            }
            std::memset(genv[s], 0, static_cast<size_t>(values) * sizeof(double));
            std::memset(gblocks[s], 0, static_cast<size_t>(samples) * sizeof(double));
        }

        // Segments: each one's gradient with respect to its 30 frames of
        // envelopes, added to theirs segment by segment.
        for (int32_t m = 0; m < segments;) {
            const int32_t count = segments - m >= lanes ? lanes : 1;
            alignas(64) double part[2][J * N * SIDE];
            const SegmentGradientInput in{SegmentInput{ex, ey, frames, m, m % REFERENCE_NOISE_PERIOD, noise, clip},
                                          1.0 / (J * M), 1.0 / M};
            segment_gradients_using(level, count, in,
                                    SegmentGradientOutput{genv[0] != nullptr ? part[0] : nullptr,
                                                          genv[1] != nullptr ? part[1] : nullptr});
            for (int32_t s = 0; s < 2; s++) {
                if (genv[s] == nullptr) continue;
                for (int32_t l = 0; l < count; l++) {
                    for (int32_t j = 0; j < J; j++) {
                        double* g = genv[s] + static_cast<int64_t>(j) * frames + m + l;
                        for (int32_t n = 0; n < N; n++) g[n] = g[n] + part[s][(j * N + n) * SIDE + l];
                    }
                }
            }
            m += count;
        }

        // Envelopes: each rebuilt frame's gradient, through its window, to
        // the rebuilt samples.
        alignas(64) double batch[FRAME_LENGTH * SIDE];
        alignas(64) double coef[2][J * SIDE];
        alignas(64) double gframe[2][FRAME_LENGTH * SIDE];
        const double* coefs[2] = {genv[0] != nullptr ? coef[0] : nullptr, genv[1] != nullptr ? coef[1] : nullptr};
        double* outs[2] = {gframe[0], gframe[1]};
        for (int32_t t0 = 0; t0 < frames; t0 += SIDE) {
            const int32_t count = frames - t0 < SIDE ? frames - t0 : SIDE;
            batch_frames(ys, t0, count, window, batch);
            for (int32_t s = 0; s < 2; s++) {
                if (genv[s] == nullptr) continue;
                for (int32_t j = 0; j < J; j++) {
                    for (int32_t l = 0; l < SIDE; l++) {
                        const int64_t at = static_cast<int64_t>(j) * frames + t0 + l;
                        coef[s][j * SIDE + l] = l < count && ey[at] > 0.0 ? genv[s][at] / ey[at] : 0.0;
                    }
                }
            }
            frame_gradients_using(level, batch, count, lo, hi, coefs, outs);
            for (int32_t s = 0; s < 2; s++) {
                if (genv[s] == nullptr) continue;
                for (int32_t l = 0; l < count; l++) {
                    double* g = gblocks[s] + static_cast<int64_t>(t0 + l) * HOP;
                    for (int32_t n = 0; n < FRAME_LENGTH; n++) g[n] = g[n] + gframe[s][n * SIDE + l] * window[n];
                }
            }
        }

        // Overlap-add's transpose: kept frame kk's first half went into
        // block kk, its second half into block kk + 1 (nowhere for the last
        // frame), each through the window.
        for (int32_t s = 0; s < 2; s++) {
            if (grad[s] == nullptr) continue;
            std::memset(grad[s], 0, static_cast<size_t>(length) * sizeof(double));
            for (int32_t kk = 0; kk < kept_count; kk++) {
                double* g = grad[s] + static_cast<int64_t>(kept[kk]) * HOP;
                const double* first = gblocks[s] + static_cast<int64_t>(kk) * HOP;
                for (int32_t n = 0; n < HOP; n++) g[n] = g[n] + first[n] * window[n];
                if (kk + 1 == kept_count) continue;
                const double* second = first + HOP;
                for (int32_t n = 0; n < HOP; n++) g[HOP + n] = g[HOP + n] + second[n] * window[HOP + n];
            }
        }
    }
    *stoi = stoi_value;
    *estoi = estoi_value;
    return MEASURE_OK;
}

MeasureStatus reference_gradient(const double* x, const double* y, int32_t length, double* workspace, double* stoi,
                                 double* estoi, double* grad_stoi, double* grad_estoi) {
    return reference_gradient_using(isa_level(), x, y, length, workspace, stoi, estoi, grad_stoi, grad_estoi);
}

}  // namespace kelvor
