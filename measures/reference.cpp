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

#include "common/cpu.h"
#include "measures/correlation.h"
#include "measures/kernels.h"
#include "measures/power_spectrum.h"
#include "measures/reference_segments_impl.h"
#include "measures/silence.h"

namespace kelvor {

namespace {

constexpr int32_t BATCH = DOUBLE_LANES_MAX;  // rebuilt frames per signal transformed together
constexpr int32_t ENVELOPES = 256;     // envelope frames held (more than a segment batch needs)

double noise_table[REFERENCE_NOISE_PERIOD + REFERENCE_NOISE_PADDING];
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
    for (int32_t i = 0; i < REFERENCE_NOISE_PADDING; i++) noise_table[REFERENCE_NOISE_PERIOD + i] = noise_table[i];
}

// The level in dB of one frame of x (FRAME_LENGTH samples), its weighted
// samples left in w. The squares are summed in eight interleaved partial
// sums (sum l takes the samples n = l mod 8, in order), added as
// ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)): one chain of additions
// would cost most of the time of the frame.
double frame_level(const double* x, const double* window, double* w) {
    for (int32_t n = 0; n < FRAME_LENGTH; n++) w[n] = x[n] * window[n];
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (int32_t n = 0; n < FRAME_LENGTH; n += 8) {
        for (int32_t l = 0; l < 8; l++) s[l] = s[l] + w[n + l] * w[n + l];
    }
    const double sum = ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
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

}  // namespace

const double* reference_noise() {
    std::call_once(noise_once, build_noise);
    return noise_table;
}

double reference_clip() {
    return 1.0 + std::pow(10.0, 15.0 / 20.0);
}

// ------------------------------------------------------------- level scan

void level_scan_start(LevelScan* scan, double* levels, int64_t capacity) {
    hann_window(scan->window, FRAME_LENGTH);
    scan->pending_count = 0;
    scan->frames = 0;
    scan->loudest = -std::numeric_limits<double>::infinity();
    scan->levels = levels;
    scan->capacity = levels != nullptr ? capacity : 0;
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
            double weighted[FRAME_LENGTH];
            const double level = frame_level(scan->pending, scan->window, weighted);
            if (level > scan->loudest) scan->loudest = level;
            if (scan->frames < scan->capacity) scan->levels[scan->frames] = level;
            scan->frames++;
            std::memmove(scan->pending, scan->pending + FRAME_HOP,
                         static_cast<size_t>(FRAME_LENGTH + 1 - FRAME_HOP) * sizeof(double));
            scan->pending_count -= FRAME_HOP;
        }
    }
}

// -------------------------------------------------------------- the run

struct ReferenceRun {
    double window[FRAME_LENGTH];
    double loudest;
    double clip;
    bool keep_details;
    const double* levels;  // the first pass's, or null
    int64_t level_count;

    // Samples of the input frames under way (fewer than FRAME_LENGTH + 1
    // are kept between blocks; room for a frame taken partly from a block).
    double px[2 * (FRAME_LENGTH + 1)];
    double py[2 * (FRAME_LENGTH + 1)];
    int32_t pending;
    int64_t frames;  // input frames seen
    int64_t kept;    // input frames kept

    // Overlap-add: the second half of the last kept frame, and the last
    // finished block of FRAME_HOP samples of the rebuilt signals.
    double tail_x[FRAME_HOP];
    double tail_y[FRAME_HOP];
    double block_x[FRAME_HOP];
    double block_y[FRAME_HOP];

    // Rebuilt frames waiting for their spectra, side by side: sample n of
    // the l-th frame at [n * BATCH + l].
    double batch_x[BATCH * FRAME_LENGTH];
    double batch_y[BATCH * FRAME_LENGTH];
    int32_t batched;
    int32_t band_lo[BAND_COUNT];  // bins of band j: band_lo[j] .. band_hi[j] - 1
    int32_t band_hi[BAND_COUNT];

    // Envelopes, band-major: band j of frame env_first + f at [j * ENVELOPES
    // + f], f < env_count; the frames of the segments not yet computed.
    double env_x[BAND_COUNT * ENVELOPES];
    double env_y[BAND_COUNT * ENVELOPES];
    int64_t env_first;
    int32_t env_count;
    int64_t envelopes;  // envelope frames so far

    int64_t segments;  // segments computed
    double stoi_sum;
    double estoi_sum;
    IsaLevel level;

    Growing<int32_t> kept_frames;
    Growing<double> correlations;  // segment-major while streaming
    Growing<double> estoi_values;
    double* band_major;            // the correlations band-major, after finish
};

void reference_segments_using(IsaLevel level, int32_t count, const SegmentInput& in, const SegmentOutput& out) {
    switch (count == 1 ? ISA_PLAIN : level) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: reference_segments_avx512(in, out); return;
    case ISA_AVX2: reference_segments_avx2(in, out); return;
#endif
    default: segment_batch<plain::Doubles>(in, out); return;
    }
}

namespace {

// Segments from r->segments on, `lanes` at a time while enough envelope
// frames are in, or one at a time at the end (`last`).
void segments(ReferenceRun* r, bool last) {
    const int32_t lanes = measure_lanes(r->level);
    for (;;) {
        const int64_t ready = r->envelopes - (SEGMENT_LENGTH - 1) - r->segments;  // segments whose frames are all in
        const int32_t count = ready >= lanes ? lanes : (last && ready > 0 ? 1 : 0);
        if (count == 0) return;
        double correlation[DOUBLE_LANES_MAX * BAND_COUNT];
        double band_sum[DOUBLE_LANES_MAX];
        double estoi[DOUBLE_LANES_MAX];
        const SegmentInput in{r->env_x, r->env_y, ENVELOPES, static_cast<int32_t>(r->segments - r->env_first),
                              static_cast<int32_t>(r->segments % REFERENCE_NOISE_PERIOD), noise_table, r->clip};
        const SegmentOutput out{correlation, band_sum, estoi};
        reference_segments_using(r->level, count, in, out);
        for (int32_t l = 0; l < count; l++) {
            r->stoi_sum = r->stoi_sum + band_sum[l];
            r->estoi_sum = r->estoi_sum + estoi[l];
            if (r->keep_details) {
                for (int32_t j = 0; j < BAND_COUNT; j++) r->correlations.push(correlation[l * BAND_COUNT + j]);
                r->estoi_values.push(estoi[l]);
            }
        }
        r->segments += count;
    }
}

// Appends one frame's envelopes, making room by dropping the frames that
// no segment still needs.
void add_envelopes(ReferenceRun* r, const double* ex, const double* ey) {
    if (r->env_count == ENVELOPES) {
        const int32_t drop = static_cast<int32_t>(r->segments - r->env_first);
        const int32_t keep = r->env_count - drop;
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            std::memmove(r->env_x + j * ENVELOPES, r->env_x + j * ENVELOPES + drop, static_cast<size_t>(keep) * sizeof(double));
            std::memmove(r->env_y + j * ENVELOPES, r->env_y + j * ENVELOPES + drop, static_cast<size_t>(keep) * sizeof(double));
        }
        r->env_first += drop;
        r->env_count = keep;
    }
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        r->env_x[j * ENVELOPES + r->env_count] = ex[j];
        r->env_y[j * ENVELOPES + r->env_count] = ey[j];
    }
    r->env_count++;
    r->envelopes++;
    segments(r, false);
}

// Spectra, envelopes and segments of the batched frames.
void flush(ReferenceRun* r) {
    const int32_t count = r->batched;
    if (count == 0) return;
    double ex[BATCH * BAND_COUNT];
    double ey[BATCH * BAND_COUNT];
    band_envelopes_lanes(r->batch_x, count, r->band_lo, r->band_hi, BAND_COUNT, ex);
    band_envelopes_lanes(r->batch_y, count, r->band_lo, r->band_hi, BAND_COUNT, ey);
    for (int32_t t = 0; t < count; t++) add_envelopes(r, ex + t * BAND_COUNT, ey + t * BAND_COUNT);
    r->batched = 0;
}

// A rebuilt frame of both signals: the last finished block and the one just
// finished, weighted.
void rebuilt_frame(ReferenceRun* r, const double* bx, const double* by) {
    double* fx = r->batch_x + r->batched;
    double* fy = r->batch_y + r->batched;
    for (int32_t n = 0; n < FRAME_HOP; n++) {
        fx[n * BATCH] = r->block_x[n] * r->window[n];
        fy[n * BATCH] = r->block_y[n] * r->window[n];
        fx[(FRAME_HOP + n) * BATCH] = bx[n] * r->window[FRAME_HOP + n];
        fy[(FRAME_HOP + n) * BATCH] = by[n] * r->window[FRAME_HOP + n];
    }
    if (++r->batched == BATCH) flush(r);
}

// One input frame: the FRAME_LENGTH samples at x and y.
void input_frame(ReferenceRun* r, const double* x, const double* y) {
    const int64_t index = r->frames++;
    double wx[FRAME_LENGTH];
    double level;
    if (index < r->level_count) {
        level = r->levels[index];
        if (!(r->loudest - SILENCE_RANGE_DB - level < 0.0)) return;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) wx[n] = x[n] * r->window[n];
    } else {
        level = frame_level(x, r->window, wx);
        if (!(r->loudest - SILENCE_RANGE_DB - level < 0.0)) return;
    }
    if (r->keep_details) r->kept_frames.push(static_cast<int32_t>(index));
    double bx[FRAME_HOP];
    double by[FRAME_HOP];
    for (int32_t n = 0; n < FRAME_HOP; n++) {
        bx[n] = r->tail_x[n] + wx[n];
        by[n] = r->tail_y[n] + y[n] * r->window[n];
        r->tail_x[n] = wx[FRAME_HOP + n];
        r->tail_y[n] = y[FRAME_HOP + n] * r->window[FRAME_HOP + n];
    }
    if (r->kept > 0) rebuilt_frame(r, bx, by);
    std::memcpy(r->block_x, bx, sizeof bx);
    std::memcpy(r->block_y, by, sizeof by);
    r->kept++;
}

}  // namespace

ReferenceRun* reference_run_create(double loudest, bool keep_details, const double* levels, int64_t count) {
    ReferenceRun* r = static_cast<ReferenceRun*>(std::malloc(sizeof(ReferenceRun)));
    if (r == nullptr) return nullptr;
    reference_noise();
    hann_window(r->window, FRAME_LENGTH);
    r->loudest = loudest;
    r->clip = reference_clip();
    r->keep_details = keep_details;
    r->levels = levels;
    r->level_count = levels != nullptr ? count : 0;
    r->pending = 0;
    r->frames = 0;
    r->kept = 0;
    for (int32_t n = 0; n < FRAME_HOP; n++) r->tail_x[n] = r->tail_y[n] = 0.0;
    r->batched = 0;
    // The bins of each band, from the band mask's table (band by band,
    // bins ascending, each band one run of bins).
    for (int32_t i = 0; i < BAND_BIN_COUNT; i++) {
        const int32_t j = band_bin_table[i] / BIN_COUNT;
        const int32_t bin = band_bin_table[i] % BIN_COUNT;
        if (i == 0 || band_bin_table[i - 1] / BIN_COUNT != j) r->band_lo[j] = bin;
        r->band_hi[j] = bin + 1;
    }
    r->env_first = 0;
    r->env_count = 0;
    r->envelopes = 0;
    r->segments = 0;
    r->stoi_sum = 0.0;
    r->level = isa_level();
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
    // The samples under way (r->pending of them, from the start of the
    // next frame) followed by the block: frames that lie in the block are
    // read where they are, the others from the buffer.
    constexpr int32_t SPAN = FRAME_LENGTH + 1;  // a frame counts when a sample follows it
    int32_t at = 0;                             // start of the next frame, from the buffer's start
    while (at + SPAN <= r->pending + count) {
        if (at >= r->pending) {
            input_frame(r, x + (at - r->pending), y + (at - r->pending));
        } else {
            const int32_t from_block = at + SPAN - r->pending;
            std::memcpy(r->px + r->pending, x, static_cast<size_t>(from_block) * sizeof(double));
            std::memcpy(r->py + r->pending, y, static_cast<size_t>(from_block) * sizeof(double));
            input_frame(r, r->px + at, r->py + at);
        }
        at += FRAME_HOP;
    }
    // Keep what the next frames need: from `at` on.
    if (at < r->pending) {
        const int32_t kept = r->pending - at;
        std::memmove(r->px, r->px + at, static_cast<size_t>(kept) * sizeof(double));
        std::memmove(r->py, r->py + at, static_cast<size_t>(kept) * sizeof(double));
        std::memcpy(r->px + kept, x, static_cast<size_t>(count) * sizeof(double));
        std::memcpy(r->py + kept, y, static_cast<size_t>(count) * sizeof(double));
        r->pending = kept + count;
    } else {
        const int32_t skip = at - r->pending;
        const int32_t kept = count - skip;
        std::memcpy(r->px, x + skip, static_cast<size_t>(kept) * sizeof(double));
        std::memcpy(r->py, y + skip, static_cast<size_t>(kept) * sizeof(double));
        r->pending = kept;
    }
}

MeasureStatus reference_run_finish(ReferenceRun* r, double* stoi, double* estoi) {
    flush(r);
    segments(r, true);
    if (r->segments == 0) return MEASURE_TOO_SHORT;
    if (r->kept_frames.failed || r->correlations.failed || r->estoi_values.failed) return MEASURE_NO_MEMORY;
    const double M = static_cast<double>(r->segments);
    *stoi = r->stoi_sum / (BAND_COUNT * M);
    *estoi = r->estoi_sum / M;
    if (r->keep_details) {
        const int64_t segments = r->segments;
        r->band_major = static_cast<double*>(std::malloc(static_cast<size_t>(segments * BAND_COUNT) * sizeof(double)));
        if (r->band_major == nullptr) return MEASURE_NO_MEMORY;
        for (int64_t m = 0; m < segments; m++) {
            for (int32_t j = 0; j < BAND_COUNT; j++) {
                r->band_major[j * segments + m] = r->correlations.data[m * BAND_COUNT + j];
            }
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
