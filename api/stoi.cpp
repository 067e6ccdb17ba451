// The scoring library's C interface (include/kelvor/stoi.h): the checks of
// every call, the choice of profile, and the tool profile's chain of delay
// search, resampling and measures for samples in memory (the reference
// profile's chain is reference_chain.cpp), with every failure returned as a
// status.
//
// Re-entrant by construction: a call keeps its buffers, its analysis
// window and its noise generator to itself (the measures start a fresh
// generator on every run), and the only state it shares with other calls
// is constant tables and the FFT's table cache, which is built under a lock.
#include "kelvor/stoi.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "api/reference_chain.h"
#include "common/geometry.h"
#include "conditioning/alignment.h"
#include "conditioning/resampler.h"
#include "measures/correlation.h"
#include "measures/pipeline.h"
#include "measures/spectrum.h"
#include "measures/stoi.h"

namespace kelvor {

namespace {

// The rate of the tool's input.
constexpr double TOOL_RATE = 8000.0;

// Checks what every call checks: the result pointer, the counts and the
// samples, the options and the shift at `rate`. On success *profile is the
// profile asked for, or `fallback` for the default.
template <typename T>
int check_arguments(const T* ref, int64_t ref_count, const T* deg, int64_t deg_count, const kelvor_options* options,
                    const void* out, double rate, int fallback, int* profile) {
    if (out == nullptr || ref_count < 0 || deg_count < 0) return KELVOR_ERR_BAD_ARGUMENT;
    if ((ref == nullptr && ref_count > 0) || (deg == nullptr && deg_count > 0)) return KELVOR_ERR_BAD_ARGUMENT;
    *profile = fallback;
    if (options != nullptr) {
        for (int r : options->reserved) {
            if (r != 0) return KELVOR_ERR_BAD_ARGUMENT;
        }
        if (options->profile != KELVOR_PROFILE_DEFAULT && options->profile != KELVOR_PROFILE_REFERENCE &&
            options->profile != KELVOR_PROFILE_TOOL) {
            return KELVOR_ERR_BAD_ARGUMENT;
        }
        if (options->profile != KELVOR_PROFILE_DEFAULT) *profile = options->profile;
    }
    // The tool's chain holds its inputs in arrays counted in 32 bits; the
    // reference profile streams any input, before and after resampling up
    // to its own limit (checked again at 10 kHz by score_reference).
    const int64_t longest = *profile == KELVOR_PROFILE_TOOL ? KELVOR_MAX_SAMPLES : KELVOR_MAX_SAMPLES_REFERENCE;
    if (ref_count > longest || deg_count > longest) return KELVOR_ERR_TOO_LONG;
    if (options != nullptr) {
        if (options->align && options->shift != 0) return KELVOR_ERR_CONFLICT;
        if (options->shift < 0 || options->shift > kelvor_max_shift(rate)) return KELVOR_ERR_BAD_SHIFT;
    }
    return KELVOR_OK;
}

int status_of(MeasureStatus status) {
    switch (status) {
    case MEASURE_OK: return KELVOR_OK;
    case MEASURE_TOO_SHORT: return KELVOR_ERR_TOO_SHORT;
    case MEASURE_NO_MEMORY: return KELVOR_ERR_NO_MEMORY;
    case MEASURE_FFT_TABLES: return KELVOR_ERR_FFT_TABLES;
    }
    return KELVOR_ERR_NO_MEMORY;
}

// A zero-filled copy of count samples in a buffer of `size` samples.
template <typename T>
std::vector<T> padded(const T* samples, int64_t count, int64_t size) {
    std::vector<T> buffer(static_cast<size_t>(size), T(0));
    if (count > 0) std::memcpy(buffer.data(), samples, static_cast<size_t>(count) * sizeof(T));
    return buffer;
}

// Where a run's intermediate results go, when they are asked for: the
// measures' own record and the room for the kept frames it borrows.
struct DetailSink {
    MeasureDetails measures;
    std::vector<int32_t> kept;
};

MeasureStatus run_measures(const int16_t* ref10, const int16_t* deg10, int32_t n, MeasureResult* result,
                           MeasureDetails* details) {
    return stoi_estoi_pcm(ref10, deg10, n, result, details);
}

MeasureStatus run_measures(const double* ref10, const double* deg10, int32_t n, MeasureResult* result,
                           MeasureDetails* details) {
    return stoi_estoi(ref10, deg10, n, result, details);
}

// The measures of two 10 kHz signals of n samples (16-bit or doubles),
// with the delay in effect, in samples of the input's rate.
template <typename T>
int measure(const T* ref10, const T* deg10, int32_t n, int delay, double rate, DetailSink* sink,
            kelvor_scores* out) {
    MeasureResult result{};
    MeasureDetails* details = nullptr;
    if (sink != nullptr) {
        sink->kept.assign(static_cast<size_t>(frame_count(n)) + 1, 0);
        sink->measures = MeasureDetails{sink->kept.data(), 0, 0, nullptr, nullptr};
        details = &sink->measures;
    }
    const MeasureStatus status = run_measures(ref10, deg10, n, &result, details);
    if (status != MEASURE_OK) return status_of(status);
    if (!std::isfinite(result.stoi) || !std::isfinite(result.estoi)) return KELVOR_ERR_NOT_FINITE;
    *out = kelvor_scores{};
    out->stoi = result.stoi;
    out->estoi = result.estoi;
    out->delay = delay;
    out->profile = KELVOR_PROFILE_TOOL;
    out->delay_ms = delay * 1000.0 / rate;
    return KELVOR_OK;
}

// The tool's chain on 8 kHz samples: both signals padded to the longer,
// the degraded one with room for the largest shift; the delay searched or
// given; both resampled to 10 kHz; the measures.
int score_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                const kelvor_options* options, DetailSink* sink, kelvor_scores* out) {
    const kelvor_options none{};
    const kelvor_options* o = options != nullptr ? options : &none;
    const int64_t n = ref_count > deg_count ? ref_count : deg_count;
    try {
        const std::vector<int16_t> ref8 = padded(ref, ref_count, n + 1);
        const std::vector<int16_t> deg8 = padded(deg, deg_count, n + KELVOR_MAX_SHIFT_8K);
        const int32_t count = static_cast<int32_t>(n);
        int32_t delay = o->shift;
        if (o->align) delay = search_alignment(ref8.data(), deg8.data(), count);

        const int32_t m = resampled_length(count);
        std::vector<int16_t> ref10(static_cast<size_t>(m > 0 ? m : 1), 0);
        std::vector<int16_t> deg10(ref10.size(), 0);
        resample_pair_8k_to_10k(ref8.data(), deg8.data() + delay, count, ref10.data(), deg10.data(),
                                o->double_table != 0, nullptr);
        return measure(ref10.data(), deg10.data(), m, delay, TOOL_RATE, sink, out);
    } catch (const std::bad_alloc&) {
        return KELVOR_ERR_NO_MEMORY;
    }
}

bool all_finite(const double* samples, int64_t count) {
    for (int64_t i = 0; i < count; i++) {
        if (!std::isfinite(samples[i])) return false;
    }
    return true;
}

// The tool's measures on 10 kHz doubles, the delay searched or given at
// 10 kHz.
int score_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
              const kelvor_options* options, DetailSink* sink, kelvor_scores* out) {
    const kelvor_options none{};
    const kelvor_options* o = options != nullptr ? options : &none;
    if (!all_finite(ref, ref_count) || !all_finite(deg, deg_count)) return KELVOR_ERR_NOT_FINITE;
    const int64_t n = ref_count > deg_count ? ref_count : deg_count;
    try {
        const std::vector<double> x = padded(ref, ref_count, n);
        const std::vector<double> y = padded(deg, deg_count, n + KELVOR_MAX_SHIFT_10K);
        const int32_t count = static_cast<int32_t>(n);
        int32_t delay = o->shift;
        if (o->align) delay = search_alignment_double(x.data(), y.data(), count, KELVOR_ALIGN_DELAYS_10K);
        return measure(x.data(), y.data() + delay, count, delay, MEASURE_RATE, sink, out);
    } catch (const std::bad_alloc&) {
        return KELVOR_ERR_NO_MEMORY;
    }
}

kelvor_details* make_details(const kelvor_scores& scores, DetailSink* sink) {
    const MeasureDetails& d = sink->measures;
    return make_details_block(scores, d.segments, d.stoi_correlation, d.estoi_segment,
                              static_cast<int32_t>(sink->kept.size()) - 1, d.kept_count, d.kept_frames);
}

// The tool's chain `score` on arrays whose arguments are checked: the
// scores into *out or, with details non-null, the details block.
template <typename T, typename Score>
int run_tool(Score score, const T* ref, int64_t ref_count, const T* deg, int64_t deg_count,
             const kelvor_options* options, kelvor_scores* out, kelvor_details** details) {
    if (details == nullptr) return score(ref, ref_count, deg, deg_count, options, nullptr, out);
    DetailSink sink{};
    kelvor_scores scores{};
    int status = score(ref, ref_count, deg, deg_count, options, &sink, &scores);
    if (status == KELVOR_OK) {
        *details = make_details(scores, &sink);
        if (*details == nullptr) status = KELVOR_ERR_NO_MEMORY;
    }
    std::free(sink.measures.stoi_correlation);
    std::free(sink.measures.estoi_segment);
    return status;
}

// count samples given as doubles, as 16-bit values into out; false when one
// is not a 16-bit value divided by 32768, which is all the tool profile
// takes.
bool as_pcm(const double* x, int64_t count, int16_t* out) {
    for (int64_t i = 0; i < count; i++) {
        const double v = x[i] * 32768.0;
        if (!(v >= -32768.0 && v <= 32767.0) || v != std::floor(v)) return false;
        out[i] = static_cast<int16_t>(v);
    }
    return true;
}

ReferenceRequest reference_request(const SignalInput& ref, const SignalInput& deg, double rate,
                                   const kelvor_options* options) {
    ReferenceRequest q{ref, deg, rate, false, 0};
    if (options != nullptr) {
        q.align = options->align != 0;
        q.shift = options->shift;
    }
    return q;
}

ArrayInput array_of(const double* values) { return {values, nullptr}; }
ArrayInput array_of(const int16_t* pcm) { return {nullptr, pcm}; }

// The reference profile on arrays whose arguments are checked.
template <typename T>
int reference_on_arrays(const T* ref, int64_t ref_count, const T* deg, int64_t deg_count, double rate,
                        const kelvor_options* options, kelvor_scores* out, kelvor_details** details) {
    ArrayInput x = array_of(ref);
    ArrayInput y = array_of(deg);
    return score_reference(reference_request(array_input(&x, ref_count), array_input(&y, deg_count), rate, options),
                           out, details);
}

int score_any(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count, double rate,
              const kelvor_options* options, kelvor_scores* out, kelvor_details** details) {
    int profile = 0;
    int status = check_arguments(ref, ref_count, deg, deg_count, options, details != nullptr ? (void*)details : out,
                                 rate, KELVOR_PROFILE_REFERENCE, &profile);
    if (status != KELVOR_OK) return status;
    if (profile == KELVOR_PROFILE_REFERENCE) {
        return reference_on_arrays(ref, ref_count, deg, deg_count, rate, options, out, details);
    }
    if (rate != TOOL_RATE) return KELVOR_ERR_PROFILE;
    try {
        std::vector<int16_t> x(static_cast<size_t>(ref_count));
        std::vector<int16_t> y(static_cast<size_t>(deg_count));
        if (!as_pcm(ref, ref_count, x.data()) || !as_pcm(deg, deg_count, y.data())) {
            if (!all_finite(ref, ref_count) || !all_finite(deg, deg_count)) return KELVOR_ERR_NOT_FINITE;
            return KELVOR_ERR_PROFILE;
        }
        return run_tool(score_pcm8k, x.data(), ref_count, y.data(), deg_count, options, out, details);
    } catch (const std::bad_alloc&) {
        return KELVOR_ERR_NO_MEMORY;
    }
}

// The calls on arrays at a fixed rate: the checks, then the reference
// profile or the tool's chain `tool`, whichever is asked for (`fallback`
// by default).
template <typename T, typename Score>
int score_fixed_rate(Score tool, double rate, int fallback, const T* ref, int64_t ref_count, const T* deg,
                     int64_t deg_count, const kelvor_options* options, kelvor_scores* out, kelvor_details** details) {
    int profile = 0;
    const int status = check_arguments(ref, ref_count, deg, deg_count, options,
                                       details != nullptr ? (void*)details : out, rate, fallback, &profile);
    if (status != KELVOR_OK) return status;
    if (profile == KELVOR_PROFILE_REFERENCE) {
        return reference_on_arrays(ref, ref_count, deg, deg_count, rate, options, out, details);
    }
    return run_tool(tool, ref, ref_count, deg, deg_count, options, out, details);
}

int score_8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
             const kelvor_options* options, kelvor_scores* out, kelvor_details** details) {
    return score_fixed_rate(score_pcm8k, TOOL_RATE, KELVOR_PROFILE_TOOL, ref, ref_count, deg, deg_count, options, out,
                            details);
}

int score_10k_call(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                   const kelvor_options* options, kelvor_scores* out, kelvor_details** details) {
    return score_fixed_rate(score_10k, MEASURE_RATE, KELVOR_PROFILE_REFERENCE, ref, ref_count, deg, deg_count, options,
                            out, details);
}

// The tool profile on signals read on demand: each read whole, in blocks
// through `block`, as 16-bit values (anything else is not the tool's
// input).
int read_pcm(const kelvor_signal* in, std::vector<double>& block, std::vector<int16_t>& pcm) {
    pcm.resize(static_cast<size_t>(in->length));
    for (int64_t at = 0; at < in->length; at += static_cast<int64_t>(block.size())) {
        const int64_t left = in->length - at;
        const int32_t count = static_cast<int32_t>(left < static_cast<int64_t>(block.size()) ? left : block.size());
        const int status = in->read(in->context, at, count, block.data());
        if (status != KELVOR_OK) return status;
        if (!as_pcm(block.data(), count, pcm.data() + at)) return KELVOR_ERR_PROFILE;
    }
    return KELVOR_OK;
}

int score_signals(const kelvor_signal* ref, const kelvor_signal* deg, double rate, const kelvor_options* options,
                  kelvor_scores* out, kelvor_details** details) {
    if (ref == nullptr || deg == nullptr || (ref->length > 0 && ref->read == nullptr) ||
        (deg->length > 0 && deg->read == nullptr)) {
        return KELVOR_ERR_BAD_ARGUMENT;
    }
    int profile = 0;
    const int status = check_arguments(ref, ref->length, deg, deg->length, options,
                                       details != nullptr ? (void*)details : out, rate, KELVOR_PROFILE_REFERENCE,
                                       &profile);
    if (status != KELVOR_OK) return status;
    if (profile == KELVOR_PROFILE_REFERENCE) return score_reference(reference_request(*ref, *deg, rate, options), out, details);
    if (rate != TOOL_RATE) return KELVOR_ERR_PROFILE;
    try {
        std::vector<double> block(65536);
        std::vector<int16_t> x;
        std::vector<int16_t> y;
        int read = read_pcm(ref, block, x);
        if (read == KELVOR_OK) read = read_pcm(deg, block, y);
        if (read != KELVOR_OK) return read;
        return run_tool(score_pcm8k, x.data(), ref->length, y.data(), deg->length, options, out, details);
    } catch (const std::bad_alloc&) {
        return KELVOR_ERR_NO_MEMORY;
    }
}

}  // namespace

}  // namespace kelvor

using namespace kelvor;

extern "C" {

int kelvor_score(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count, double rate,
                 const kelvor_options* options, kelvor_scores* out) {
    return score_any(ref, ref_count, deg, deg_count, rate, options, out, nullptr);
}

int kelvor_score_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_scores* out) {
    return score_8k(ref, ref_count, deg, deg_count, options, out, nullptr);
}

int kelvor_score_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                     const kelvor_options* options, kelvor_scores* out) {
    return score_10k_call(ref, ref_count, deg, deg_count, options, out, nullptr);
}

int kelvor_score_details(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count, double rate,
                   const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    *out = nullptr;
    return score_any(ref, ref_count, deg, deg_count, rate, options, nullptr, out);
}

int kelvor_details_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                         const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    *out = nullptr;
    return score_8k(ref, ref_count, deg, deg_count, options, nullptr, out);
}

int kelvor_details_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    *out = nullptr;
    return score_10k_call(ref, ref_count, deg, deg_count, options, nullptr, out);
}

int kelvor_score_signals(const kelvor_signal* ref, const kelvor_signal* deg, double rate,
                         const kelvor_options* options, kelvor_scores* out) {
    return score_signals(ref, deg, rate, options, out, nullptr);
}

int kelvor_details_signals(const kelvor_signal* ref, const kelvor_signal* deg, double rate,
                           const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    *out = nullptr;
    return score_signals(ref, deg, rate, options, nullptr, out);
}

void kelvor_details_free(kelvor_details* details) {
    std::free(details);
}

}  // extern "C"
