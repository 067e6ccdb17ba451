// The reference profile's chain (reference_chain.h).
#include "api/reference_chain.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "api/results.h"
#include "common/geometry.h"
#include "conditioning/alignment.h"
#include "conditioning/polyphase.h"
#include "measures/reference.h"
#include "measures/spectrum.h"

namespace kelvor {

namespace {

constexpr int32_t BLOCK = REFERENCE_BLOCK;           // 10 kHz samples per step of a pass
constexpr int32_t DELAYS = KELVOR_ALIGN_DELAYS_10K;  // delays searched at 10 kHz
static_assert(DELAYS <= BLOCK, "the degraded samples a block's delay search reads past it fit a block");

// One signal at 10 kHz, produced in ascending blocks. Input sample i is
// input[i + offset] * scale for 0 <= i < padded and i + offset < length, and
// 0 everywhere else; output k is input sample k at 10 kHz, or the
// resampler's output k.
struct Source {
    const Input* input;
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
    const int64_t length = s->input->signal.length;
    const int64_t data_end = length - s->offset < s->padded ? length - s->offset : s->padded;
    while (i < end) {
        if (i < 0 || i >= data_end) {
            *out++ = 0.0;
            i++;
            continue;
        }
        int64_t run = (end < data_end ? end : data_end) - i;
        while (run > 0) {
            const int32_t count = static_cast<int32_t>(run < BLOCK ? run : BLOCK);
            const int status = input_read(*s->input, i + s->offset, count, out);
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

// Outputs 0 .. room - 1 of a source into out (zeros past its length).
int fill_all(Source* s, int64_t room, double* out) {
    source_restart(s);
    for (int64_t k = 0; k < room; k += BLOCK) {
        const int32_t count = static_cast<int32_t>(room - k < BLOCK ? room - k : BLOCK);
        const int status = source_fill(s, k, count, out + k);
        if (status != KELVOR_OK) return status;
    }
    return KELVOR_OK;
}

// Every output of a source into a new array of `room` values (zeros past
// the source's length).
int materialise(Source* s, int64_t room, double** out) {
    double* all = doubles(room);
    if (all == nullptr) return KELVOR_ERR_NO_MEMORY;
    const int status = fill_all(s, room, all);
    if (status != KELVOR_OK) {
        std::free(all);
        return status;
    }
    *out = all;
    return KELVOR_OK;
}

// A call between its passes: what it holds, the two signals at 10 kHz,
// and whether they are kept whole.
struct Chain {
    Held held;
    int64_t length = 0;  // samples of either signal at 10 kHz
    bool keep = false;   // x10 (and y10 when the delay is searched) hold them whole
    Source x{};
    Source y{};
};

// The peaks (and the status of a signal that is not finite, or of a
// silent reference), the resampler, and for a pair of up to keep_limit
// samples at 10 kHz the pair itself, kept from here to the second pass
// (the degraded signal only when the first pass needs it, for the delay
// search, with room for every delay).
int prepare(const ScoreRequest& q, const CheckedRequest& checked, Chain* c) {
    const kelvor_options& o = checked.options;
    const int64_t rn = q.reference.signal.length;
    const int64_t dn = q.degraded.signal.length;
    const int64_t padded = rn > dn ? rn : dn;
    c->length = checked.length;

    Held& held = c->held;
    if ((held.x_block = doubles(BLOCK)) == nullptr || (held.y_block = doubles(BLOCK + DELAYS)) == nullptr) {
        return KELVOR_ERR_NO_MEMORY;
    }
    double peak_x = 0.0;
    double peak_y = 0.0;
    int status = reference_peak(q.reference, held.x_block, &peak_x);
    if (status == KELVOR_OK) status = reference_peak(q.degraded, held.x_block, &peak_y);
    if (status != KELVOR_OK) return status;
    if (peak_x == 0.0) return KELVOR_ERR_SILENT;

    if (checked.up != 1 || checked.down != 1) {
        held.filter = polyphase_acquire(checked.up, checked.down);
        if (held.filter == nullptr) return KELVOR_ERR_NO_MEMORY;
        held.streams = doubles(polyphase_scratch_size(held.filter, BLOCK));
        if (held.streams == nullptr) return KELVOR_ERR_NO_MEMORY;
    }
    const int64_t span = reference_span(held.filter);
    for (double*& b : held.buffers) {
        if ((b = doubles(span)) == nullptr) return KELVOR_ERR_NO_MEMORY;
    }
    c->x = Source{&q.reference, 0, padded, reference_input_scale(peak_x), held.filter, held.streams, c->length,
                  held.buffers[0], 0, 0};
    c->y = Source{&q.degraded, o.shift, padded, reference_input_scale(peak_y), held.filter, held.streams, c->length,
                  held.buffers[1], 0, 0};
    c->keep = c->length <= q.keep_limit;
    if (c->keep) {
        if ((status = materialise(&c->x, c->length, &held.x10)) != KELVOR_OK) return status;
        if (o.align && (status = materialise(&c->y, c->length + DELAYS, &held.y10)) != KELVOR_OK) return status;
    }
    return KELVOR_OK;
}

// One pass over the signals at 10 kHz, block by block from their start:
// visit(x, y, count) gets the reference's samples k .. k + count - 1 and,
// with_degraded, the degraded signal's samples k + offset .. k + offset +
// count + reach - 1 (reach at most a block); y is null without them. Kept
// signals are read where they are; the others are resampled block by block,
// the degraded one a block ahead by `reach`.
template <typename Visit>
int each_block(Chain* c, bool with_degraded, int64_t offset, int32_t reach, Visit visit) {
    Held& held = c->held;
    const bool stream_y = with_degraded && held.y10 == nullptr;
    source_restart(&c->x);
    source_restart(&c->y);
    int status = KELVOR_OK;
    if (stream_y) {
        if ((status = source_fill(&c->y, offset, BLOCK, held.y_block)) != KELVOR_OK) return status;
        if ((status = source_fill(&c->y, offset + BLOCK, reach, held.y_block + BLOCK)) != KELVOR_OK) return status;
    }
    for (int64_t k = 0; k < c->length; k += BLOCK) {
        const int32_t count = static_cast<int32_t>(c->length - k < BLOCK ? c->length - k : BLOCK);
        const double* xb = held.x10 != nullptr ? held.x10 + k : held.x_block;
        if (held.x10 == nullptr && (status = source_fill(&c->x, k, count, held.x_block)) != KELVOR_OK) return status;
        const double* yb = nullptr;
        if (with_degraded) yb = stream_y ? held.y_block : held.y10 + k + offset;
        visit(xb, yb, count);
        if (stream_y && k + BLOCK < c->length) {
            // The next block's samples: the reach already held, then a block.
            std::memmove(held.y_block, held.y_block + BLOCK, static_cast<size_t>(reach) * sizeof(double));
            status = source_fill(&c->y, k + BLOCK + reach + offset, BLOCK, held.y_block + reach);
            if (status != KELVOR_OK) return status;
        }
    }
    return KELVOR_OK;
}

// The first pass: the level of the reference's loudest frame (each frame's
// level kept for the second pass when the pair is) and, with align, the
// delay at 10 kHz (each delay's sum over the whole signal).
int first_pass(Chain* c, bool align, double* loudest, int64_t* frames, int64_t* delay) {
    const int64_t count = c->length / FRAME_HOP + 1;
    if (c->keep && (c->held.levels = doubles(count)) == nullptr) return KELVOR_ERR_NO_MEMORY;
    LevelScan scan;
    level_scan_start(&scan, c->held.levels, count);
    DelaySearch search;
    delay_search_start(&search, DELAYS);
    const int status = each_block(c, align, 0, DELAYS, [&](const double* x, const double* y, int32_t n) {
        level_scan_feed(&scan, x, n);
        if (align) delay_search_feed(&search, x, y, n);
    });
    if (status != KELVOR_OK) return status;
    *loudest = scan.loudest;
    *frames = scan.frames;
    *delay = align ? delay_search_best(&search) : 0;
    return KELVOR_OK;
}

// The second pass: both signals through the measures, the degraded one
// from its delay (at 10 kHz) on.
int second_pass(Chain* c, double loudest, int64_t frames, int64_t delay, bool keep_details) {
    c->held.run = reference_run_create(loudest, keep_details, c->held.levels, frames);
    if (c->held.run == nullptr) return KELVOR_ERR_NO_MEMORY;
    ReferenceRun* run = c->held.run;
    return each_block(c, true, delay, 0,
                      [run](const double* x, const double* y, int32_t n) { reference_run_feed(run, x, y, n); });
}

}  // namespace

int reference_peak(const Input& in, double* buffer, double* peak) {
    // Four running maxima and a count of the values that are not finite,
    // so that the loop has no chain of dependent comparisons. An array of
    // doubles is looked at where it lies.
    double p[4] = {0.0, 0.0, 0.0, 0.0};
    int64_t bad = 0;
    for (int64_t at = 0; at < in.signal.length; at += BLOCK) {
        const int32_t count = static_cast<int32_t>(in.signal.length - at < BLOCK ? in.signal.length - at : BLOCK);
        const double* block = nullptr;
        const int status = input_block(in, at, count, buffer, &block);
        if (status != KELVOR_OK) return status;
        int32_t i = 0;
        for (; i + 4 <= count; i += 4) {
            for (int32_t k = 0; k < 4; k++) {
                const double v = std::fabs(block[i + k]);
                bad += !(v <= 1.79769313486231570815e308);
                p[k] = v > p[k] ? v : p[k];
            }
        }
        for (; i < count; i++) {
            const double v = std::fabs(block[i]);
            bad += !(v <= 1.79769313486231570815e308);
            p[0] = v > p[0] ? v : p[0];
        }
    }
    if (bad != 0) return KELVOR_ERR_NOT_FINITE;
    *peak = std::fmax(std::fmax(p[0], p[1]), std::fmax(p[2], p[3]));
    return KELVOR_OK;
}

int64_t reference_span(const PolyphaseFilter* f) {
    // An input span of one block of outputs, with the filter's reach.
    return f == nullptr ? BLOCK : static_cast<int64_t>(BLOCK) * f->down / f->up + f->taps + 2;
}

int reference_resample(const Input& in, int64_t offset, int64_t padded, double scale, const PolyphaseFilter* f,
                       int64_t length, double* span, double* scratch, double* out) {
    Source s{&in, offset, padded, scale, f, scratch, length, span, 0, 0};
    return fill_all(&s, length, out);
}

double reference_input_scale(double peak) {
    if (peak == 0.0 || (peak >= 0x1p-40 && peak <= 0x1p40)) return 1.0;
    int exponent = 0;
    std::frexp(peak, &exponent);
    return std::ldexp(1.0, -exponent);
}

int score_reference(const ScoreRequest& q, const CheckedRequest& checked, kelvor_scores* out,
                    kelvor_details** details) {
    const kelvor_options& o = checked.options;
    Chain c;
    int status = prepare(q, checked, &c);
    double loudest = 0.0;
    int64_t frames = 0;
    int64_t delay = 0;  // at 10 kHz
    if (status == KELVOR_OK) status = first_pass(&c, o.align != 0, &loudest, &frames, &delay);
    if (status == KELVOR_OK) status = second_pass(&c, loudest, frames, delay, details != nullptr);
    if (status != KELVOR_OK) return status;

    // The scores, with the delay in effect: the one found, at 10 kHz, or the
    // shift given, at the input's rate.
    double stoi = 0.0;
    double estoi = 0.0;
    if ((status = status_of(reference_run_finish(c.held.run, &stoi, &estoi))) != KELVOR_OK) return status;
    const bool found = o.align != 0;
    const int delay_samples =
        found ? static_cast<int>(std::llround(static_cast<double>(delay) * q.rate / MEASURE_RATE)) : o.shift;
    const double delay_ms = found ? static_cast<double>(delay) * 1000.0 / MEASURE_RATE : o.shift * 1000.0 / q.rate;
    kelvor_scores scores{};
    status = scores_of(stoi, estoi, KELVOR_PROFILE_REFERENCE, delay_samples, delay_ms, &scores);
    if (status != KELVOR_OK) return status;
    if (details != nullptr) {
        ReferenceDetails d;
        reference_run_details(c.held.run, &d);
        *details = make_details_block(scores, d.segments, d.stoi_correlation, d.estoi_segment,
                                      static_cast<int32_t>(d.frames), d.kept_count, d.kept_frames);
        return *details != nullptr ? KELVOR_OK : KELVOR_ERR_NO_MEMORY;
    }
    *out = scores;
    return KELVOR_OK;
}

}  // namespace kelvor
