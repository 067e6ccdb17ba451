#include "measures/silence.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "measures/memory.h"
#include "measures/spectrum.h"

int32_t remove(const double* x, const double* y, int32_t length, int32_t frames,
               double* xs, double* ys) {
    double* msk = measure_doubles(static_cast<size_t>(frames), "remove", "msk");
    for (int32_t i = 0; i < frames; i++) msk[i] = 0.0;
    double* tmp = measure_doubles(FRAME_LENGTH, "remove", "tmp");
    const double* w = analysis_window;
    const double scale = 1.0 / std::sqrt(256.0);  // exactly 1/16

    // Level of each reference frame in dB; an all-zero frame gives -inf.
    for (int32_t i = 0; i < frames; i++) {
        const double* frame = x + static_cast<size_t>(i) * FRAME_HOP;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) tmp[n] = frame[n] * w[n];
        double energy = 0.0;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) energy = energy + tmp[n] * tmp[n];
        const double norm = std::sqrt(energy);
        msk[i] = 20.0 * std::log10(norm * scale);
    }

    // The first of equally loud frames is the maximum; with no frame at all
    // nothing can be kept.
    double threshold = 0.0;
    if (frames > 0) {
        double loudest = msk[0];
        for (int32_t i = 1; i < frames; i++) {
            if (msk[i] > loudest) loudest = msk[i];
        }
        threshold = loudest - SILENCE_RANGE_DB;
    }

    for (int32_t n = 0; n < length; n++) xs[n] = 0.0;
    for (int32_t n = 0; n < length; n++) ys[n] = 0.0;

    int32_t p = 0;
    for (int32_t i = 0; i < frames; i++) {
        if (!(msk[i] > threshold)) continue;  // a level equal to the threshold is dropped
        const double* xf = x + static_cast<size_t>(i) * FRAME_HOP;
        const double* yf = y + static_cast<size_t>(i) * FRAME_HOP;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) {
            tmp[n] = xf[n] * w[n];
            xs[p + n] = tmp[n] + xs[p + n];
        }
        for (int32_t n = 0; n < FRAME_LENGTH; n++) {
            tmp[n] = yf[n] * w[n];
            ys[p + n] = tmp[n] + ys[p + n];
        }
        p = p + FRAME_HOP;
    }

    std::free(msk);
    std::free(tmp);
    return p == 0 ? 0 : p + FRAME_HOP;
}
