// Resampling to 10 kHz from any rate (see polyphase.h): the filter design,
// a small cache of designed filters, and the plain loop that the vector
// kernels (polyphase_kernel_impl.h) reproduce to the last bit.
#include "conditioning/polyphase.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "common/geometry.h"
#include "conditioning/kernels.h"
#include "kelvor/stoi.h"

namespace kelvor {

// The rates the library's header promises are the ones resampled here.
static_assert(KELVOR_MIN_RATE == POLYPHASE_MIN_RATE && KELVOR_MAX_RATE == POLYPHASE_MAX_RATE &&
                  KELVOR_MAX_RATE_TERM == POLYPHASE_MAX_TERM,
              "the library's rate limits and the resampler's differ");

namespace {

constexpr double STOP_BAND_DB = 60.0;
constexpr int32_t CACHED_RATIOS = 16;

int64_t gcd(int64_t a, int64_t b) {
    while (b != 0) {
        const int64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// The modified Bessel function of the first kind, order 0, by its power
// series, to full double precision for the arguments of a Kaiser window.
double bessel_i0(double x) {
    const double q = 0.25 * x * x;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k < 500; k++) {
        term = term * q / (static_cast<double>(k) * k);
        sum = sum + term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

// sin(pi x) / (pi x), 1 at 0.
double sinc(double x) {
    if (x == 0.0) return 1.0;
    const double y = M_PI * x;
    return std::sin(y) / y;
}

struct CacheSlot {
    int32_t up;
    int32_t down;
    PolyphaseFilter* filter;
};

std::mutex cache_mutex;
CacheSlot cache[CACHED_RATIOS];
int32_t cached = 0;

bool is_cached(const PolyphaseFilter* f) {
    for (int32_t i = 0; i < cached; i++) {
        if (cache[i].filter == f) return true;
    }
    return false;
}

}  // namespace

// A filter in one block: the record, the chunks, then the rows and the
// chunks' coefficients, 64-byte aligned.
PolyphaseFilter* polyphase_layout(int32_t up, int32_t down, const double* h) {
    const int32_t half = polyphase_half_length(up, down);
    const int32_t designed = 2 * half + 1;
    const int32_t taps = (designed + up - 1) / up;  // taps of phase 0, the longest
    const int32_t chunk_count = (up + POLYPHASE_CHUNK_OUTPUTS - 1) / POLYPHASE_CHUNK_OUTPUTS;
    auto delta = [&](int64_t o) { return static_cast<int32_t>((o * down + half) / up); };
    size_t chunk_values = 0;
    for (int32_t c = 0; c < chunk_count; c++) {
        const int32_t first = c * POLYPHASE_CHUNK_OUTPUTS;
        const int32_t last = std::min(first + POLYPHASE_CHUNK_OUTPUTS, up) - 1;
        chunk_values += static_cast<size_t>(delta(last) - delta(first) + taps) * POLYPHASE_CHUNK_OUTPUTS;
    }
    const size_t values = static_cast<size_t>(up) * static_cast<size_t>(taps);
    const size_t head = sizeof(PolyphaseFilter) + static_cast<size_t>(chunk_count) * sizeof(PolyphaseChunk);
    void* block = std::malloc(head + 64 + (values + chunk_values) * sizeof(double));
    if (block == nullptr) return nullptr;

    PolyphaseFilter* f = static_cast<PolyphaseFilter*>(block);
    PolyphaseChunk* chunks = reinterpret_cast<PolyphaseChunk*>(f + 1);
    uintptr_t rows = reinterpret_cast<uintptr_t>(block) + head;
    rows = (rows + 63) & ~static_cast<uintptr_t>(63);
    double* coefs = reinterpret_cast<double*>(rows);
    for (size_t i = 0; i < values; i++) coefs[i] = 0.0;
    for (int32_t phase = 0; phase < up; phase++) {
        double* row = coefs + static_cast<size_t>(phase) * taps;
        // Tap j of the phase multiplies the input j samples before the
        // newest one; the row runs oldest first.
        for (int32_t j = 0; phase + static_cast<int64_t>(up) * j < designed; j++) {
            row[taps - 1 - j] = h[phase + up * j];
        }
    }

    double* table = coefs + values;
    for (int32_t c = 0; c < chunk_count; c++) {
        PolyphaseChunk& k = chunks[c];
        k.first = c * POLYPHASE_CHUNK_OUTPUTS;
        k.outputs = std::min(POLYPHASE_CHUNK_OUTPUTS, up - k.first);
        k.lag_first = delta(k.first) - taps + 1;
        k.lags = delta(k.first + k.outputs - 1) - delta(k.first) + taps;
        k.coefs = table;
        for (int32_t l = 0; l < k.lags; l++) {
            for (int32_t i = 0; i < POLYPHASE_CHUNK_OUTPUTS; i++) {
                double v = 0.0;
                if (i < k.outputs) {
                    const int64_t o = k.first + i;
                    const int32_t phase = static_cast<int32_t>((o * down + half) % up);
                    const int32_t j = delta(o) - (k.lag_first + l);  // the output's tap at this lag
                    if (j >= 0 && j < taps) v = coefs[static_cast<size_t>(phase) * taps + (taps - 1 - j)];
                }
                table[static_cast<size_t>(l) * POLYPHASE_CHUNK_OUTPUTS + i] = v;
            }
        }
        table += static_cast<size_t>(k.lags) * POLYPHASE_CHUNK_OUTPUTS;
    }
    f->up = up;
    f->down = down;
    f->half = half;
    f->taps = taps;
    f->coefs = coefs;
    f->chunk_count = chunk_count;
    f->chunks = chunks;
    f->lag_min = delta(0) - taps + 1;
    f->lag_max = delta(up - 1);
    return f;
}

namespace {

// The designed filter for up / down, laid out.
PolyphaseFilter* build(int32_t up, int32_t down) {
    double* h = static_cast<double*>(std::malloc(static_cast<size_t>(2 * polyphase_half_length(up, down) + 1) *
                                                 sizeof(double)));
    if (h == nullptr) return nullptr;
    polyphase_design(up, down, h);
    PolyphaseFilter* f = polyphase_layout(up, down, h);
    std::free(h);
    return f;
}

void run_plain(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count, double* y) {
    const int32_t taps = f->taps;
    PolyphaseStep step(f, k0);
    for (int32_t i = 0; i < count; i++, step.next()) {
        const double* row = f->coefs + static_cast<int64_t>(step.phase) * taps;
        const double* xs = x + (step.newest - taps + 1 - first);
        double s = 0.0;
        for (int32_t t = 0; t < taps; t++) s = s + row[t] * xs[t];
        y[i] = s;
    }
}

}  // namespace

RateCheck polyphase_ratio(double rate, int32_t* up, int32_t* down) {
    if (!std::isfinite(rate) || rate != std::floor(rate)) return RATE_NOT_WHOLE;
    if (rate < POLYPHASE_MIN_RATE || rate > POLYPHASE_MAX_RATE) return RATE_OUT_OF_RANGE;
    const int64_t r = static_cast<int64_t>(rate);
    const int64_t out = MEASURE_RATE;
    const int64_t g = gcd(out, r);
    const int64_t p = out / g;
    const int64_t q = r / g;
    if (p > POLYPHASE_MAX_TERM || q > POLYPHASE_MAX_TERM) return RATE_RATIO_TOO_FINE;
    *up = static_cast<int32_t>(p);
    *down = static_cast<int32_t>(q);
    return RATE_OK;
}

int32_t polyphase_half_length(int32_t up, int32_t down) {
    const double fc = 1.0 / (2.0 * (up > down ? up : down));
    const double width = fc / 10.0;
    return static_cast<int32_t>(std::ceil(((STOP_BAND_DB - 8.0) / 28.714) / width));
}

void polyphase_design(int32_t up, int32_t down, double* h) {
    const int32_t half = polyphase_half_length(up, down);
    const double fc = 1.0 / (2.0 * (up > down ? up : down));
    const double beta = 0.1102 * (STOP_BAND_DB - 8.7);
    const double scale = bessel_i0(beta);
    double sum = 0.0;
    for (int32_t i = 0; i <= 2 * half; i++) {
        const double t = static_cast<double>(i - half);
        const double r = t / half;
        const double window = bessel_i0(beta * std::sqrt(1.0 - r * r)) / scale;
        h[i] = window * (2.0 * up * fc * sinc(2.0 * fc * t));
        sum = sum + h[i];
    }
    for (int32_t i = 0; i <= 2 * half; i++) h[i] = h[i] / sum * up;
}

const PolyphaseFilter* polyphase_acquire(int32_t up, int32_t down) {
    std::lock_guard<std::mutex> lock(cache_mutex);
    for (int32_t i = 0; i < cached; i++) {
        if (cache[i].up == up && cache[i].down == down) return cache[i].filter;
    }
    PolyphaseFilter* f = build(up, down);
    if (f != nullptr && cached < CACHED_RATIOS) cache[cached++] = CacheSlot{up, down, f};
    return f;
}

void polyphase_release(const PolyphaseFilter* filter) {
    if (filter == nullptr) return;
    std::lock_guard<std::mutex> lock(cache_mutex);
    if (!is_cached(filter)) std::free(const_cast<PolyphaseFilter*>(filter));
}

int64_t polyphase_output_length(const PolyphaseFilter* f, int64_t n) {
    return (n * f->up + f->down - 1) / f->down;
}

int64_t polyphase_newest(const PolyphaseFilter* f, int64_t k) {
    return (k * f->down + f->half) / f->up;
}

int64_t polyphase_stream_stride(const PolyphaseFilter* f, int32_t count) {
    // The groups of count outputs (one more at either end), their lags,
    // and room for a vector kernel's last block to read past the end.
    const int64_t groups = count / f->up + 2;
    const int64_t entries = groups + (f->lag_max - f->lag_min) / f->down + 2 + POLYPHASE_BLOCK_GROUPS;
    // Whole cache lines; streams a multiple of 4 kB apart would fall into
    // the same sets of the cache, and a kernel reads them in turn.
    const int64_t lines = (entries + 7) / 8 * 8;
    return lines % 512 == 0 ? lines + 8 : lines;
}

int64_t polyphase_scratch_size(const PolyphaseFilter* f, int32_t count) {
    return polyphase_stream_stride(f, count) * f->down;
}

void polyphase_run_using(IsaLevel level, const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0,
                         int32_t count, double* y, double* scratch) {
    if (count <= 0) return;
    switch (isa_clamp(level)) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: polyphase_run_avx512(f, x, first, k0, count, y, scratch); return;
    case ISA_AVX2: polyphase_run_avx2(f, x, first, k0, count, y, scratch); return;
#endif
    default: run_plain(f, x, first, k0, count, y); return;
    }
}

void polyphase_run(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count, double* y,
                   double* scratch) {
    polyphase_run_using(isa_level(), f, x, first, k0, count, y, scratch);
}

}  // namespace kelvor
