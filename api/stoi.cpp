// The scoring library's C interface (include/kelvor/stoi.h): the tool's
// chain of delay search, resampling and measures, for samples in memory,
// with every failure returned as a status.
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

#include "conditioning/alignment.h"
#include "conditioning/resampler.h"
#include "measures/correlation.h"
#include "measures/pipeline.h"
#include "measures/spectrum.h"
#include "measures/stoi.h"

namespace kelvor {

namespace {

constexpr int32_t SHIFTS_10K = KELVOR_MAX_SHIFT_10K;  // candidate delays 0 .. 1123, and the largest shift
constexpr double SAMPLES_PER_SECOND = 10000.0;

// Checks what every entry checks; KELVOR_OK when the call can go on.
template <typename T>
int check_arguments(const T* ref, int64_t ref_count, const T* deg, int64_t deg_count, const kelvor_options* options,
                    const void* out, int32_t max_shift) {
    if (out == nullptr || ref_count < 0 || deg_count < 0) return KELVOR_ERR_BAD_ARGUMENT;
    if ((ref == nullptr && ref_count > 0) || (deg == nullptr && deg_count > 0)) return KELVOR_ERR_BAD_ARGUMENT;
    if (ref_count > KELVOR_MAX_SAMPLES || deg_count > KELVOR_MAX_SAMPLES) return KELVOR_ERR_TOO_LONG;
    if (options != nullptr) {
        if (options->align && options->shift != 0) return KELVOR_ERR_CONFLICT;
        if (options->shift < 0 || options->shift > max_shift) return KELVOR_ERR_BAD_SHIFT;
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
// with the delay in effect.
template <typename T>
int measure(const T* ref10, const T* deg10, int32_t n, int delay, DetailSink* sink, kelvor_scores* out) {
    MeasureResult result{};
    MeasureDetails* details = nullptr;
    if (sink != nullptr) {
        sink->kept.assign(static_cast<size_t>(frame_count(n)) + 1, 0);
        sink->measures = MeasureDetails{sink->kept.data(), 0, 0, nullptr, nullptr};
        details = &sink->measures;
    }
    const MeasureStatus status = run_measures(ref10, deg10, n, &result, details);
    if (status != MEASURE_OK) return status_of(status);
    *out = kelvor_scores{result.stoi, result.estoi, delay};
    return KELVOR_OK;
}

// The tool's chain on 8 kHz samples: both signals padded to the longer,
// the degraded one with room for the largest shift; the delay searched or
// given; both resampled to 10 kHz; the measures.
int score_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                const kelvor_options* options, DetailSink* sink, kelvor_scores* out) {
    const kelvor_options none{0, 0, 0};
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
        return measure(ref10.data(), deg10.data(), m, delay, sink, out);
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

// The measures on 10 kHz doubles, the delay searched or given at 10 kHz.
int score_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
              const kelvor_options* options, DetailSink* sink, kelvor_scores* out) {
    const kelvor_options none{0, 0, 0};
    const kelvor_options* o = options != nullptr ? options : &none;
    if (!all_finite(ref, ref_count) || !all_finite(deg, deg_count)) return KELVOR_ERR_NOT_FINITE;
    const int64_t n = ref_count > deg_count ? ref_count : deg_count;
    try {
        const std::vector<double> x = padded(ref, ref_count, n);
        const std::vector<double> y = padded(deg, deg_count, n + SHIFTS_10K);
        const int32_t count = static_cast<int32_t>(n);
        int32_t delay = o->shift;
        if (o->align) delay = search_alignment_double(x.data(), y.data(), count, SHIFTS_10K);
        return measure(x.data(), y.data() + delay, count, delay, sink, out);
    } catch (const std::bad_alloc&) {
        return KELVOR_ERR_NO_MEMORY;
    }
}

// One block holding the record and every array it points to.
kelvor_details* make_details(const kelvor_scores& scores, DetailSink* sink) {
    const MeasureDetails& d = sink->measures;
    const size_t bands = BAND_COUNT;
    const size_t segments = static_cast<size_t>(d.segments);
    const size_t kept = static_cast<size_t>(d.kept_count);
    const size_t doubles = bands + bands * segments + 3 * segments;
    const size_t bytes = sizeof(kelvor_details) + doubles * sizeof(double) + kept * sizeof(int32_t);
    void* block = std::malloc(bytes);
    if (block == nullptr) return nullptr;

    kelvor_details* r = static_cast<kelvor_details*>(block);
    double* centre = reinterpret_cast<double*>(r + 1);
    double* correlation = centre + bands;
    double* segment = correlation + bands * segments;
    double* start = segment + segments;
    double* end = start + segments;
    int32_t* frames = reinterpret_cast<int32_t*>(end + segments);

    for (size_t j = 0; j < bands; j++) centre[j] = 150.0 * std::pow(2.0, static_cast<double>(j) / 3.0);
    if (segments > 0) {
        std::memcpy(correlation, d.stoi_correlation, bands * segments * sizeof(double));
        std::memcpy(segment, d.estoi_segment, segments * sizeof(double));
    }
    if (kept > 0) std::memcpy(frames, d.kept_frames, kept * sizeof(int32_t));
    // Segment m is made of the rebuilt frames m .. m + 29, which are
    // centred on the kept frames m .. m + 29.
    for (size_t m = 0; m < segments; m++) {
        start[m] = static_cast<double>(FRAME_HOP) * frames[m] / SAMPLES_PER_SECOND;
        end[m] = (static_cast<double>(FRAME_HOP) * frames[m + SEGMENT_LENGTH - 1] + FRAME_LENGTH) /
                 SAMPLES_PER_SECOND;
    }

    r->scores = scores;
    r->band_count = BAND_COUNT;
    r->segment_count = d.segments;
    r->band_centre_hz = centre;
    r->stoi_correlation = correlation;
    r->estoi_segment = segment;
    r->segment_start = start;
    r->segment_end = end;
    r->frame_count = static_cast<int32_t>(sink->kept.size()) - 1;
    r->kept_count = d.kept_count;
    r->kept_frames = frames;
    return r;
}

template <typename T, typename Score>
int details_of(Score score, const T* ref, int64_t ref_count, const T* deg, int64_t deg_count,
               const kelvor_options* options, kelvor_details** out) {
    DetailSink sink{};
    kelvor_scores scores{};
    int status = score(ref, ref_count, deg, deg_count, options, &sink, &scores);
    if (status == KELVOR_OK) {
        *out = make_details(scores, &sink);
        if (*out == nullptr) status = KELVOR_ERR_NO_MEMORY;
    }
    std::free(sink.measures.stoi_correlation);
    std::free(sink.measures.estoi_segment);
    return status;
}

}  // namespace

}  // namespace kelvor

using namespace kelvor;

extern "C" {

int kelvor_score_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_scores* out) {
    const int status = check_arguments(ref, ref_count, deg, deg_count, options, out, KELVOR_MAX_SHIFT_8K);
    if (status != KELVOR_OK) return status;
    return score_pcm8k(ref, ref_count, deg, deg_count, options, nullptr, out);
}

int kelvor_score_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                     const kelvor_options* options, kelvor_scores* out) {
    const int status = check_arguments(ref, ref_count, deg, deg_count, options, out, KELVOR_MAX_SHIFT_10K);
    if (status != KELVOR_OK) return status;
    return score_10k(ref, ref_count, deg, deg_count, options, nullptr, out);
}

int kelvor_details_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                         const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    *out = nullptr;
    const int status = check_arguments(ref, ref_count, deg, deg_count, options, out, KELVOR_MAX_SHIFT_8K);
    if (status != KELVOR_OK) return status;
    return details_of(score_pcm8k, ref, ref_count, deg, deg_count, options, out);
}

int kelvor_details_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    *out = nullptr;
    const int status = check_arguments(ref, ref_count, deg, deg_count, options, out, KELVOR_MAX_SHIFT_10K);
    if (status != KELVOR_OK) return status;
    return details_of(score_10k, ref, ref_count, deg, deg_count, options, out);
}

void kelvor_details_free(kelvor_details* details) {
    std::free(details);
}

const char* kelvor_status_text(int status) {
    switch (status) {
    case KELVOR_OK: return "Success";
    case KELVOR_ERR_TOO_SHORT:
        return "Too little speech: 30 frames or fewer (about 0.4 s) are left after silent-frame removal";
    case KELVOR_ERR_NO_MEMORY: return "Out of memory";
    case KELVOR_ERR_FFT_TABLES: return "The FFT tables could not be built: out of memory";
    case KELVOR_ERR_TOO_LONG: return "Input too long: more than 429496729 samples";
    case KELVOR_ERR_BAD_ARGUMENT: return "Bad argument: a null pointer or a negative sample count";
    case KELVOR_ERR_BAD_SHIFT: return "Shift out of range: 0 to 900 samples at 8 kHz, 0 to 1124 at 10 kHz";
    case KELVOR_ERR_CONFLICT: return "Conflicting options: align and shift together";
    case KELVOR_ERR_NOT_FINITE: return "A sample is not a finite number";
    default: return "Unknown status";
    }
}

#define KELVOR_TEXT(x) #x
#define KELVOR_VERSION_TEXT(major, minor, patch) KELVOR_TEXT(major) "." KELVOR_TEXT(minor) "." KELVOR_TEXT(patch)

const char* kelvor_version(void) {
    return KELVOR_VERSION_TEXT(KELVOR_STOI_VERSION_MAJOR, KELVOR_STOI_VERSION_MINOR, KELVOR_STOI_VERSION_PATCH);
}

}  // extern "C"
