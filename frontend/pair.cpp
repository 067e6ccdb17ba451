#include "frontend/pair.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>

#include "frontend/error.h"
#include "kelvor/stoi.h"

namespace kelvor::frontend {

namespace {

void check_status(int status) {
    if (status != KELVOR_OK) throw PairError(status, kelvor_status_text(status));
}

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

// Scores through the library's plain call, or through its details call
// when details are asked for (the same scores, more results).
template <typename Plain, typename WithDetails>
int scored(Plain plain, WithDetails with_details, kelvor_scores& scores, Details* details) {
    if (details == nullptr) return plain(&scores);
    DetailsBlock d;
    const int status = with_details(&d.block);
    if (status == KELVOR_OK) {
        scores = d.block->scores;
        copy_details(*d.block, *details);
    }
    return status;
}

std::string rate_text(int rate) {
    return std::to_string(rate) + " Hz";
}

// A Signal behind the library's reader interface. What a read throws is
// kept, to be thrown again once the library has returned its status: no
// exception crosses the C interface.
struct Reader {
    const Signal* signal;
    std::exception_ptr failure;

    static int read(void* context, int64_t start, int32_t count, double* out) noexcept {
        Reader* r = static_cast<Reader*>(context);
        try {
            r->signal->read(start, count, out);
            return KELVOR_OK;
        } catch (...) {
            r->failure = std::current_exception();
            return KELVOR_ERR_FORMAT;
        }
    }
    kelvor_signal interface() { return kelvor_signal{signal->frames, &Reader::read, this}; }
};

// The whole signal as 16-bit values: where it lies, or read into `copy`.
const int16_t* whole_pcm(const Signal& s, std::vector<int16_t>& copy) {
    if (s.pcm != nullptr) return s.pcm;
    constexpr int32_t BLOCK = 65536;
    copy.resize(static_cast<size_t>(s.frames));
    std::vector<double> block(static_cast<size_t>(std::min<int64_t>(BLOCK, s.frames)));
    for (int64_t at = 0; at < s.frames; at += BLOCK) {
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(BLOCK, s.frames - at));
        s.read(at, count, block.data());
        for (int32_t i = 0; i < count; i++) copy[static_cast<size_t>(at + i)] = static_cast<int16_t>(block[i] * 32768.0);
    }
    return copy.data();
}

void score(const Signal& reference, const Signal& degraded, int shift, bool align, int profile, bool double_table,
           Row& row, Details* details) {
    if (reference.rate != degraded.rate) {
        throw PairError(KELVOR_ERR_RATE_MISMATCH, "The reference is at " + rate_text(reference.rate) +
                                                      ", the degraded signal at " + rate_text(degraded.rate));
    }
    const int rate = reference.rate;
    if (rate <= 0) throw PairError(KELVOR_ERR_FORMAT, "Sample rate " + rate_text(rate));
    row.rate = rate;
    row.seconds = static_cast<double>(std::max(reference.frames, degraded.frames)) / rate;
    if (shift != 0 && align) throw PairError(KELVOR_ERR_CONFLICT, "Both a shift and a delay search were asked; use one");
    if (shift < 0 || shift > kelvor_max_shift(rate)) {
        throw PairError(KELVOR_ERR_BAD_SHIFT, "Shift " + std::to_string(shift) + " is outside 0 .. " +
                                                  std::to_string(kelvor_max_shift(rate)) + " samples (112.5 ms) at " +
                                                  rate_text(rate));
    }
    if (reference.frames == 0) throw PairError(KELVOR_ERR_TOO_SHORT, "The reference holds no samples");

    kelvor_options options{};
    options.align = align ? 1 : 0;
    options.shift = shift;
    options.double_table = double_table ? 1 : 0;
    options.profile = profile == KELVOR_PROFILE_TOOL ? KELVOR_PROFILE_TOOL : KELVOR_PROFILE_REFERENCE;
    kelvor_scores scores{};
    int status = KELVOR_OK;
    if (options.profile == KELVOR_PROFILE_TOOL) {
        // The tool's chain holds both signals whole, as 16-bit values.
        std::vector<int16_t> ref_copy;
        std::vector<int16_t> deg_copy;
        const int16_t* r = reference.pcm16 ? whole_pcm(reference, ref_copy) : nullptr;
        if (r != nullptr && std::all_of(r, r + reference.frames, [](int16_t v) { return v == 0; })) {
            // The tool's chain would call it too short; say what it is.
            throw PairError(KELVOR_ERR_SILENT, kelvor_status_text(KELVOR_ERR_SILENT));
        }
        if (rate != 8000 || !reference.pcm16 || !degraded.pcm16) {
            throw PairError(KELVOR_ERR_PROFILE, "The tool profile scores 8 kHz 16-bit PCM only; this pair is at " +
                                                    rate_text(rate) +
                                                    (reference.pcm16 && degraded.pcm16 ? "" : ", not 16-bit PCM") +
                                                    " (the reference profile scores it)");
        }
        const int16_t* d = whole_pcm(degraded, deg_copy);
        const int64_t rn = reference.frames;
        const int64_t dn = degraded.frames;
        status = scored([&](kelvor_scores* out) { return kelvor_score_pcm8k(r, rn, d, dn, &options, out); },
                        [&](kelvor_details** out) { return kelvor_details_pcm8k(r, rn, d, dn, &options, out); },
                        scores, details);
    } else {
        // Both signals read in passes, a block at a time.
        Reader x{&reference, nullptr};
        Reader y{&degraded, nullptr};
        const kelvor_signal sx = x.interface();
        const kelvor_signal sy = y.interface();
        status = scored([&](kelvor_scores* out) { return kelvor_score_signals(&sx, &sy, rate, &options, out); },
                        [&](kelvor_details** out) { return kelvor_details_signals(&sx, &sy, rate, &options, out); },
                        scores, details);
        for (const Reader* r : {&x, &y}) {
            if (status != KELVOR_OK && r->failure) {
                // A file found damaged while it was read was not read: the
                // row says no more than before reading.
                row.rate.reset();
                row.seconds.reset();
                std::rethrow_exception(r->failure);
            }
        }
    }
    if (status == KELVOR_ERR_BAD_RATE) {
        throw PairError(KELVOR_ERR_BAD_RATE, "Sample rate " + rate_text(rate) +
                                                 " cannot be scored: the reference profile resamples whole rates from " +
                                                 std::to_string(KELVOR_MIN_RATE) + " to " +
                                                 std::to_string(KELVOR_MAX_RATE) +
                                                 " Hz whose ratio to 10000 reduces to terms of at most " +
                                                 std::to_string(KELVOR_MAX_RATE_TERM));
    }
    check_status(status);
    // A score that is not a number is never a result.
    if (!std::isfinite(scores.stoi) || !std::isfinite(scores.estoi)) {
        throw PairError(KELVOR_ERR_NOT_FINITE, "The scores are not finite numbers");
    }
    row.delay_samples = scores.delay;
    row.delay_ms = scores.delay_ms;
    row.stoi = scores.stoi;
    row.estoi = scores.estoi;
}

// Runs body, turning whatever it throws into the row's error.
template <typename Body>
void guarded(Row& row, Body body) noexcept {
    try {
        body();
    } catch (const PairError& e) {
        fail_row(row, e.code(), e.what());
    } catch (const std::bad_alloc&) {
        fail_row(row, KELVOR_ERR_NO_MEMORY, "Not enough memory for this pair");
    } catch (const std::exception& e) {
        fail_row(row, KELVOR_ERR_FAILED, e.what());
    } catch (...) {
        fail_row(row, KELVOR_ERR_FAILED, "Unexpected failure");
    }
}

}  // namespace

void PairSpec::set_error(int status, std::string message) {
    error_code = kelvor_status_name(status);
    error_message = std::move(message);
}

void fail_row(Row& row, const std::string& code, const std::string& message) {
    row.stoi.reset();
    row.estoi.reset();
    row.delay_samples.reset();
    row.delay_ms.reset();
    row.status = code;
    row.message = message;
}

void fail_row(Row& row, int status, const std::string& message) {
    fail_row(row, kelvor_status_name(status), message);
}

Signal signal_of(AudioStream& stream) {
    Signal s;
    s.rate = stream.rate();
    s.pcm16 = stream.pcm16();
    s.frames = stream.frames();
    s.read = [&stream](int64_t start, int32_t count, double* out) { stream.read(start, count, out); };
    return s;
}

Signal signal_of(const Audio& audio) {
    Signal s;
    s.rate = audio.rate;
    s.pcm16 = audio.pcm16;
    s.frames = audio.frames();
    if (audio.pcm16) {
        const int16_t* pcm = audio.pcm.data();
        s.pcm = pcm;
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

Row score_signals(const Signal& reference, const Signal& degraded, int shift, bool align, int profile,
                  Details* details, bool double_table) noexcept {
    Row row;
    guarded(row, [&] { score(reference, degraded, shift, align, profile, double_table, row, details); });
    return row;
}

Row score_audio(const Audio& reference, const Audio& degraded, int shift, bool align, int profile, Details* details,
                bool double_table) noexcept {
    Row row;
    guarded(row, [&] {
        score(signal_of(reference), signal_of(degraded), shift, align, profile, double_table, row, details);
    });
    return row;
}

Row score_pair(const PairSpec& listed, const ScoreOptions& options, Details* details) noexcept {
    Row row;
    guarded(row, [&] {
        row.reference = listed.reference;
        row.degraded = listed.degraded;
        row.metadata = listed.metadata;
        if (!listed.error_code.empty()) {
            fail_row(row, listed.error_code, listed.error_message);
            return;
        }
        const bool align = listed.align || options.align;
        if (options.profile == KELVOR_PROFILE_TOOL) {
            // The tool's chain takes both signals whole.
            AudioOptions whole = options.audio;
            whole.tool_lengths = true;
            const Audio reference = read_audio(listed.reference_path, whole, "reference");
            const Audio degraded = read_audio(listed.degraded_path, whole, "degraded");
            score(signal_of(reference), signal_of(degraded), listed.shift, align, options.profile,
                  options.double_table, row, details);
            return;
        }
        const std::unique_ptr<AudioStream> reference = AudioStream::open(listed.reference_path, options.audio, "reference");
        const std::unique_ptr<AudioStream> degraded = AudioStream::open(listed.degraded_path, options.audio, "degraded");
        score(signal_of(*reference), signal_of(*degraded), listed.shift, align, options.profile, options.double_table,
              row, details);
    });
    return row;
}

}  // namespace kelvor::frontend
