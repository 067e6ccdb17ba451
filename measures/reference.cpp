// The measures of the reference profile (reference.h), streamed: a run
// holds the frames under way, the overlap-add's last half frame, a batch of
// rebuilt frames waiting for their spectra and the envelopes of the last 30
// frames, whatever the length of the signals; only the details, when asked
// for, grow with it.
#include "measures/reference.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "measures/correlation.h"
#include "measures/power_spectrum.h"
#include "measures/silence.h"

namespace kelvor {

namespace {

constexpr int32_t N = SEGMENT_LENGTH;  // frames per segment
constexpr int32_t J = BAND_COUNT;
constexpr int32_t HOP = FRAME_HOP;
constexpr int32_t BATCH = 8;           // rebuilt frames per signal transformed together
constexpr int32_t NOISE_PER_SEGMENT = 4 * J * N;

double noise_table[REFERENCE_NOISE_PERIOD];
std::once_flag noise_once;

uint64_t splitmix64(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void build_noise() {
    uint64_t state = 0;
    const double two_pi = 6.283185307179586476925;
    for (int32_t i = 0; i < REFERENCE_NOISE_PERIOD; i += 2) {
        const double u1 = static_cast<double>(splitmix64(&state) >> 11) * 0x1p-53;
        const double u2 = static_cast<double>(splitmix64(&state) >> 11) * 0x1p-53;
        const double r = std::sqrt(-2.0 * std::log(1.0 - u1));
        noise_table[i] = r * std::cos(two_pi * u2);
        if (i + 1 < REFERENCE_NOISE_PERIOD) noise_table[i + 1] = r * std::sin(two_pi * u2);
    }
}

// The level in dB of one frame of x (FRAME_LENGTH samples).
double frame_level(const double* x, const double* window) {
    double sum = 0.0;
    for (int32_t n = 0; n < FRAME_LENGTH; n++) {
        const double v = x[n] * window[n];
        sum = sum + v * v;
    }
    return 20.0 * std::log10(std::sqrt(sum) + REFERENCE_EPS);
}

// A growing array without exceptions; `failed` once it could not grow.
template <typename T>
struct Growing {
    T* data = nullptr;
    int64_t size = 0;
    int64_t capacity = 0;
    bool failed = false;

    void push(T v) {
        if (failed) return;
        if (size == capacity) {
            const int64_t wanted = capacity == 0 ? 1024 : 2 * capacity;
            T* grown = static_cast<T*>(std::realloc(data, static_cast<size_t>(wanted) * sizeof(T)));
            if (grown == nullptr) {
                failed = true;
                return;
            }
            data = grown;
            capacity = wanted;
        }
        data[size++] = v;
    }
    void release() {
        std::free(data);
        data = nullptr;
        size = capacity = 0;
    }
};

// The sum of a row of `count` values, ascending.
inline double sum_of(const double* v, int32_t count) {
    double s = 0.0;
    for (int32_t i = 0; i < count; i++) s = s + v[i];
    return s;
}

inline double squares_of(const double* v, int32_t count) {
    double s = 0.0;
    for (int32_t i = 0; i < count; i++) s = s + v[i] * v[i];
    return s;
}

// Makes `count` values, `stride` apart, zero-mean and unit-norm, after
// adding eps times the noise g (same layout). Values left without spread
// become zeros.
void normalise(double* v, const double* g, int32_t count, int32_t stride, int32_t g_stride) {
    double sum = 0.0;
    for (int32_t i = 0; i < count; i++) {
        v[i * stride] = v[i * stride] + REFERENCE_EPS * g[i * g_stride];
        sum = sum + v[i * stride];
    }
    const double mean = sum / count;
    double squares = 0.0;
    for (int32_t i = 0; i < count; i++) {
        v[i * stride] = v[i * stride] - mean;
        squares = squares + v[i * stride] * v[i * stride];
    }
    if (squares > 0.0) {
        const double inverse = 1.0 / std::sqrt(squares);
        for (int32_t i = 0; i < count; i++) v[i * stride] = v[i * stride] * inverse;
    } else {
        for (int32_t i = 0; i < count; i++) v[i * stride] = 0.0;
    }
}

// The noise of one segment, 1800 values from `base` on, wrapping.
void segment_noise(int32_t base, double* g) {
    const double* table = noise_table;
    int32_t first = REFERENCE_NOISE_PERIOD - base;
    if (first > NOISE_PER_SEGMENT) first = NOISE_PER_SEGMENT;
    std::memcpy(g, table + base, static_cast<size_t>(first) * sizeof(double));
    std::memcpy(g + first, table, static_cast<size_t>(NOISE_PER_SEGMENT - first) * sizeof(double));
}

// ESTOI of one segment: x, y are J rows of N values (band j at j * N),
// overwritten.
double estoi_of(double* x, double* y, const double* g) {
    for (int32_t j = 0; j < J; j++) normalise(x + j * N, g + j * N, N, 1, 1);
    for (int32_t n = 0; n < N; n++) normalise(x + n, g + J * N + n, J, N, N);
    for (int32_t j = 0; j < J; j++) normalise(y + j * N, g + 2 * J * N + j * N, N, 1, 1);
    for (int32_t n = 0; n < N; n++) normalise(y + n, g + 3 * J * N + n, J, N, N);
    double sum = 0.0;
    for (int32_t i = 0; i < J * N; i++) sum = sum + x[i] * y[i];
    return sum / N;
}

// STOI correlation of one band of a segment (N values each).
double stoi_of(const double* x, const double* y, double clip) {
    const double scale = std::sqrt(squares_of(x, N)) / (std::sqrt(squares_of(y, N)) + REFERENCE_EPS);
    double yp[N];
    for (int32_t n = 0; n < N; n++) {
        const double scaled = y[n] * scale;
        const double bound = x[n] * clip;
        yp[n] = scaled < bound ? scaled : bound;
    }
    const double mx = sum_of(x, N) / N;
    const double my = sum_of(yp, N) / N;
    double xz[N];
    for (int32_t n = 0; n < N; n++) {
        xz[n] = x[n] - mx;
        yp[n] = yp[n] - my;
    }
    const double nx = std::sqrt(squares_of(xz, N)) + REFERENCE_EPS;
    const double ny = std::sqrt(squares_of(yp, N)) + REFERENCE_EPS;
    double sum = 0.0;
    for (int32_t n = 0; n < N; n++) sum = sum + (xz[n] / nx) * (yp[n] / ny);
    return sum;
}

}  // namespace

const double* reference_noise() {
    std::call_once(noise_once, build_noise);
    return noise_table;
}

// ------------------------------------------------------------- level scan

void level_scan_start(LevelScan* scan) {
    hann_window(scan->window, FRAME_LENGTH);
    scan->pending_count = 0;
    scan->frames = 0;
    scan->loudest = -std::numeric_limits<double>::infinity();
}

void level_scan_feed(LevelScan* scan, const double* x, int32_t count) {
    while (count > 0) {
        int32_t take = FRAME_LENGTH + 1 - scan->pending_count;
        if (take > count) take = count;
        std::memcpy(scan->pending + scan->pending_count, x, static_cast<size_t>(take) * sizeof(double));
        scan->pending_count += take;
        x += take;
        count -= take;
        if (scan->pending_count == FRAME_LENGTH + 1) {
            const double level = frame_level(scan->pending, scan->window);
            if (level > scan->loudest) scan->loudest = level;
            scan->frames++;
            std::memmove(scan->pending, scan->pending + HOP, static_cast<size_t>(FRAME_LENGTH + 1 - HOP) * sizeof(double));
            scan->pending_count -= HOP;
        }
    }
}

// -------------------------------------------------------------- the run

struct ReferenceRun {
    double window[FRAME_LENGTH];
    double loudest;
    double clip;
    bool keep_details;

    // Input frames under way.
    double px[FRAME_LENGTH + 1];
    double py[FRAME_LENGTH + 1];
    int32_t pending;
    int64_t frames;  // input frames seen
    int64_t kept;    // input frames kept

    // Overlap-add: the second half of the last kept frame, and the last
    // finished block of HOP samples of the rebuilt signals.
    double tail_x[HOP];
    double tail_y[HOP];
    double block_x[HOP];
    double block_y[HOP];

    // Rebuilt frames waiting for their spectra: x frames, then y frames.
    double batch[2 * BATCH * FRAME_LENGTH];
    double power[2 * BATCH * POWER_BINS];
    int32_t batched;
    int32_t band_lo[J];  // bins of band j: band_lo[j] .. band_hi[j] - 1
    int32_t band_hi[J];

    // Envelopes of the last N frames, ring by frame: [slot][band].
    double env_x[N][J];
    double env_y[N][J];
    int64_t envelopes;  // envelope frames so far

    int64_t segments;
    int32_t noise_base;  // (1800 * segments) mod the period
    double stoi_sum;
    double estoi_sum;

    Growing<int32_t> kept_frames;
    Growing<double> correlations;  // segment-major while streaming
    Growing<double> estoi_values;
    double* band_major;            // the correlations band-major, after finish
};

namespace {

void segment(ReferenceRun* r) {
    double x[J * N];
    double y[J * N];
    const int64_t first = r->envelopes - N;  // oldest frame of the segment
    for (int32_t n = 0; n < N; n++) {
        const int32_t slot = static_cast<int32_t>((first + n) % N);
        for (int32_t j = 0; j < J; j++) {
            x[j * N + n] = r->env_x[slot][j];
            y[j * N + n] = r->env_y[slot][j];
        }
    }
    double band_sum = 0.0;
    for (int32_t j = 0; j < J; j++) {
        const double d = stoi_of(x + j * N, y + j * N, r->clip);
        band_sum = band_sum + d;
        if (r->keep_details) r->correlations.push(d);
    }
    r->stoi_sum = r->stoi_sum + band_sum;

    double g[NOISE_PER_SEGMENT];
    segment_noise(r->noise_base, g);
    const double e = estoi_of(x, y, g);
    r->estoi_sum = r->estoi_sum + e;
    if (r->keep_details) r->estoi_values.push(e);

    r->segments++;
    r->noise_base += NOISE_PER_SEGMENT;
    if (r->noise_base >= REFERENCE_NOISE_PERIOD) r->noise_base -= REFERENCE_NOISE_PERIOD;
}

// Spectra, envelopes and segments of the batched frames.
void flush(ReferenceRun* r) {
    const int32_t count = r->batched;
    if (count == 0) return;
    // x frames sit at 0 .. count - 1, y frames from BATCH on; a short batch
    // moves the y frames down so that the transform sees them contiguous.
    if (count < BATCH) {
        std::memmove(r->batch + static_cast<size_t>(count) * FRAME_LENGTH,
                     r->batch + static_cast<size_t>(BATCH) * FRAME_LENGTH,
                     static_cast<size_t>(count) * FRAME_LENGTH * sizeof(double));
    }
    power_spectra(r->batch, 2 * count, r->power);
    for (int32_t t = 0; t < count; t++) {
        const double* px = r->power + static_cast<size_t>(t) * POWER_BINS;
        const double* py = r->power + static_cast<size_t>(count + t) * POWER_BINS;
        const int32_t slot = static_cast<int32_t>(r->envelopes % N);
        for (int32_t j = 0; j < J; j++) {
            double sx = 0.0;
            double sy = 0.0;
            for (int32_t k = r->band_lo[j]; k < r->band_hi[j]; k++) {
                sx = sx + px[k];
                sy = sy + py[k];
            }
            r->env_x[slot][j] = std::sqrt(sx);
            r->env_y[slot][j] = std::sqrt(sy);
        }
        r->envelopes++;
        if (r->envelopes >= N) segment(r);
    }
    r->batched = 0;
}

// A rebuilt frame of both signals: the last finished block and the one just
// finished, weighted.
void rebuilt_frame(ReferenceRun* r, const double* bx, const double* by) {
    double* fx = r->batch + static_cast<size_t>(r->batched) * FRAME_LENGTH;
    double* fy = r->batch + static_cast<size_t>(BATCH + r->batched) * FRAME_LENGTH;
    for (int32_t n = 0; n < HOP; n++) {
        fx[n] = r->block_x[n] * r->window[n];
        fy[n] = r->block_y[n] * r->window[n];
        fx[HOP + n] = bx[n] * r->window[HOP + n];
        fy[HOP + n] = by[n] * r->window[HOP + n];
    }
    if (++r->batched == BATCH) flush(r);
}

// One input frame (the FRAME_LENGTH samples at px, py).
void input_frame(ReferenceRun* r) {
    const int64_t index = r->frames++;
    if (!(r->loudest - SILENCE_RANGE_DB - frame_level(r->px, r->window) < 0.0)) return;
    if (r->keep_details) r->kept_frames.push(static_cast<int32_t>(index));
    double bx[HOP];
    double by[HOP];
    for (int32_t n = 0; n < HOP; n++) {
        bx[n] = r->tail_x[n] + r->px[n] * r->window[n];
        by[n] = r->tail_y[n] + r->py[n] * r->window[n];
        r->tail_x[n] = r->px[HOP + n] * r->window[HOP + n];
        r->tail_y[n] = r->py[HOP + n] * r->window[HOP + n];
    }
    if (r->kept > 0) rebuilt_frame(r, bx, by);
    std::memcpy(r->block_x, bx, sizeof bx);
    std::memcpy(r->block_y, by, sizeof by);
    r->kept++;
}

}  // namespace

ReferenceRun* reference_run_create(double loudest, bool keep_details) {
    ReferenceRun* r = static_cast<ReferenceRun*>(std::malloc(sizeof(ReferenceRun)));
    if (r == nullptr) return nullptr;
    reference_noise();
    hann_window(r->window, FRAME_LENGTH);
    r->loudest = loudest;
    r->clip = 1.0 + std::pow(10.0, 15.0 / 20.0);
    r->keep_details = keep_details;
    r->pending = 0;
    r->frames = 0;
    r->kept = 0;
    for (int32_t n = 0; n < HOP; n++) r->tail_x[n] = r->tail_y[n] = 0.0;
    r->batched = 0;
    // The bins of each band, from the band mask's table (band by band,
    // bins ascending, each band one run of bins).
    for (int32_t i = 0; i < BAND_BIN_COUNT; i++) {
        const int32_t j = band_bin_table[i] / BIN_COUNT;
        const int32_t bin = band_bin_table[i] % BIN_COUNT;
        if (i == 0 || band_bin_table[i - 1] / BIN_COUNT != j) r->band_lo[j] = bin;
        r->band_hi[j] = bin + 1;
    }
    r->envelopes = 0;
    r->segments = 0;
    r->noise_base = 0;
    r->stoi_sum = 0.0;
    r->estoi_sum = 0.0;
    new (&r->kept_frames) Growing<int32_t>();
    new (&r->correlations) Growing<double>();
    new (&r->estoi_values) Growing<double>();
    r->band_major = nullptr;
    return r;
}

void reference_run_destroy(ReferenceRun* r) {
    if (r == nullptr) return;
    r->kept_frames.release();
    r->correlations.release();
    r->estoi_values.release();
    std::free(r->band_major);
    std::free(r);
}

void reference_run_feed(ReferenceRun* r, const double* x, const double* y, int32_t count) {
    while (count > 0) {
        int32_t take = FRAME_LENGTH + 1 - r->pending;
        if (take > count) take = count;
        std::memcpy(r->px + r->pending, x, static_cast<size_t>(take) * sizeof(double));
        std::memcpy(r->py + r->pending, y, static_cast<size_t>(take) * sizeof(double));
        r->pending += take;
        x += take;
        y += take;
        count -= take;
        if (r->pending == FRAME_LENGTH + 1) {
            input_frame(r);
            const size_t keep = static_cast<size_t>(FRAME_LENGTH + 1 - HOP) * sizeof(double);
            std::memmove(r->px, r->px + HOP, keep);
            std::memmove(r->py, r->py + HOP, keep);
            r->pending -= HOP;
        }
    }
}

MeasureStatus reference_run_finish(ReferenceRun* r, double* stoi, double* estoi) {
    flush(r);
    if (r->segments == 0) return MEASURE_TOO_SHORT;
    if (r->kept_frames.failed || r->correlations.failed || r->estoi_values.failed) return MEASURE_NO_MEMORY;
    const double M = static_cast<double>(r->segments);
    *stoi = r->stoi_sum / (J * M);
    *estoi = r->estoi_sum / M;
    if (r->keep_details) {
        const int64_t segments = r->segments;
        r->band_major = static_cast<double*>(std::malloc(static_cast<size_t>(segments * J) * sizeof(double)));
        if (r->band_major == nullptr) return MEASURE_NO_MEMORY;
        for (int64_t m = 0; m < segments; m++) {
            for (int32_t j = 0; j < J; j++) r->band_major[j * segments + m] = r->correlations.data[m * J + j];
        }
    }
    return MEASURE_OK;
}

void reference_run_details(const ReferenceRun* r, ReferenceDetails* d) {
    d->frames = r->frames;
    d->kept_count = static_cast<int32_t>(r->kept_frames.size);
    d->kept_frames = r->kept_frames.data;
    d->segments = static_cast<int32_t>(r->segments);
    d->stoi_correlation = r->band_major;
    d->estoi_segment = r->estoi_values.data;
}

}  // namespace kelvor
