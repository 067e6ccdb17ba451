#include "measures/silence.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "common/cpu.h"
#include "measures/memory.h"
#include "measures/kernels.h"
#include "measures/spectrum.h"

namespace kelvor {

namespace {

// A sample as the measures see it: the double itself, or a 16-bit sample
// times 2^-15, which is exact and the double the pipeline converts it to.
inline double sample(const double* x, size_t i) {
    return x[i];
}

inline double sample(const int16_t* x, size_t i) {
    return static_cast<double>(x[i]) * 0x1p-15;
}

// energy[i] for the frames begin .. end - 1: the sum, in ascending n, of
// the squared windowed samples, each windowed sample also left in tmp.
template <typename T>
void frame_energies(const T* x, int32_t begin, int32_t end, const double* w, double* energy, double* tmp) {
    for (int32_t i = begin; i < end; i++) {
        const size_t at = static_cast<size_t>(i) * FRAME_HOP;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) tmp[n] = sample(x, at + n) * w[n];
        double e = 0.0;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) e = e + tmp[n] * tmp[n];
        energy[i] = e;
    }
}

// Turns the energies into levels in dB; an all-zero frame gives -inf.
void levels_from_energies(int32_t frames, double* msk) {
    const double scale = 1.0 / std::sqrt(256.0);  // exactly 1/16
    for (int32_t i = 0; i < frames; i++) {
        const double norm = std::sqrt(msk[i]);
        msk[i] = 20.0 * std::log10(norm * scale);
    }
}

template <typename T>
int32_t remove_frames(const T* x, const T* y, int32_t length, int32_t frames, double* xs, double* ys,
                      const double* w, int32_t* kept, MeasureFailure* failure) {
    double* msk = measure_doubles(static_cast<size_t>(frames), "remove", "msk", failure);
    if (msk == nullptr) return -1;
    for (int32_t i = 0; i < frames; i++) msk[i] = 0.0;
    double* tmp = measure_doubles(FRAME_LENGTH, "remove", "tmp", failure);
    if (tmp == nullptr) {
        std::free(msk);
        return -1;
    }

    frame_levels(x, frames, w, msk, tmp);

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
        if (kept != nullptr) kept[p / FRAME_HOP] = i;
        const size_t at = static_cast<size_t>(i) * FRAME_HOP;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) {
            tmp[n] = sample(x, at + n) * w[n];
            xs[p + n] = tmp[n] + xs[p + n];
        }
        for (int32_t n = 0; n < FRAME_LENGTH; n++) {
            tmp[n] = sample(y, at + n) * w[n];
            ys[p + n] = tmp[n] + ys[p + n];
        }
        p = p + FRAME_HOP;
    }

    std::free(msk);
    std::free(tmp);
    return p == 0 ? 0 : p + FRAME_HOP;
}

}  // namespace

void frame_levels(const double* x, int32_t frames, const double* window, double* msk, double* tmp) {
    frame_energies(x, 0, frames, window, msk, tmp);
    levels_from_energies(frames, msk);
}

void frame_levels(const int16_t* x, int32_t frames, const double* window, double* msk, double* tmp) {
    // Whole batches of eight frames in the vector kernel, the rest here.
    int32_t done = 0;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: {
        const int32_t batches = frames / 8;
        frame_energies_pcm_avx512(x, window, 0, batches, msk);
        done = 8 * batches;
        break;
    }
#endif
    default:
        break;
    }
    frame_energies(x, done, frames, window, msk, tmp);
    levels_from_energies(frames, msk);
}

int32_t remove(const double* x, const double* y, int32_t length, int32_t frames, double* xs, double* ys,
               const double* window, int32_t* kept, MeasureFailure* failure) {
    return remove_frames(x, y, length, frames, xs, ys, window, kept, failure);
}

int32_t remove(const int16_t* x, const int16_t* y, int32_t length, int32_t frames, double* xs, double* ys,
               const double* window, int32_t* kept, MeasureFailure* failure) {
    return remove_frames(x, y, length, frames, xs, ys, window, kept, failure);
}

}  // namespace kelvor
