#include "measures/stoi.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "driver/timer.h"
#include "measures/correlation.h"
#include "measures/memory.h"
#include "measures/pipeline.h"
#include "measures/silence.h"
#include "measures/spectrum.h"

double stoi_estoi(const double* x_in, const double* y_in, int32_t n, double* estoi,
                  double* t1, double* t2) {
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
    stdft(x, ax_hat, F);
    stdft(y, ay_hat, F);

    const size_t envelope_size = static_cast<size_t>(BAND_COUNT) * F;
    double* X = measure_doubles(envelope_size, "STOI", "X");
    double* Y = measure_doubles(envelope_size, "STOI", "Y");
    band_envelopes(ax_hat, ay_hat, mH, F, X, Y);

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

double stoi_estoi_pcm(const int16_t* ref, const int16_t* deg, int32_t n, double* estoi,
                      double* t1, double* t2) {
    const size_t count = static_cast<size_t>(n);
    double* d_clean = measure_doubles(count, "KELVOR_STOI", "d_clean");
    double* d_processed = measure_doubles(count, "KELVOR_STOI", "d_processed");
    // Both steps are exact: a 16-bit value fits a double, and 2^-15 is a
    // power of two.
    const double scale = 0x1p-15;
    for (size_t i = 0; i < count; i++) {
        d_clean[i] = static_cast<double>(ref[i]);
        d_clean[i] = d_clean[i] * scale;
    }
    for (size_t i = 0; i < count; i++) {
        d_processed[i] = static_cast<double>(deg[i]);
        d_processed[i] = d_processed[i] * scale;
    }

    const double stoi = stoi_estoi(d_clean, d_processed, n, estoi, t1, t2);

    std::free(d_clean);
    std::free(d_processed);
    return stoi;
}
