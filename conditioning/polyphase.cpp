// Resampling to 10 kHz from any rate (see polyphase.h): the filter design,
// a small cache of designed filters, and the plain loop that the vector
// kernels (polyphase_kernel_impl.h) reproduce to the last bit.
#include "conditioning/polyphase.h"

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "conditioning/kernels.h"

namespace kelvor {

namespace {

constexpr double OUTPUT_RATE = 10000.0;
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

// A filter in one block: the record, then its rows.
PolyphaseFilter* build(int32_t up, int32_t down) {
    const int32_t half = polyphase_half_length(up, down);
    const int32_t designed = 2 * half + 1;
    const int32_t longest = (designed + up - 1) / up;  // taps of phase 0
    const int32_t taps = (longest + POLYPHASE_LANES - 1) / POLYPHASE_LANES * POLYPHASE_LANES;
    double* h = static_cast<double*>(std::malloc(static_cast<size_t>(designed) * sizeof(double)));
    if (h == nullptr) return nullptr;
    const size_t values = static_cast<size_t>(up) * static_cast<size_t>(taps);
    void* block = std::malloc(sizeof(PolyphaseFilter) + 64 + values * sizeof(double));
    if (block == nullptr) {
        std::free(h);
        return nullptr;
    }
    polyphase_design(up, down, h);

    PolyphaseFilter* f = static_cast<PolyphaseFilter*>(block);
    // The rows start on a 64-byte boundary inside the block.
    uintptr_t rows = reinterpret_cast<uintptr_t>(f + 1);
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
    std::free(h);
    f->up = up;
    f->down = down;
    f->half = half;
    f->taps = taps;
    f->coefs = coefs;
    return f;
}

void run_plain(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count, double* y) {
    const int32_t taps = f->taps;
    PolyphaseStep step(f, k0);
    for (int32_t i = 0; i < count; i++, step.next()) {
        const double* row = f->coefs + static_cast<int64_t>(step.phase) * taps;
        const double* xs = x + (step.newest - taps + 1 - first);
        double s[POLYPHASE_LANES] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (int32_t t = 0; t < taps; t += POLYPHASE_LANES) {
            for (int32_t l = 0; l < POLYPHASE_LANES; l++) s[l] = s[l] + row[t + l] * xs[t + l];
        }
        y[i] = ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
    }
}

}  // namespace

RateCheck polyphase_ratio(double rate, int32_t* up, int32_t* down) {
    if (!std::isfinite(rate) || rate != std::floor(rate)) return RATE_NOT_WHOLE;
    if (rate < POLYPHASE_MIN_RATE || rate > POLYPHASE_MAX_RATE) return RATE_OUT_OF_RANGE;
    const int64_t r = static_cast<int64_t>(rate);
    const int64_t out = static_cast<int64_t>(OUTPUT_RATE);
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

void polyphase_run_using(IsaLevel level, const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0,
                         int32_t count, double* y) {
    switch (isa_clamp(level)) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: polyphase_run_avx512(f, x, first, k0, count, y); return;
    case ISA_AVX2: polyphase_run_avx2(f, x, first, k0, count, y); return;
#endif
    default: run_plain(f, x, first, k0, count, y); return;
    }
}

void polyphase_run(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count, double* y) {
    polyphase_run_using(isa_level(), f, x, first, k0, count, y);
}

}  // namespace kelvor
