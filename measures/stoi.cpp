#include "measures/stoi.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
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

// The pipeline on two signals of n samples, given as doubles or, on the
// fast path, as the 16-bit samples that the doubles stand for (each times
// 2^-15): remove reads either and gives the same bits.
template <typename T>
double stoi_estoi_from(const T* x_in, const T* y_in, int32_t n, double* estoi, double* t1, double* t2) {
    hann_window(analysis_window, FRAME_LENGTH);

    uint8_t* mH = static_cast<uint8_t*>(measure_alloc(
        static_cast<size_t>(BAND_COUNT) * BIN_COUNT, sizeof(uint8_t), "STOI", "mH"));
    fill_band_mask(mH);

    timer_start();

    const int32_t input_frames = frame_count(n);
    double* x = measure_doubles(static_cast<size_t>(n), "STOI", "x");
    double* y = measure_doubles(static_cast<size_t>(n), "STOI", "y");
    const int32_t kept_length = remove(x_in, y_in, n, input_frames, x, y);

    const int32_t F = frame_count(kept_length);
    if (F <= MIN_FRAMES_EXCLUSIVE) {
        std::printf("ERROR: %s\n", "STOI -- Too short file");
        std::exit(1);
    }

    const size_t spectrum_size = static_cast<size_t>(F) * BIN_COUNT;
    double* ax_hat = measure_doubles(spectrum_size, "STOI", "ax_hat");
    double* ay_hat = measure_doubles(spectrum_size, "STOI", "ay_hat");
    // The fast path forms the band envelopes frame by frame and keeps them
    // at the start of ax_hat and ay_hat, which then never hold the full
    // spectra: most of their pages are never touched.
    const bool by_frames = isa_level() != ISA_PLAIN;
    if (by_frames) {
        stdft_bands(x, mH, ax_hat, F);
        stdft_bands(y, mH, ay_hat, F);
    } else {
        stdft(x, ax_hat, F);
        stdft(y, ay_hat, F);
    }

    const size_t envelope_size = static_cast<size_t>(BAND_COUNT) * F;
    double* X = measure_doubles(envelope_size, "STOI", "X");
    double* Y = measure_doubles(envelope_size, "STOI", "Y");
    if (by_frames) {
        std::memcpy(X, ax_hat, envelope_size * sizeof(double));
        std::memcpy(Y, ay_hat, envelope_size * sizeof(double));
    } else {
        band_envelopes(ax_hat, ay_hat, mH, F, X, Y);
    }

    // Lower signal-to-distortion bound of -15 dB: clip at x + 10^(15/20) x.
    const double c = std::pow(10.0, 0.75);
    // Segments are frames m .. m + 29; the last frame begins none.
    const int32_t M = F - SEGMENT_LENGTH;
    const size_t correlation_count = static_cast<size_t>(BAND_COUNT) * M;
    double* d_interm = measure_doubles(correlation_count, "STOI", "d_interm");
    double* xn_tmp = measure_doubles(SEGMENT_LENGTH, "STOI", "xn_tmp");
    double* yn_tmp = measure_doubles(SEGMENT_LENGTH, "STOI", "yn_tmp");

    stoi_correlations(X, Y, F, M, c, d_interm, xn_tmp, yn_tmp);

    double stoi_sum = 0.0;
    for (size_t i = 0; i < correlation_count; i++) stoi_sum = stoi_sum + d_interm[i];
    const double stoi = stoi_sum / static_cast<double>(BAND_COUNT * M);

    std::free(d_interm);
    std::free(xn_tmp);
    std::free(yn_tmp);
    std::free(x);
    std::free(y);
    std::free(ax_hat);
    std::free(ay_hat);
    *t1 = timer_elapsed();
    timer_start();

    double* d1 = measure_doubles(static_cast<size_t>(M), "ESTOI", "d1");
    estoi_values(X, Y, F, M, d1);
    double estoi_sum = 0.0;
    for (int32_t m = 0; m < M; m++) estoi_sum = estoi_sum + d1[m];
    *estoi = estoi_sum / M;
    std::free(d1);
    *t2 = timer_elapsed();

    std::free(X);
    std::free(Y);
    std::free(mH);
    return stoi;
}

}  // namespace

double stoi_estoi(const double* x_in, const double* y_in, int32_t n, double* estoi, double* t1, double* t2) {
    return stoi_estoi_from(x_in, y_in, n, estoi, t1, t2);
}

double stoi_estoi_pcm(const int16_t* ref, const int16_t* deg, int32_t n, double* estoi,
                      double* t1, double* t2) {
    const size_t count = static_cast<size_t>(n);
    double* d_clean = measure_doubles(count, "KELVOR_STOI", "d_clean");
    double* d_processed = measure_doubles(count, "KELVOR_STOI", "d_processed");
    double stoi;
    if (isa_level() != ISA_PLAIN) {
        // The converted arrays are allocated as always but never written:
        // the pipeline reads the 16-bit samples and converts each one where
        // it uses it, to the same double.
        stoi = stoi_estoi_from(ref, deg, n, estoi, t1, t2);
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
        stoi = stoi_estoi(d_clean, d_processed, n, estoi, t1, t2);
    }

    std::free(d_clean);
    std::free(d_processed);
    return stoi;
}

}  // namespace kelvor
