#include "batch/pair.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "batch/error.h"
#include "batch/resample.h"
#include "kelvor/stoi.h"

namespace kelvor::batch {

namespace {

const char* library_code(int status) {
    switch (status) {
    case KELVOR_ERR_TOO_SHORT: return "too_short";
    case KELVOR_ERR_NO_MEMORY: return "no_memory";
    case KELVOR_ERR_FFT_TABLES: return "no_memory";  // the tables' memory, said so by the message
    case KELVOR_ERR_BAD_ARGUMENT: return "bad_argument";
    case KELVOR_ERR_TOO_LONG: return "too_long";
    case KELVOR_ERR_BAD_SHIFT: return "bad_shift";
    case KELVOR_ERR_CONFLICT: return "conflict";
    case KELVOR_ERR_NOT_FINITE: return "not_finite";
    default: return "failed";
    }
}

void check_status(int status) {
    if (status != KELVOR_OK) throw PairError(library_code(status), kelvor_status_text(status));
}

void check_finite(const Audio& audio, const char* label) {
    if (audio.pcm16) return;
    for (double v : audio.values) {
        if (!std::isfinite(v)) {
            throw PairError("not_finite", std::string("The ") + label + " signal holds a sample that is not a finite number");
        }
    }
}

bool is_silent(const Audio& audio) {
    if (audio.pcm16) return std::all_of(audio.pcm.begin(), audio.pcm.end(), [](int16_t s) { return s == 0; });
    return std::all_of(audio.values.begin(), audio.values.end(), [](double v) { return v == 0.0; });
}

// Both signals as doubles, padded with zeros to the longer one's length;
// the degraded one delayed by `shift` samples (its first samples dropped,
// zeros appended), as the tool shifts at 8 kHz.
void padded_doubles(const Audio& reference, const Audio& degraded, int shift, std::vector<double>& ref,
                    std::vector<double>& deg) {
    size_t n = static_cast<size_t>(std::max(reference.frames(), degraded.frames()));
    ref = reference.as_doubles();
    ref.resize(n, 0.0);
    deg = degraded.as_doubles();
    size_t drop = std::min(static_cast<size_t>(shift), deg.size());
    deg.erase(deg.begin(), deg.begin() + static_cast<std::ptrdiff_t>(drop));
    deg.resize(n, 0.0);
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
int score_8k(const Audio& ref, const Audio& deg, const kelvor_options& options, kelvor_scores& scores,
             Details* details) {
    if (details == nullptr) {
        return kelvor_score_pcm8k(ref.pcm.data(), ref.frames(), deg.pcm.data(), deg.frames(), &options, &scores);
    }
    DetailsBlock d;
    int status = kelvor_details_pcm8k(ref.pcm.data(), ref.frames(), deg.pcm.data(), deg.frames(), &options, &d.block);
    if (status == KELVOR_OK) {
        scores = d.block->scores;
        copy_details(*d.block, *details);
    }
    return status;
}

int score_10k(const std::vector<double>& ref, const std::vector<double>& deg, const kelvor_options& options,
              kelvor_scores& scores, Details* details) {
    const int64_t rn = static_cast<int64_t>(ref.size());
    const int64_t dn = static_cast<int64_t>(deg.size());
    if (details == nullptr) return kelvor_score_10k(ref.data(), rn, deg.data(), dn, &options, &scores);
    DetailsBlock d;
    int status = kelvor_details_10k(ref.data(), rn, deg.data(), dn, &options, &d.block);
    if (status == KELVOR_OK) {
        scores = d.block->scores;
        copy_details(*d.block, *details);
    }
    return status;
}

void score(const Audio& reference, const Audio& degraded, int shift, bool align, bool double_table, Row& row,
           Details* details) {
    if (reference.rate != degraded.rate) {
        throw PairError("rate_mismatch", "The reference is at " + std::to_string(reference.rate) +
                                             " Hz, the degraded signal at " + std::to_string(degraded.rate) + " Hz");
    }
    const int rate = reference.rate;
    if (rate <= 0) throw PairError("format", "Sample rate " + std::to_string(rate) + " Hz");
    row.rate = rate;
    row.seconds = static_cast<double>(std::max(reference.frames(), degraded.frames())) / rate;
    if (shift != 0 && align) throw PairError("conflict", "Both a shift and a delay search were asked; use one");
    if (shift < 0 || shift > max_shift(rate)) {
        throw PairError("bad_shift", "Shift " + std::to_string(shift) + " is outside 1 .. " +
                                         std::to_string(max_shift(rate)) + " samples at " + std::to_string(rate) + " Hz");
    }
    check_finite(reference, "reference");
    check_finite(degraded, "degraded");
    if (reference.frames() == 0) throw PairError("too_short", "The reference holds no samples");
    if (is_silent(reference)) throw PairError("silent", "The reference is digital silence (every sample is zero)");

    kelvor_options options{};
    kelvor_scores scores{};
    if (rate == 8000 && reference.pcm16 && degraded.pcm16) {
        options.align = align ? 1 : 0;
        options.shift = shift;
        options.double_table = double_table ? 1 : 0;
        check_status(score_8k(reference, degraded, options, scores, details));
        row.delay_samples = scores.delay;
        row.delay_ms = scores.delay * 1000.0 / rate;
    } else {
        std::vector<double> ref;
        std::vector<double> deg;
        padded_doubles(reference, degraded, shift, ref, deg);
        if (rate != 10000) {
            ref = resample_to_10k(ref, rate);
            deg = resample_to_10k(deg, rate);
        }
        options.align = align ? 1 : 0;
        check_status(score_10k(ref, deg, options, scores, details));
        if (align) {
            // Found at 10 kHz: in the files' samples, rounded to nearest.
            row.delay_samples = std::llround(scores.delay * static_cast<double>(rate) / 10000.0);
            row.delay_ms = scores.delay / 10.0;
        } else {
            row.delay_samples = shift;
            row.delay_ms = shift * 1000.0 / rate;
        }
    }
    // A score that is not a number is never a result (a float input near
    // the largest float can overflow the measures).
    if (!std::isfinite(scores.stoi) || !std::isfinite(scores.estoi)) {
        throw PairError("not_finite", "The scores are not finite numbers (the signals overflow the measures; "
                                      "scale them down)");
    }
    row.stoi = scores.stoi;
    row.estoi = scores.estoi;
}

void fail(Row& row, const std::string& code, const std::string& message) {
    row.stoi.reset();
    row.estoi.reset();
    row.delay_samples.reset();
    row.delay_ms.reset();
    row.status = code;
    row.message = message;
}

// Runs body, turning whatever it throws into the row's error.
template <typename Body>
void guarded(Row& row, Body body) noexcept {
    try {
        body();
    } catch (const PairError& e) {
        fail(row, e.code(), e.what());
    } catch (const std::bad_alloc&) {
        fail(row, "no_memory", "Not enough memory for this pair");
    } catch (const std::exception& e) {
        fail(row, "failed", e.what());
    } catch (...) {
        fail(row, "failed", "Unexpected failure");
    }
}

}  // namespace

int max_shift(int rate) {
    return rate > 0 ? static_cast<int>(900LL * rate / 8000) : 0;
}

Row score_audio(const Audio& reference, const Audio& degraded, int shift, bool align, Details* details,
                bool double_table) noexcept {
    Row row;
    guarded(row, [&] { score(reference, degraded, shift, align, double_table, row, details); });
    return row;
}

Row score_pair(const PairSpec& listed, const ScoreOptions& options, Details* details) noexcept {
    Row row;
    guarded(row, [&] {
        row.reference = listed.reference;
        row.degraded = listed.degraded;
        if (!listed.error_code.empty()) throw PairError(listed.error_code, listed.error_message);
        Audio reference = read_audio(listed.reference_path, options.audio, "reference");
        Audio degraded = read_audio(listed.degraded_path, options.audio, "degraded");
        score(reference, degraded, listed.shift, listed.align || options.align, false, row, details);
    });
    return row;
}

}  // namespace kelvor::batch
