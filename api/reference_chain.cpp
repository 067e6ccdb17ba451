// The reference profile's chain (reference_chain.h).
#include "api/reference_chain.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/geometry.h"
#include "conditioning/alignment.h"
#include "conditioning/polyphase.h"
#include "measures/correlation.h"
#include "measures/reference.h"
#include "measures/spectrum.h"

namespace kelvor {

namespace {

constexpr int32_t BLOCK = 8192;  // 10 kHz samples per step of a pass
// A pair up to this length at 10 kHz is kept from the first pass for the
// second instead of being resampled again (8 MB per signal).
int64_t keep_limit = int64_t{1} << 20;

int read_array(void* context, int64_t start, int32_t count, double* out) {
    const ArrayInput* a = static_cast<const ArrayInput*>(context);
    if (a->values != nullptr) {
        std::memcpy(out, a->values + start, static_cast<size_t>(count) * sizeof(double));
    } else {
        for (int32_t i = 0; i < count; i++) out[i] = static_cast<double>(a->pcm[start + i]) * 0x1p-15;
    }
    return KELVOR_OK;
}

// The peak magnitude of a signal; KELVOR_ERR_NOT_FINITE at a NaN or an
// infinity.
int scan_peak(const SignalInput& in, double* buffer, double* peak) {
    // Four running maxima and a count of the values that are not finite,
    // so that the loop has no chain of dependent comparisons. An array of
    // doubles is looked at where it lies.
    const double* direct = in.read == read_array ? static_cast<const ArrayInput*>(in.context)->values : nullptr;
    double p[4] = {0.0, 0.0, 0.0, 0.0};
    int64_t bad = 0;
    for (int64_t at = 0; at < in.length; at += BLOCK) {
        const int32_t count = static_cast<int32_t>(in.length - at < BLOCK ? in.length - at : BLOCK);
        if (direct != nullptr) {
            buffer = const_cast<double*>(direct + at);
        } else {
            const int status = in.read(in.context, at, count, buffer);
            if (status != KELVOR_OK) return status;
        }
        int32_t i = 0;
        for (; i + 4 <= count; i += 4) {
            for (int32_t k = 0; k < 4; k++) {
                const double v = std::fabs(buffer[i + k]);
                bad += !(v <= 1.79769313486231570815e308);
                p[k] = v > p[k] ? v : p[k];
            }
        }
        for (; i < count; i++) {
            const double v = std::fabs(buffer[i]);
            bad += !(v <= 1.79769313486231570815e308);
            p[0] = v > p[0] ? v : p[0];
        }
    }
    if (bad != 0) return KELVOR_ERR_NOT_FINITE;
    *peak = std::fmax(std::fmax(p[0], p[1]), std::fmax(p[2], p[3]));
    return KELVOR_OK;
}

// One signal at 10 kHz, produced in ascending blocks. Input sample i is
// input[i + offset] * scale for 0 <= i < padded and i + offset < length, and
// 0 everywhere else; output k is input sample k at 10 kHz, or the
// resampler's output k.
struct Source {
    const SignalInput* input;
    int64_t offset;
    int64_t padded;
    double scale;
    const PolyphaseFilter* filter;  // null at 10 kHz
    double* scratch;                // the resampler's, for BLOCK outputs
    int64_t length;                 // outputs
    // The input samples buffer_first .. buffer_first + buffer_count - 1.
    double* buffer;
    int64_t buffer_first;
    int64_t buffer_count;
};

void source_restart(Source* s) {
    s->buffer_first = 0;
    s->buffer_count = 0;
}

// Input samples [first, end) into s->buffer, keeping what it already holds
// of them; first never goes back.
int source_span(Source* s, int64_t first, int64_t end) {
    int64_t keep = 0;
    if (s->buffer_count > 0 && first >= s->buffer_first && first < s->buffer_first + s->buffer_count) {
        keep = s->buffer_first + s->buffer_count - first;
        if (keep > end - first) keep = end - first;
        std::memmove(s->buffer, s->buffer + (first - s->buffer_first), static_cast<size_t>(keep) * sizeof(double));
    }
    s->buffer_first = first;
    double* out = s->buffer + keep;
    int64_t i = first + keep;
    // The part of [i, end) backed by samples: signal index j = i + offset
    // with 0 <= i < padded and j < length.
    const int64_t data_end = s->input->length - s->offset < s->padded ? s->input->length - s->offset : s->padded;
    while (i < end) {
        if (i < 0 || i >= data_end) {
            *out++ = 0.0;
            i++;
            continue;
        }
        int64_t run = (end < data_end ? end : data_end) - i;
        while (run > 0) {
            const int32_t count = static_cast<int32_t>(run < BLOCK ? run : BLOCK);
            const int status = s->input->read(s->input->context, i + s->offset, count, out);
            if (status != KELVOR_OK) return status;
            if (s->scale != 1.0) {
                for (int32_t k = 0; k < count; k++) out[k] = out[k] * s->scale;
            }
            out += count;
            i += count;
            run -= count;
        }
    }
    s->buffer_count = end - first;
    return KELVOR_OK;
}

// Outputs k0 .. k0 + count - 1 into out (zeros past the end).
int source_fill(Source* s, int64_t k0, int32_t count, double* out) {
    int32_t inside = static_cast<int32_t>(s->length - k0 < count ? (s->length - k0 > 0 ? s->length - k0 : 0) : count);
    for (int32_t i = inside; i < count; i++) out[i] = 0.0;
    if (inside == 0) return KELVOR_OK;
    if (s->filter == nullptr) {
        const int status = source_span(s, k0, k0 + inside);
        if (status != KELVOR_OK) return status;
        std::memcpy(out, s->buffer, static_cast<size_t>(inside) * sizeof(double));
        return KELVOR_OK;
    }
    const int64_t first = polyphase_newest(s->filter, k0) - s->filter->taps + 1;
    const int64_t end = polyphase_newest(s->filter, k0 + inside - 1) + 1;
    const int status = source_span(s, first, end);
    if (status != KELVOR_OK) return status;
    polyphase_run(s->filter, s->buffer, first, k0, inside, out, s->scratch);
    return KELVOR_OK;
}

// Everything a call holds, released in one place.
struct Held {
    const PolyphaseFilter* filter = nullptr;
    double* x_block = nullptr;   // BLOCK values each
    double* y_block = nullptr;
    double* buffers[2] = {nullptr, nullptr};
    double* streams = nullptr;  // the resampler's scratch
    double* x10 = nullptr;       // whole 10 kHz signals, when kept
    double* y10 = nullptr;
    double* levels = nullptr;   // the reference's frame levels, when kept
    ReferenceRun* run = nullptr;

    ~Held() {
        polyphase_release(filter);
        std::free(x_block);
        std::free(y_block);
        std::free(buffers[0]);
        std::free(buffers[1]);
        std::free(streams);
        std::free(x10);
        std::free(y10);
        std::free(levels);
        reference_run_destroy(run);
    }
};

double* doubles(int64_t count) {
    return static_cast<double*>(std::malloc(static_cast<size_t>(count > 0 ? count : 1) * sizeof(double)));
}

// Every output of a source into a new array of `room` values (zeros past
// the source's length).
int materialise(Source* s, int64_t room, double** out) {
    double* all = doubles(room);
    if (all == nullptr) return KELVOR_ERR_NO_MEMORY;
    source_restart(s);
    for (int64_t k = 0; k < room; k += BLOCK) {
        const int32_t count = static_cast<int32_t>(room - k < BLOCK ? room - k : BLOCK);
        const int status = source_fill(s, k, count, all + k);
        if (status != KELVOR_OK) {
            std::free(all);
            return status;
        }
    }
    *out = all;
    return KELVOR_OK;
}

}  // namespace

double reference_input_scale(double peak) {
    if (peak == 0.0 || (peak >= 0x1p-40 && peak <= 0x1p40)) return 1.0;
    int exponent = 0;
    std::frexp(peak, &exponent);
    return std::ldexp(1.0, -exponent);
}

SignalInput array_input(ArrayInput* array, int64_t length) {
    return SignalInput{length, read_array, array};
}

int64_t reference_keep_limit(int64_t samples) {
    const int64_t before = keep_limit;
    keep_limit = samples;
    return before;
}

int score_reference(const ReferenceRequest& q, kelvor_scores* out, kelvor_details** details) {
    int32_t up = 1;
    int32_t down = 1;
    if (polyphase_ratio(q.rate, &up, &down) != RATE_OK) return KELVOR_ERR_BAD_RATE;
    const int64_t padded = q.reference.length > q.degraded.length ? q.reference.length : q.degraded.length;
    // The input is streamed, whatever its length, up to a limit that also
    // keeps padded * up from overflowing.
    if (padded > KELVOR_MAX_SAMPLES_REFERENCE) return KELVOR_ERR_TOO_LONG;
    // The 10 kHz length, before anything is allocated for it.
    const int64_t length = (padded * up + down - 1) / down;
    if (length > KELVOR_MAX_SAMPLES_REFERENCE) return KELVOR_ERR_TOO_LONG;
    if (q.reference.length == 0) return KELVOR_ERR_TOO_SHORT;

    constexpr int32_t DELAYS = KELVOR_ALIGN_DELAYS_10K;
    Held held;
    if ((held.x_block = doubles(BLOCK)) == nullptr || (held.y_block = doubles(BLOCK + DELAYS)) == nullptr) {
        return KELVOR_ERR_NO_MEMORY;
    }
    double peak_x = 0.0;
    double peak_y = 0.0;
    int status = scan_peak(q.reference, held.x_block, &peak_x);
    if (status == KELVOR_OK) status = scan_peak(q.degraded, held.x_block, &peak_y);
    if (status != KELVOR_OK) return status;
    if (peak_x == 0.0) return KELVOR_ERR_SILENT;

    if (up != 1 || down != 1) {
        held.filter = polyphase_acquire(up, down);
        if (held.filter == nullptr) return KELVOR_ERR_NO_MEMORY;
        if ((held.streams = doubles(polyphase_scratch_size(held.filter, BLOCK))) == nullptr) return KELVOR_ERR_NO_MEMORY;
    }
    // An input span of one block of outputs, with the filter's reach.
    const int64_t span = held.filter == nullptr
                             ? BLOCK
                             : static_cast<int64_t>(BLOCK) * down / up + held.filter->taps + 2;
    for (double*& b : held.buffers) {
        if ((b = doubles(span)) == nullptr) return KELVOR_ERR_NO_MEMORY;
    }
    Source x{&q.reference, 0, padded, reference_input_scale(peak_x), held.filter, held.streams, length,
             held.buffers[0], 0, 0};
    Source y{&q.degraded, q.shift, padded, reference_input_scale(peak_y), held.filter, held.streams, length,
             held.buffers[1], 0, 0};

    // A short pair is kept at 10 kHz from the first pass for the second
    // (the degraded signal only when the first pass needs it, for the delay
    // search, with room for every delay); a long one is resampled again.
    const bool keep = length <= keep_limit;
    if (keep) {
        if ((status = materialise(&x, length, &held.x10)) != KELVOR_OK) return status;
        if (q.align && (status = materialise(&y, length + DELAYS, &held.y10)) != KELVOR_OK) return status;
    }

    // First pass: the loudest frame of the reference and, when asked, the
    // delay (each delay's sum over the whole signal).
    // The levels of a kept pair's frames, for the second pass.
    const int64_t frames = length / FRAME_HOP + 1;
    if (keep && (held.levels = doubles(frames)) == nullptr) return KELVOR_ERR_NO_MEMORY;
    LevelScan scan;
    level_scan_start(&scan, held.levels, frames);
    DelaySearch search;
    delay_search_start(&search, DELAYS);
    source_restart(&x);
    source_restart(&y);
    if (q.align && !keep) {
        // The degraded samples k .. k + BLOCK + DELAYS - 1 for block k.
        if ((status = source_fill(&y, 0, BLOCK, held.y_block)) != KELVOR_OK) return status;
        if ((status = source_fill(&y, BLOCK, DELAYS, held.y_block + BLOCK)) != KELVOR_OK) return status;
    }
    for (int64_t k = 0; k < length; k += BLOCK) {
        const int32_t count = static_cast<int32_t>(length - k < BLOCK ? length - k : BLOCK);
        const double* block = held.x_block;
        if (keep) {
            block = held.x10 + k;
        } else if ((status = source_fill(&x, k, count, held.x_block)) != KELVOR_OK) {
            return status;
        }
        level_scan_feed(&scan, block, count);
        if (q.align) {
            if (keep) {
                delay_search_feed(&search, block, held.y10 + k, count);
            } else {
                delay_search_feed(&search, block, held.y_block, count);
                std::memmove(held.y_block, held.y_block + BLOCK, static_cast<size_t>(DELAYS) * sizeof(double));
                status = source_fill(&y, k + BLOCK + DELAYS, BLOCK, held.y_block + DELAYS);
                if (status != KELVOR_OK) return status;
            }
        }
    }
    const int64_t delay = q.align ? delay_search_best(&search) : 0;  // at 10 kHz

    // Second pass: both signals through the measures, the degraded one from
    // its delay on.
    held.run = reference_run_create(scan.loudest, details != nullptr, held.levels, scan.frames);
    if (held.run == nullptr) return KELVOR_ERR_NO_MEMORY;
    source_restart(&x);
    source_restart(&y);
    for (int64_t k = 0; k < length; k += BLOCK) {
        const int32_t count = static_cast<int32_t>(length - k < BLOCK ? length - k : BLOCK);
        const double* xb = held.x_block;
        const double* yb = held.y_block;
        if (keep) {
            xb = held.x10 + k;
        } else if ((status = source_fill(&x, k, count, held.x_block)) != KELVOR_OK) {
            return status;
        }
        if (held.y10 != nullptr) {
            yb = held.y10 + k + delay;
        } else if ((status = source_fill(&y, k + delay, count, held.y_block)) != KELVOR_OK) {
            return status;
        }
        reference_run_feed(held.run, xb, yb, count);
    }
    double stoi = 0.0;
    double estoi = 0.0;
    switch (reference_run_finish(held.run, &stoi, &estoi)) {
    case MEASURE_OK: break;
    case MEASURE_TOO_SHORT: return KELVOR_ERR_TOO_SHORT;
    default: return KELVOR_ERR_NO_MEMORY;
    }
    if (!std::isfinite(stoi) || !std::isfinite(estoi)) return KELVOR_ERR_NOT_FINITE;

    kelvor_scores scores{};
    scores.stoi = stoi;
    scores.estoi = estoi;
    scores.profile = KELVOR_PROFILE_REFERENCE;
    if (q.align) {
        scores.delay = static_cast<int>(std::llround(static_cast<double>(delay) * q.rate / MEASURE_RATE));
        scores.delay_ms = static_cast<double>(delay) * 1000.0 / MEASURE_RATE;
    } else {
        scores.delay = q.shift;
        scores.delay_ms = q.shift * 1000.0 / q.rate;
    }
    if (details != nullptr) {
        ReferenceDetails d;
        reference_run_details(held.run, &d);
        *details = make_details_block(scores, d.segments, d.stoi_correlation, d.estoi_segment,
                                      static_cast<int32_t>(d.frames), d.kept_count, d.kept_frames);
        if (*details == nullptr) return KELVOR_ERR_NO_MEMORY;
    }
    if (out != nullptr) *out = scores;
    return KELVOR_OK;
}

kelvor_details* make_details_block(const kelvor_scores& scores, int32_t segment_count, const double* stoi_correlation,
                                   const double* estoi_segment, int32_t frame_count, int32_t kept_count,
                                   const int32_t* kept_frames) {
    const size_t bands = BAND_COUNT;
    const size_t segments = static_cast<size_t>(segment_count);
    const size_t kept = static_cast<size_t>(kept_count);
    const size_t doubles_needed = bands + bands * segments + 3 * segments;
    const size_t bytes = sizeof(kelvor_details) + doubles_needed * sizeof(double) + kept * sizeof(int32_t);
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
        std::memcpy(correlation, stoi_correlation, bands * segments * sizeof(double));
        std::memcpy(segment, estoi_segment, segments * sizeof(double));
    }
    if (kept > 0) std::memcpy(frames, kept_frames, kept * sizeof(int32_t));
    // Segment m is made of the rebuilt frames m .. m + 29, which are
    // centred on the kept frames m .. m + 29.
    for (size_t m = 0; m < segments; m++) {
        start[m] = static_cast<double>(FRAME_HOP) * frames[m] / MEASURE_RATE;
        end[m] = (static_cast<double>(FRAME_HOP) * frames[m + SEGMENT_LENGTH - 1] + FRAME_LENGTH) / MEASURE_RATE;
    }

    r->scores = scores;
    r->band_count = BAND_COUNT;
    r->segment_count = segment_count;
    r->band_centre_hz = centre;
    r->stoi_correlation = correlation;
    r->estoi_segment = segment;
    r->segment_start = start;
    r->segment_end = end;
    r->frame_count = frame_count;
    r->kept_count = kept_count;
    r->kept_frames = frames;
    return r;
}

}  // namespace kelvor
