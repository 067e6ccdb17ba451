#include "measures/correlation.h"

#include <cmath>
#include <cstddef>

#include "common/cpu.h"
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

void stoi_correlations(const double* X, const double* Y, int32_t frames, int32_t segments,
                       double c, double* d_interm, double* xn_tmp, double* yn_tmp) {
    // Whole batches of segments in the vector kernel, the rest here.
    int32_t done = 0;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: {
        const int32_t batches = segments / CORRELATION_LANES_AVX512;
        stoi_batches_avx512(X, Y, frames, segments, 0, batches, c, d_interm);
        done = batches * CORRELATION_LANES_AVX512;
        break;
    }
    case ISA_AVX2: {
        const int32_t batches = segments / CORRELATION_LANES_AVX2;
        stoi_batches_avx2(X, Y, frames, segments, 0, batches, c, d_interm);
        done = batches * CORRELATION_LANES_AVX2;
        break;
    }
#endif
    default:
        break;
    }
    stoi_segments(X, Y, frames, segments, done, segments, c, d_interm, xn_tmp, yn_tmp);
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

void estoi_values(const double* X, const double* Y, int32_t frames, int32_t segments, double* d1,
                  uint16_t* noise) {
    // Whole batches of segments in the vector kernel, the rest one by one;
    // the kernel leaves the noise state where the segments one by one would.
    int32_t done = 0;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: {
        const int32_t batches = segments / CORRELATION_LANES_AVX512;
        estoi_batches_avx512(X, Y, frames, 0, batches, NoiseJumps{jumps().mul, jumps().add}, noise, d1);
        done = batches * CORRELATION_LANES_AVX512;
        break;
    }
    case ISA_AVX2: {
        const int32_t batches = segments / CORRELATION_LANES_AVX2;
        estoi_batches_avx2(X, Y, frames, 0, batches, NoiseJumps{jumps().mul, jumps().add}, noise, d1);
        done = batches * CORRELATION_LANES_AVX2;
        break;
    }
#endif
    default:
        break;
    }
    for (int32_t m = done; m < segments; m++) d1[m] = estoi_segment(X, Y, frames, m, noise);
}

}  // namespace kelvor
