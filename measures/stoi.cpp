#include "measures/stoi.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/cpu.h"
#include "common/stopwatch.h"
#include "measures/correlation.h"
#include "measures/memory.h"
#include "measures/pipeline.h"
#include "measures/silence.h"
#include "measures/spectrum.h"

namespace kelvor {

namespace {

// The arrays of one run, null until allocated and again once released, so
// that a run that stops early releases exactly what it holds.
struct RunArrays {
    uint8_t* mH;
    double* x;
    double* y;
    double* ax_hat;
    double* ay_hat;
    double* X;
    double* Y;
    double* d_interm;
    double* xn_tmp;
    double* yn_tmp;
    double* d1;
};

template <typename P>
void release(P** block) {
    std::free(*block);
    *block = nullptr;
}

void release_all(RunArrays* a) {
    release(&a->mH);
    release(&a->x);
    release(&a->y);
    release(&a->ax_hat);
    release(&a->ay_hat);
    release(&a->X);
    release(&a->Y);
    release(&a->d_interm);
    release(&a->xn_tmp);
    release(&a->yn_tmp);
    release(&a->d1);
}

// The pipeline on two signals of n samples, given as doubles or, on the
// fast path, as the 16-bit samples that the doubles stand for (each times
// 2^-15): remove reads either and gives the same bits. Arrays are
// allocated into *a and released as soon as they are done with; on a
// failure the caller releases what is left.
template <typename T>
MeasureStatus run_pipeline(const T* x_in, const T* y_in, int32_t n, RunArrays* a, MeasureResult* r,
                           MeasureDetails* details) {
    MeasureFailure* failure = &r->failure;
    double window[FRAME_LENGTH];
    hann_window(window, FRAME_LENGTH);
    uint16_t noise = NOISE_STATE_START;

    a->mH = static_cast<uint8_t*>(
        measure_alloc(static_cast<size_t>(BAND_COUNT) * BIN_COUNT, sizeof(uint8_t), "STOI", "mH", failure));
    if (a->mH == nullptr) return MEASURE_NO_MEMORY;
    fill_band_mask(a->mH);

    Stopwatch watch;
    stopwatch_start(&watch);

    const int32_t input_frames = frame_count(n);
    if ((a->x = measure_doubles(static_cast<size_t>(n), "STOI", "x", failure)) == nullptr) return MEASURE_NO_MEMORY;
    if ((a->y = measure_doubles(static_cast<size_t>(n), "STOI", "y", failure)) == nullptr) return MEASURE_NO_MEMORY;
    const int32_t kept_length = remove(x_in, y_in, n, input_frames, a->x, a->y, window,
                                       details != nullptr ? details->kept_frames : nullptr, failure);
    if (kept_length < 0) return failure->status;
    if (details != nullptr) details->kept_count = kept_length == 0 ? 0 : kept_length / FRAME_HOP - 1;

    const int32_t F = frame_count(kept_length);
    // The segments are F - SEGMENT_LENGTH; a score needs one.
    if (F <= SEGMENT_LENGTH) {
        *failure = MeasureFailure{MEASURE_TOO_SHORT, "STOI", nullptr};
        return MEASURE_TOO_SHORT;
    }

    const size_t spectrum_size = static_cast<size_t>(F) * BIN_COUNT;
    if ((a->ax_hat = measure_doubles(spectrum_size, "STOI", "ax_hat", failure)) == nullptr) return MEASURE_NO_MEMORY;
    if ((a->ay_hat = measure_doubles(spectrum_size, "STOI", "ay_hat", failure)) == nullptr) return MEASURE_NO_MEMORY;
    // The fast path forms the band envelopes frame by frame and keeps them
    // at the start of ax_hat and ay_hat, which then never hold the full
    // spectra: most of their pages are never touched.
    const bool by_frames = isa_level() != ISA_PLAIN;
    if (by_frames) {
        if (!stdft_bands(a->x, a->mH, a->ax_hat, F, window, failure)) return failure->status;
        if (!stdft_bands(a->y, a->mH, a->ay_hat, F, window, failure)) return failure->status;
    } else {
        if (!stdft(a->x, a->ax_hat, F, window, failure)) return failure->status;
        if (!stdft(a->y, a->ay_hat, F, window, failure)) return failure->status;
    }

    const size_t envelope_size = static_cast<size_t>(BAND_COUNT) * F;
    if ((a->X = measure_doubles(envelope_size, "STOI", "X", failure)) == nullptr) return MEASURE_NO_MEMORY;
    if ((a->Y = measure_doubles(envelope_size, "STOI", "Y", failure)) == nullptr) return MEASURE_NO_MEMORY;
    if (by_frames) {
        std::memcpy(a->X, a->ax_hat, envelope_size * sizeof(double));
        std::memcpy(a->Y, a->ay_hat, envelope_size * sizeof(double));
    } else {
        band_envelopes(a->ax_hat, a->ay_hat, a->mH, F, a->X, a->Y);
    }

    // Lower signal-to-distortion bound of -15 dB: clip at x + 10^(15/20) x.
    const double c = std::pow(10.0, 0.75);
    // Segments are frames m .. m + 29; the last frame begins none.
    const int32_t M = F - SEGMENT_LENGTH;
    const size_t correlation_count = static_cast<size_t>(BAND_COUNT) * M;
    if ((a->d_interm = measure_doubles(correlation_count, "STOI", "d_interm", failure)) == nullptr) {
        return MEASURE_NO_MEMORY;
    }
    if ((a->xn_tmp = measure_doubles(SEGMENT_LENGTH, "STOI", "xn_tmp", failure)) == nullptr) return MEASURE_NO_MEMORY;
    if ((a->yn_tmp = measure_doubles(SEGMENT_LENGTH, "STOI", "yn_tmp", failure)) == nullptr) return MEASURE_NO_MEMORY;

    stoi_correlations(a->X, a->Y, F, M, c, a->d_interm, a->xn_tmp, a->yn_tmp);

    double stoi_sum = 0.0;
    for (size_t i = 0; i < correlation_count; i++) stoi_sum = stoi_sum + a->d_interm[i];
    r->stoi = stoi_sum / static_cast<double>(BAND_COUNT * M);

    if (details != nullptr) {
        details->segments = M;
        details->stoi_correlation = a->d_interm;
        a->d_interm = nullptr;
    }
    release(&a->d_interm);
    release(&a->xn_tmp);
    release(&a->yn_tmp);
    release(&a->x);
    release(&a->y);
    release(&a->ax_hat);
    release(&a->ay_hat);
    r->t1 = stopwatch_elapsed(&watch);
    stopwatch_start(&watch);

    if ((a->d1 = measure_doubles(static_cast<size_t>(M), "ESTOI", "d1", failure)) == nullptr) return MEASURE_NO_MEMORY;
    estoi_values(a->X, a->Y, F, M, a->d1, &noise);
    double estoi_sum = 0.0;
    for (int32_t m = 0; m < M; m++) estoi_sum = estoi_sum + a->d1[m];
    r->estoi = estoi_sum / M;
    if (details != nullptr) {
        details->estoi_segment = a->d1;
        a->d1 = nullptr;
    }
    release(&a->d1);
    r->t2 = stopwatch_elapsed(&watch);

    release(&a->X);
    release(&a->Y);
    release(&a->mH);
    return MEASURE_OK;
}

template <typename T>
MeasureStatus stoi_estoi_from(const T* x, const T* y, int32_t n, MeasureResult* result, MeasureDetails* details) {
    RunArrays arrays{};
    const MeasureStatus status = run_pipeline(x, y, n, &arrays, result, details);
    release_all(&arrays);
    if (status != MEASURE_OK && details != nullptr) {
        std::free(details->stoi_correlation);
        details->stoi_correlation = nullptr;
    }
    return status;
}

}  // namespace

MeasureStatus stoi_estoi(const double* x, const double* y, int32_t n, MeasureResult* result,
                         MeasureDetails* details) {
    result->failure = MeasureFailure{MEASURE_OK, nullptr, nullptr};
    return stoi_estoi_from(x, y, n, result, details);
}

MeasureStatus stoi_estoi_pcm(const int16_t* ref, const int16_t* deg, int32_t n, MeasureResult* result,
                             MeasureDetails* details) {
    result->failure = MeasureFailure{MEASURE_OK, nullptr, nullptr};
    MeasureFailure* failure = &result->failure;
    const size_t count = static_cast<size_t>(n);
    double* d_clean = measure_doubles(count, "KELVOR_STOI", "d_clean", failure);
    if (d_clean == nullptr) return MEASURE_NO_MEMORY;
    double* d_processed = measure_doubles(count, "KELVOR_STOI", "d_processed", failure);
    if (d_processed == nullptr) {
        std::free(d_clean);
        return MEASURE_NO_MEMORY;
    }
    MeasureStatus status;
    if (isa_level() != ISA_PLAIN) {
        // The converted arrays are allocated as always but never written:
        // the pipeline reads the 16-bit samples and converts each one where
        // it uses it, to the same double.
        status = stoi_estoi_from(ref, deg, n, result, details);
    } else {
        // Both steps are exact: a 16-bit value fits a double, and 2^-15 is
        // a power of two.
        const double scale = 0x1p-15;
        for (size_t i = 0; i < count; i++) {
            d_clean[i] = static_cast<double>(ref[i]);
            d_clean[i] = d_clean[i] * scale;
        }
        for (size_t i = 0; i < count; i++) {
            d_processed[i] = static_cast<double>(deg[i]);
            d_processed[i] = d_processed[i] * scale;
        }
        status = stoi_estoi_from(d_clean, d_processed, n, result, details);
    }

    std::free(d_clean);
    std::free(d_processed);
    return status;
}

}  // namespace kelvor
