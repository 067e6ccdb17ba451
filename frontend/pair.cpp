#include "frontend/pair.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "frontend/error.h"
#include "kelvor/stoi.h"

namespace kelvor::frontend {

namespace {

// Frees a kelvor_details block.
struct DetailsBlock {
    kelvor_details* block = nullptr;
    ~DetailsBlock() { kelvor_details_free(block); }
};

void copy_details(const kelvor_details& d, Details& out) {
    const size_t bands = static_cast<size_t>(d.band_count);
    const size_t segments = static_cast<size_t>(d.segment_count);
    out.band_centre_hz.assign(d.band_centre_hz, d.band_centre_hz + bands);
    out.stoi_correlation.assign(bands, {});
    for (size_t j = 0; j < bands; j++) {
        out.stoi_correlation[j].assign(d.stoi_correlation + j * segments, d.stoi_correlation + (j + 1) * segments);
    }
    out.estoi_segment.assign(d.estoi_segment, d.estoi_segment + segments);
    out.segment_start.assign(d.segment_start, d.segment_start + segments);
    out.segment_end.assign(d.segment_end, d.segment_end + segments);
    out.frame_count = d.frame_count;
    out.kept_frames.assign(d.kept_frames, d.kept_frames + d.kept_count);
}

std::string rate_text(int rate) {
    return std::to_string(rate) + " Hz";
}

std::string hours_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f hours", seconds / 3600.0);
    return text;
}

std::string seconds_text(int64_t frames, int rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(frames) / rate);
    return text;
}

// What the library's sentence for a status cannot know of this pair: its
// rate, the signal at fault, the range of a shift at this rate, the
// lengths and how this front end's user chooses to pad or trim them.
std::string facts_of(int status, const Signal& reference, const Signal& degraded, const kelvor_options& options,
                     const char* unequal_option) {
    const int rate = reference.rate;
    switch (status) {
    case KELVOR_ERR_BAD_SHIFT:
        return "a shift of " + std::to_string(options.shift) + " samples at " + rate_text(rate) + ", where it is 0 to " +
               std::to_string(kelvor_max_shift(rate));
    case KELVOR_ERR_BAD_RATE: return "this pair is at " + rate_text(rate);
    case KELVOR_ERR_PROFILE:
        return rate != 8000 ? "this pair is at " + rate_text(rate) : "this pair's samples are not all 16-bit values";
    case KELVOR_ERR_TOO_SHORT: return reference.frames == 0 ? reference.name + " holds no samples" : "";
    case KELVOR_ERR_TOO_LONG: {
        // The library's limit at this rate; where it names none (a status),
        // the longer signal is the one at fault.
        const int64_t longest = kelvor_max_length(options.profile, rate);
        const int64_t over = longest >= 0 ? longest : std::min(reference.frames, degraded.frames);
        std::string facts;
        for (const Signal* s : {&reference, &degraded}) {
            if (s->frames <= over || rate <= 0) continue;
            facts += (facts.empty() ? "" : "; ") + s->name + " holds " + std::to_string(s->frames) + " samples at " +
                     rate_text(rate) + ", " + hours_text(static_cast<double>(s->frames) / rate);
        }
        if (rate > 0 && longest >= 0) {
            facts += (facts.empty() ? "" : "; ") + ("at most " + hours_text(static_cast<double>(longest) / rate) + " are scored");
        }
        return facts;
    }
    case KELVOR_ERR_LENGTH_MISMATCH: {
        if (rate <= 0) return "";
        return reference.name + " holds " + std::to_string(reference.frames) + " samples (" +
               seconds_text(reference.frames, rate) + "), " + degraded.name + " " + std::to_string(degraded.frames) +
               " (" + seconds_text(degraded.frames, rate) + "), at " + rate_text(rate) +
               "; to score them padded with zeros to the longer or trimmed to the shorter, give " + unequal_option;
    }
    default: return "";
    }
}

// Scores through the library's plain call, or through its details call
// when details are asked for (the same scores, more results).
int scored(const kelvor_signal& x, const kelvor_signal& y, double rate, const kelvor_options& options,
           kelvor_scores& scores, Details* details) {
    if (details == nullptr) return kelvor_score_signals(&x, &y, rate, &options, &scores);
    DetailsBlock d;
    const int status = kelvor_details_signals(&x, &y, rate, &options, &d.block);
    if (status == KELVOR_OK) {
        scores = d.block->scores;
        copy_details(*d.block, *details);
    }
    return status;
}

// A Signal behind the library's reader interface. What a read throws is
// kept, to be thrown again once the library has returned its status: no
// exception crosses the C interface. A read asked to stop (cancelled)
// fails the same way, which ends the library's call at once.
struct Reader {
    const Signal* signal;
    const Cancelled* cancelled;
    std::exception_ptr failure;

    static int read(void* context, int64_t start, int32_t count, double* out) noexcept {
        Reader* r = static_cast<Reader*>(context);
        try {
            if (*r->cancelled && (*r->cancelled)()) throw PairError(KELVOR_ERR_FAILED, "interrupted");
            r->signal->read(start, count, out);
            return KELVOR_OK;
        } catch (...) {
            r->failure = std::current_exception();
            return KELVOR_ERR_FORMAT;
        }
    }
    kelvor_signal interface() { return kelvor_signal{signal->frames, &Reader::read, this}; }
};

// What a row says of a pair before it is scored: its rate, which both
// signals must share, and the seconds scored (the shorter signal's when
// trimmed, the longer's otherwise).
void start_row(const Signal& reference, const Signal& degraded, const kelvor_options& options, Row& row) {
    if (reference.rate != degraded.rate) {
        throw PairError(KELVOR_ERR_RATE_MISMATCH, "the reference is at " + rate_text(reference.rate) +
                                                      ", the degraded signal at " + rate_text(degraded.rate));
    }
    const int rate = reference.rate;
    row.rate = rate;
    const int64_t frames = options.unequal == KELVOR_UNEQUAL_TRIM ? std::min(reference.frames, degraded.frames)
                                                                  : std::max(reference.frames, degraded.frames);
    if (rate > 0) row.seconds = static_cast<double>(frames) / rate;
}

void finish_row(const kelvor_scores& scores, Row& row) {
    row.delay_samples = scores.delay;
    row.delay_ms = scores.delay_ms;
    row.stoi = scores.stoi;
    row.estoi = scores.estoi;
}

void score(const Signal& reference, const Signal& degraded, const kelvor_options& options, Row& row,
           Details* details, const Cancelled& cancelled, const char* unequal_option) {
    start_row(reference, degraded, options, row);
    const int rate = reference.rate;
    Reader x{&reference, &cancelled, nullptr};
    Reader y{&degraded, &cancelled, nullptr};
    kelvor_scores scores{};
    const int status = scored(x.interface(), y.interface(), rate, options, scores, details);
    for (const Reader* r : {&x, &y}) {
        if (status != KELVOR_OK && r->failure) {
            // A file found damaged while it was read was not read: the row
            // says no more than before reading.
            row.rate.reset();
            row.seconds.reset();
            std::rethrow_exception(r->failure);
        }
    }
    if (status != KELVOR_OK) throw PairError(status, facts_of(status, reference, degraded, options, unequal_option));
    finish_row(scores, row);
}

// A signal's samples, read whole as doubles.
std::vector<double> whole(const Signal& signal) {
    std::vector<double> samples(static_cast<size_t>(signal.frames));
    constexpr int64_t BLOCK = 65536;
    for (int64_t start = 0; start < signal.frames; start += BLOCK) {
        signal.read(start, static_cast<int32_t>(std::min(BLOCK, signal.frames - start)), samples.data() + start);
    }
    return samples;
}

void score_with_gradient(const Signal& reference, const Signal& degraded, const PairOptions& pair_options,
                         Row& row, double* grad_stoi, double* grad_estoi) {
    const kelvor_options& options = pair_options.scoring;
    start_row(reference, degraded, options, row);
    const int rate = reference.rate;
    const std::vector<double> x = whole(reference);
    const std::vector<double> y = whole(degraded);
    kelvor_scores scores{};
    const int status = kelvor_score_gradient(x.data(), reference.frames, y.data(), degraded.frames, rate, &options,
                                             &scores, grad_stoi, grad_estoi);
    if (status == KELVOR_ERR_TOO_LONG) {
        // The gradient's own limit, far below the scores' (its pair is held
        // at 10 kHz in memory).
        throw PairError(status, "the longer signal holds " + std::to_string(std::max(reference.frames, degraded.frames)) +
                                    " samples at " + rate_text(rate) + "; a gradient is taken over at most " +
                                    std::to_string(KELVOR_MAX_SAMPLES_GRADIENT) + " samples at 10 kHz");
    }
    if (status != KELVOR_OK) {
        throw PairError(status, facts_of(status, reference, degraded, options, pair_options.unequal_option));
    }
    finish_row(scores, row);
}

// Runs body, turning whatever it throws into the row's error.
template <typename Body>
void guarded(Row& row, Body body) noexcept {
    try {
        body();
    } catch (const PairError& e) {
        fail_row(row, e.status(), e.facts());
    } catch (const std::bad_alloc&) {
        fail_row(row, KELVOR_ERR_NO_MEMORY, "");
    } catch (const std::exception& e) {
        fail_row(row, KELVOR_ERR_FAILED, e.what());
    } catch (...) {
        fail_row(row, KELVOR_ERR_FAILED, "");
    }
}

}  // namespace

kelvor_options pair_scoring(const PairSpec& listed, const PairOptions& options) {
    kelvor_options scoring = options.scoring;
    if (listed.align) scoring.align = 1;
    if (listed.shift != 0) scoring.shift = listed.shift;
    return scoring;
}

void fail_row(Row& row, int status, const std::string& facts) {
    row.stoi.reset();
    row.estoi.reset();
    row.delay_samples.reset();
    row.delay_ms.reset();
    row.status = status;
    row.message = pair_message(status, facts);
}

Signal signal_of(AudioStream& stream) {
    Signal s;
    s.rate = stream.rate();
    s.frames = stream.frames();
    s.read = [&stream](int64_t start, int32_t count, double* out) { stream.read(start, count, out); };
    s.name = stream.name();
    return s;
}

Signal signal_of(const Audio& audio, const std::string& name) {
    Signal s;
    s.rate = audio.rate;
    s.frames = audio.frames();
    s.name = name;
    if (audio.pcm16) {
        const int16_t* pcm = audio.pcm.data();
        s.read = [pcm](int64_t start, int32_t count, double* out) {
            for (int32_t i = 0; i < count; i++) out[i] = static_cast<double>(pcm[start + i]) * 0x1p-15;
        };
    } else {
        const double* values = audio.values.data();
        s.read = [values](int64_t start, int32_t count, double* out) {
            std::memcpy(out, values + start, static_cast<size_t>(count) * sizeof(double));
        };
    }
    return s;
}

Row score_signals(const Signal& reference, const Signal& degraded, const PairOptions& options, Details* details,
                  const Cancelled& cancelled) noexcept {
    Row row;
    guarded(row, [&] { score(reference, degraded, options.scoring, row, details, cancelled, options.unequal_option); });
    return row;
}

Row score_gradient(const Signal& reference, const Signal& degraded, const PairOptions& options,
                   double* grad_stoi, double* grad_estoi) noexcept {
    Row row;
    guarded(row, [&] { score_with_gradient(reference, degraded, options, row, grad_stoi, grad_estoi); });
    return row;
}

Row score_audio(const Audio& reference, const Audio& degraded, const kelvor_options& options,
                Details* details) noexcept {
    Row row;
    guarded(row, [&] {
        score(signal_of(reference, "the reference"), signal_of(degraded, "the degraded signal"), options, row,
              details, {}, BATCH_UNEQUAL_OPTION);
    });
    return row;
}

Row score_pair(const PairSpec& listed, const PairOptions& options, Details* details,
               const Cancelled& cancelled) noexcept {
    Row row;
    guarded(row, [&] {
        row.reference = listed.reference;
        row.degraded = listed.degraded;
        row.metadata = listed.metadata;
        if (listed.status != KELVOR_OK) {
            fail_row(row, listed.status, listed.facts);
            return;
        }
        const std::unique_ptr<AudioStream> reference =
            AudioStream::open(listed.reference_path, options.reading, "reference");
        const std::unique_ptr<AudioStream> degraded =
            AudioStream::open(listed.degraded_path, options.reading, "degraded");
        score(signal_of(*reference), signal_of(*degraded), pair_scoring(listed, options), row, details, cancelled,
              options.unequal_option);
    });
    return row;
}

}  // namespace kelvor::frontend
