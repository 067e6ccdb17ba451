#include "measures/correlation.h"

#include <cmath>
#include <cstddef>

#include "common/cpu.h"
#include "common/parallel.h"
#include "measures/kernels.h"
#include "measures/spectrum.h"

namespace kelvor {

namespace {

// The noise value of one generator state. Every step is exact: v has 16
// bits and the factors are powers of two or small integers.
inline double noise_value(uint32_t state) {
    const double v = static_cast<double>(static_cast<int32_t>(state) - 32768);
    return ((v * 0x1p-15) * 2.0 - 1.0) * 3.0 * 0x1p-52;
}

// Jump-ahead of the generator: state i steps after s is
// (mul[i] * s + add[i]) mod 65536, so a block of draws has no chain of
// dependent steps. Built once, on first use, and only read afterwards.
constexpr int32_t NOISE_BLOCK = 1800;  // the draws of one ESTOI segment

struct JumpTables {
    uint16_t mul[NOISE_BLOCK + 1];
    uint16_t add[NOISE_BLOCK + 1];
};

const JumpTables& jumps() {
    static const JumpTables tables = [] {
        JumpTables t;
        uint32_t a = 1;
        uint32_t c = 0;
        for (int32_t i = 0; i <= NOISE_BLOCK; i++) {
            t.mul[i] = static_cast<uint16_t>(a);
            t.add[i] = static_cast<uint16_t>(c);
            a = (521u * a) & 0xFFFFu;
            c = (521u * c + 259u) & 0xFFFFu;
        }
        return t;
    }();
    return tables;
}

}  // namespace

double noise_sample(uint16_t* state) {
    *state = static_cast<uint16_t>((521u * *state + 259u) & 0xFFFFu);
    return noise_value(*state);
}

void noise_block(uint16_t* state, double* out, int32_t count) {
    const JumpTables& j = jumps();
    while (count > 0) {
        const int32_t n = count < NOISE_BLOCK ? count : NOISE_BLOCK;
        const uint32_t s0 = *state;
        for (int32_t i = 0; i < n; i++) {
            out[i] = noise_value((j.mul[i + 1] * s0 + j.add[i + 1]) & 0xFFFFu);
        }
        *state = static_cast<uint16_t>((j.mul[n] * s0 + j.add[n]) & 0xFFFFu);
        out += n;
        count -= n;
    }
}

void add_noise(uint16_t* state, double* matrix, int32_t rows, int32_t columns) {
    const int32_t count = rows * columns;
    for (int32_t i = 0; i < count; i++) {
        const double e = noise_sample(state);
        matrix[i] = e + matrix[i];
    }
}

namespace {

// 1/r, or 1 when r is zero or not a number.
double inverse_norm(double r) {
    if (r == 0.0 || std::isnan(r)) return 1.0;
    return 1.0 / r;
}

// out = (v - mean(v)) scaled to unit norm, for the 30 values of a segment.
void centre_and_normalise(const double* v, double* out) {
    double sum = 0.0;
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = sum + v[n];
    const double mean = sum / SEGMENT_LENGTH;
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) out[n] = v[n] - mean;
    double q = 0.0;
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) q = q + out[n] * out[n];
    const double s = inverse_norm(std::sqrt(q));
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) out[n] = s * out[n];
}

}  // namespace

double segment_correlation(const double* x, const double* y, double* xn, double* yn) {
    centre_and_normalise(x, xn);
    centre_and_normalise(y, yn);
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) yn[n] = xn[n] * yn[n];
    double sum = 0.0;
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = sum + yn[n];
    return sum;
}

namespace {

// The plain loop over segments begin .. end - 1.
void stoi_segments(const double* X, const double* Y, int32_t frames, int32_t segments, int32_t begin,
                   int32_t end, double c, double* d_interm, double* xn_tmp, double* yn_tmp) {
    double alpha[BAND_COUNT];
    double scaled[BAND_COUNT][SEGMENT_LENGTH];
    double clipped[SEGMENT_LENGTH];

    for (int32_t m = begin; m < end; m++) {
        // Scale factors that give each degraded band the reference's energy.
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            const double* x = X + static_cast<size_t>(j) * frames + m;
            const double* y = Y + static_cast<size_t>(j) * frames + m;
            double sx = 0.0;
            double sy = 0.0;
            for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
                sx = sx + x[n] * x[n];
                sy = sy + y[n] * y[n];
            }
            // A degraded band that is silent over the whole segment (zero
            // padding, a digital dropout) cannot be scaled to any energy; it
            // is taken as carrying nothing, which correlates 0, instead of an
            // infinite factor that would make the whole score not a number.
            alpha[j] = sy == 0.0 ? 0.0 : std::sqrt(sx / sy);
        }
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            const double* y = Y + static_cast<size_t>(j) * frames + m;
            for (int32_t n = 0; n < SEGMENT_LENGTH; n++) scaled[j][n] = alpha[j] * y[n];
        }
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            const double* x = X + static_cast<size_t>(j) * frames + m;
            // Clipping bound x + c * x, rounded after the product and after
            // the sum.
            for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
                xn_tmp[n] = c * x[n];
                xn_tmp[n] = x[n] + xn_tmp[n];
            }
            for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
                clipped[n] = scaled[j][n] >= xn_tmp[n] ? xn_tmp[n] : scaled[j][n];
            }
            d_interm[static_cast<size_t>(j) * segments + m] =
                segment_correlation(x, clipped, xn_tmp, yn_tmp);
        }
    }
}

}  // namespace

namespace {

// Segments are independent of each other: both correlations share them out
// between threads (common/parallel.h) in pieces of at least this many
// segments, in whole batches of the vector kernel's width but for the last
// piece's last batch. Each segment's value is formed as a single pass over
// the segments forms it; the sums over the segments stay with the caller.
constexpr int32_t MIN_SEGMENTS_PER_PIECE = 64;

// The vector kernel's width at the current level (1 without one).
int32_t correlation_lanes() {
    return measure_lanes(isa_level());
}

struct StoiJob {
    const double* X;
    const double* Y;
    int32_t frames;
    int32_t segments;
    double c;
    double* d_interm;
    double* xn_tmp;  // piece 0's scratch; the others use their own
    double* yn_tmp;
};

void stoi_piece(void* context, int32_t piece, int32_t pieces) {
    const StoiJob* job = static_cast<const StoiJob*>(context);
    double own_xn[SEGMENT_LENGTH];
    double own_yn[SEGMENT_LENGTH];
    const int32_t lanes = correlation_lanes();
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share_batches(job->segments, lanes, piece, pieces, &begin, &end);
    // Whole batches of segments in the vector kernel, the rest here.
    const int32_t batches = (end - begin) / lanes;
    int32_t done = begin;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512:
        stoi_batches_avx512(job->X, job->Y, job->frames, job->segments, begin, batches, job->c, job->d_interm);
        done = begin + batches * lanes;
        break;
    case ISA_AVX2:
        stoi_batches_avx2(job->X, job->Y, job->frames, job->segments, begin, batches, job->c, job->d_interm);
        done = begin + batches * lanes;
        break;
#endif
    default:
        break;
    }
    stoi_segments(job->X, job->Y, job->frames, job->segments, done, end, job->c, job->d_interm,
                  piece == 0 ? job->xn_tmp : own_xn, piece == 0 ? job->yn_tmp : own_yn);
}

}  // namespace

void stoi_correlations(const double* X, const double* Y, int32_t frames, int32_t segments,
                       double c, double* d_interm, double* xn_tmp, double* yn_tmp) {
    StoiJob job{X, Y, frames, segments, c, d_interm, xn_tmp, yn_tmp};
    parallel_run(parallel_pieces(segments, MIN_SEGMENTS_PER_PIECE), stoi_piece, &job);
}

namespace {

typedef double SegmentMatrix[BAND_COUNT][SEGMENT_LENGTH];

// Centres each band row on its mean.
void centre_rows(SegmentMatrix a) {
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        double sum = 0.0;
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum = sum + a[j][n];
        const double mean = sum / SEGMENT_LENGTH;
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) a[j][n] = a[j][n] - mean;
    }
}

void normalise_rows(SegmentMatrix a) {
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        double q = 0.0;
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) q = q + a[j][n] * a[j][n];
        const double g = inverse_norm(std::sqrt(q));
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) a[j][n] = g * a[j][n];
    }
}

// Centres each frame column on its mean, formed with the rounded 1/15.
void centre_columns(SegmentMatrix a) {
    const double h = 1.0 / BAND_COUNT;
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
        double sum = 0.0;
        for (int32_t j = 0; j < BAND_COUNT; j++) sum = sum + a[j][n];
        const double mean = sum * h;
        for (int32_t j = 0; j < BAND_COUNT; j++) a[j][n] = a[j][n] - mean;
    }
}

void normalise_columns(SegmentMatrix a) {
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
        double q = 0.0;
        for (int32_t j = 0; j < BAND_COUNT; j++) q = q + a[j][n] * a[j][n];
        const double g = inverse_norm(std::sqrt(q));
        for (int32_t j = 0; j < BAND_COUNT; j++) a[j][n] = a[j][n] * g;
    }
}

}  // namespace

double estoi_segment_plain(const double* X, const double* Y, int32_t frames, int32_t m, uint16_t* noise) {
    SegmentMatrix a;
    SegmentMatrix b;

    // Noisy copies; the reference element takes its draw first.
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        const double* x = X + static_cast<size_t>(j) * frames + m;
        const double* y = Y + static_cast<size_t>(j) * frames + m;
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            const double e1 = noise_sample(noise);
            a[j][n] = e1 + x[n];
            const double e2 = noise_sample(noise);
            b[j][n] = e2 + y[n];
        }
    }

    centre_rows(a);
    centre_rows(b);
    normalise_rows(a);
    normalise_rows(b);
    add_noise(noise, &a[0][0], BAND_COUNT, SEGMENT_LENGTH);
    add_noise(noise, &b[0][0], BAND_COUNT, SEGMENT_LENGTH);
    centre_columns(a);
    centre_columns(b);
    normalise_columns(a);
    normalise_columns(b);

    const double* pa = &a[0][0];
    const double* pb = &b[0][0];
    double sum = 0.0;
    for (int32_t i = 0; i < BAND_COUNT * SEGMENT_LENGTH; i++) sum = sum + pa[i] * pb[i];
    const double k = 0.03333333333333333;  // 1/30, applied by multiplication
    return sum * k;
}

namespace {

// Column passes with the frame index innermost: each column's sum still runs
// over the bands in ascending order, but 30 columns advance side by side.
void centre_columns_by_rows(SegmentMatrix a) {
    const double h = 1.0 / BAND_COUNT;
    double sum[SEGMENT_LENGTH] = {};
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) sum[n] = sum[n] + a[j][n];
    }
    double mean[SEGMENT_LENGTH];
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) mean[n] = sum[n] * h;
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) a[j][n] = a[j][n] - mean[n];
    }
}

void normalise_columns_by_rows(SegmentMatrix a) {
    double q[SEGMENT_LENGTH] = {};
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) q[n] = q[n] + a[j][n] * a[j][n];
    }
    double g[SEGMENT_LENGTH];
    for (int32_t n = 0; n < SEGMENT_LENGTH; n++) g[n] = inverse_norm(std::sqrt(q[n]));
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) a[j][n] = a[j][n] * g[n];
    }
}

}  // namespace

double estoi_segment(const double* X, const double* Y, int32_t frames, int32_t m, uint16_t* noise) {
    if (isa_level() == ISA_PLAIN) return estoi_segment_plain(X, Y, frames, m, noise);
    // The segment's 1800 draws at once, consumed in the order of the plain
    // steps: reference and degraded element by element, then 450 for each
    // normalised matrix.
    constexpr int32_t CELLS = BAND_COUNT * SEGMENT_LENGTH;
    double e[4 * CELLS];
    noise_block(noise, e, 4 * CELLS);

    SegmentMatrix a;
    SegmentMatrix b;
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        const double* x = X + static_cast<size_t>(j) * frames + m;
        const double* y = Y + static_cast<size_t>(j) * frames + m;
        const double* ej = e + 2 * SEGMENT_LENGTH * j;
        for (int32_t n = 0; n < SEGMENT_LENGTH; n++) {
            a[j][n] = ej[2 * n] + x[n];
            b[j][n] = ej[2 * n + 1] + y[n];
        }
    }

    centre_rows(a);
    centre_rows(b);
    normalise_rows(a);
    normalise_rows(b);
    double* pa = &a[0][0];
    double* pb = &b[0][0];
    for (int32_t i = 0; i < CELLS; i++) pa[i] = e[2 * CELLS + i] + pa[i];
    for (int32_t i = 0; i < CELLS; i++) pb[i] = e[3 * CELLS + i] + pb[i];
    centre_columns_by_rows(a);
    centre_columns_by_rows(b);
    normalise_columns_by_rows(a);
    normalise_columns_by_rows(b);

    double sum = 0.0;
    for (int32_t i = 0; i < CELLS; i++) sum = sum + pa[i] * pb[i];
    const double k = 0.03333333333333333;  // 1/30, applied by multiplication
    return sum * k;
}

uint16_t noise_state_after(uint16_t state, int64_t draws) {
    // The affine step s -> (521 s + 259) mod 65536 raised to the power
    // `draws` by squaring: (a, c) stands for s -> a s + c.
    uint32_t a = 1;
    uint32_t c = 0;
    uint32_t step_a = 521;
    uint32_t step_c = 259;
    while (draws > 0) {
        if (draws & 1) {
            // The steps so far, then one more block of them: both maps
            // commute, being powers of the same step.
            c = (step_a * c + step_c) & 0xFFFFu;
            a = (step_a * a) & 0xFFFFu;
        }
        step_c = (step_a * step_c + step_c) & 0xFFFFu;
        step_a = (step_a * step_a) & 0xFFFFu;
        draws >>= 1;
    }
    return static_cast<uint16_t>((a * state + c) & 0xFFFFu);
}

namespace {

struct EstoiJob {
    const double* X;
    const double* Y;
    int32_t frames;
    int32_t segments;
    double* d1;
    uint16_t noise;  // the state before segment 0
};

// A piece starts the generator where the segments before its own leave it:
// each segment draws NOISE_BLOCK values.
void estoi_piece(void* context, int32_t piece, int32_t pieces) {
    const EstoiJob* job = static_cast<const EstoiJob*>(context);
    const int32_t lanes = correlation_lanes();
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share_batches(job->segments, lanes, piece, pieces, &begin, &end);
    uint16_t noise = noise_state_after(job->noise, int64_t{NOISE_BLOCK} * begin);
    // Whole batches of segments in the vector kernel, the rest one by one;
    // the kernel leaves the noise state where the segments one by one would.
    const int32_t batches = (end - begin) / lanes;
    int32_t done = begin;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512:
        estoi_batches_avx512(job->X, job->Y, job->frames, begin, batches, NoiseJumps{jumps().mul, jumps().add},
                             &noise, job->d1);
        done = begin + batches * lanes;
        break;
    case ISA_AVX2:
        estoi_batches_avx2(job->X, job->Y, job->frames, begin, batches, NoiseJumps{jumps().mul, jumps().add},
                           &noise, job->d1);
        done = begin + batches * lanes;
        break;
#endif
    default:
        break;
    }
    for (int32_t m = done; m < end; m++) job->d1[m] = estoi_segment(job->X, job->Y, job->frames, m, &noise);
}

}  // namespace

void estoi_values(const double* X, const double* Y, int32_t frames, int32_t segments, double* d1,
                  uint16_t* noise) {
    jumps();  // built here, before any piece reads them
    EstoiJob job{X, Y, frames, segments, d1, *noise};
    parallel_run(parallel_pieces(segments, MIN_SEGMENTS_PER_PIECE), estoi_piece, &job);
    *noise = noise_state_after(*noise, int64_t{NOISE_BLOCK} * (segments > 0 ? segments : 0));
}

}  // namespace kelvor
