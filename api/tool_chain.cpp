// The tool profile's chain (tool_chain.h).
#include "api/tool_chain.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "api/results.h"
#include "common/geometry.h"
#include "conditioning/alignment.h"
#include "conditioning/resampler.h"
#include "measures/pipeline.h"
#include "measures/spectrum.h"
#include "measures/stoi.h"

namespace kelvor {

namespace {

// Samples a read of a signal takes at most.
constexpr int32_t READ_BLOCK = 65536;

// What an input holds, beyond its samples, once read whole.
struct Reading {
    bool not_pcm = false;     // a sample that is not a 16-bit value divided by 32768
    bool not_finite = false;  // a sample that is not a finite number
};

bool all_finite(const double* samples, int64_t count) {
    for (int64_t i = 0; i < count; i++) {
        if (!std::isfinite(samples[i])) return false;
    }
    return true;
}

// count samples given as doubles, as 16-bit values into out; false when one
// is not a 16-bit value divided by 32768, which is all the tool's chain
// takes.
bool as_pcm(const double* x, int64_t count, int16_t* out) {
    for (int64_t i = 0; i < count; i++) {
        const double v = x[i] * 32768.0;
        if (!(v >= -32768.0 && v <= 32767.0) || v != std::floor(v)) return false;
        out[i] = static_cast<int16_t>(v);
    }
    return true;
}

// Every sample of an input into out[0 .. length - 1] as 16-bit values, in
// blocks through `block` where they must be read, or as doubles. The whole
// input is read even past a sample the chain cannot take, so that *seen
// tells both kinds of such samples apart.
int read_whole(const Input& in, std::vector<double>& block, int16_t* out, Reading* seen) {
    const int64_t length = in.signal.length;
    if (in.pcm != nullptr) {
        if (length > 0) std::memcpy(out, in.pcm, static_cast<size_t>(length) * sizeof(int16_t));
        return KELVOR_OK;
    }
    if (in.values == nullptr) block.resize(READ_BLOCK);
    for (int64_t at = 0; at < length; at += READ_BLOCK) {
        const int32_t count = static_cast<int32_t>(length - at < READ_BLOCK ? length - at : READ_BLOCK);
        const double* samples = nullptr;
        const int status = input_block(in, at, count, block.data(), &samples);
        if (status != KELVOR_OK) return status;
        if (!as_pcm(samples, count, out + at)) {
            seen->not_pcm = true;
            if (!all_finite(samples, count)) seen->not_finite = true;
        }
    }
    return KELVOR_OK;
}

int read_whole(const Input& in, double* out, Reading* seen) {
    const int64_t length = in.signal.length;
    for (int64_t at = 0; at < length; at += READ_BLOCK) {
        const int32_t count = static_cast<int32_t>(length - at < READ_BLOCK ? length - at : READ_BLOCK);
        const int status = input_read(in, at, count, out + at);
        if (status != KELVOR_OK) return status;
        if (!all_finite(out + at, count)) seen->not_finite = true;
    }
    return KELVOR_OK;
}

template <typename T>
bool all_zero(const std::vector<T>& x, int64_t count) {
    for (int64_t i = 0; i < count; i++) {
        if (x[static_cast<size_t>(i)] != T(0)) return false;
    }
    return true;
}

// Both inputs read whole into zero-filled buffers of n + 1 (reference) and
// n + room (degraded) samples, n the longer signal's length, as type T;
// the status of a sample the chain cannot take, or of a silent reference.
template <typename T>
int read_pair(const ScoreRequest& q, int64_t room, std::vector<T>* x, std::vector<T>* y) {
    const int64_t rn = q.reference.signal.length;
    const int64_t dn = q.degraded.signal.length;
    const int64_t n = rn > dn ? rn : dn;
    x->assign(static_cast<size_t>(n + 1), T(0));
    y->assign(static_cast<size_t>(n + room), T(0));
    Reading seen;
    int status = KELVOR_OK;
    if constexpr (std::is_same<T, int16_t>::value) {
        std::vector<double> block;
        status = read_whole(q.reference, block, x->data(), &seen);
        if (status == KELVOR_OK) status = read_whole(q.degraded, block, y->data(), &seen);
    } else {
        status = read_whole(q.reference, x->data(), &seen);
        if (status == KELVOR_OK) status = read_whole(q.degraded, y->data(), &seen);
    }
    if (status != KELVOR_OK) return status;
    if (seen.not_finite) return KELVOR_ERR_NOT_FINITE;
    if (seen.not_pcm) return KELVOR_ERR_PROFILE;
    if (rn > 0 && all_zero(*x, rn)) return KELVOR_ERR_SILENT;
    return KELVOR_OK;
}

MeasureStatus run_measures(const int16_t* ref10, const int16_t* deg10, int32_t n, MeasureResult* result,
                           MeasureDetails* details) {
    return stoi_estoi_pcm(ref10, deg10, n, result, details);
}

MeasureStatus run_measures(const double* ref10, const double* deg10, int32_t n, MeasureResult* result,
                           MeasureDetails* details) {
    return stoi_estoi(ref10, deg10, n, result, details);
}

// The measures of two 10 kHz signals of n samples (16-bit or doubles),
// with the delay in effect, in samples of the input's rate: the scores
// into *out or, with details non-null, the details block.
template <typename T>
int measure(const T* ref10, const T* deg10, int32_t n, int delay, double rate, kelvor_scores* out,
            kelvor_details** details) {
    MeasureResult result{};
    std::vector<int32_t> kept;
    MeasureDetails measured{};
    if (details != nullptr) {
        kept.assign(static_cast<size_t>(frame_count(n)) + 1, 0);
        measured.kept_frames = kept.data();
    }
    kelvor_scores scores{};
    int status = status_of(run_measures(ref10, deg10, n, &result, details != nullptr ? &measured : nullptr));
    if (status == KELVOR_OK) {
        status = scores_of(result.stoi, result.estoi, KELVOR_PROFILE_TOOL, delay, delay * 1000.0 / rate, &scores);
    }
    if (status == KELVOR_OK && details != nullptr) {
        *details = make_details_block(scores, measured.segments, measured.stoi_correlation, measured.estoi_segment,
                                      static_cast<int32_t>(kept.size()) - 1, measured.kept_count,
                                      measured.kept_frames);
        if (*details == nullptr) status = KELVOR_ERR_NO_MEMORY;
    } else if (status == KELVOR_OK) {
        *out = scores;
    }
    std::free(measured.stoi_correlation);
    std::free(measured.estoi_segment);
    return status;
}

// The tool's chain on 8 kHz 16-bit samples (the rate checked by
// check_request): the delay searched or given; both signals resampled to
// 10 kHz; the measures.
int score_8k(const ScoreRequest& q, const kelvor_options& o, kelvor_scores* out, kelvor_details** details) {
    std::vector<int16_t> ref8;
    std::vector<int16_t> deg8;
    const int status = read_pair(q, KELVOR_MAX_SHIFT_8K, &ref8, &deg8);
    if (status != KELVOR_OK) return status;
    const int32_t count = static_cast<int32_t>(ref8.size() - 1);
    int32_t delay = o.shift;
    if (o.align) delay = search_alignment(ref8.data(), deg8.data(), count);

    const int32_t m = resampled_length(count);
    std::vector<int16_t> ref10(static_cast<size_t>(m > 0 ? m : 1), 0);
    std::vector<int16_t> deg10(ref10.size(), 0);
    resample_pair_8k_to_10k(ref8.data(), deg8.data() + delay, count, ref10.data(), deg10.data(), o.double_table != 0,
                            nullptr);
    return measure(ref10.data(), deg10.data(), m, delay, TOOL_RATE, out, details);
}

// The tool's measures on 10 kHz doubles, the delay searched or given at
// 10 kHz.
int score_10k(const ScoreRequest& q, const kelvor_options& o, kelvor_scores* out, kelvor_details** details) {
    std::vector<double> x;
    std::vector<double> y;
    const int status = read_pair(q, KELVOR_MAX_SHIFT_10K, &x, &y);
    if (status != KELVOR_OK) return status;
    const int32_t count = static_cast<int32_t>(x.size() - 1);
    int32_t delay = o.shift;
    if (o.align) delay = search_alignment_double(x.data(), y.data(), count, KELVOR_ALIGN_DELAYS_10K);
    return measure(x.data(), y.data() + delay, count, delay, MEASURE_RATE, out, details);
}

}  // namespace

int score_tool(const ScoreRequest& q, const kelvor_options& o, kelvor_scores* out, kelvor_details** details) {
    try {
        return q.tool_at_10k ? score_10k(q, o, out, details) : score_8k(q, o, out, details);
    } catch (const std::bad_alloc&) {
        return KELVOR_ERR_NO_MEMORY;
    }
}

}  // namespace kelvor
