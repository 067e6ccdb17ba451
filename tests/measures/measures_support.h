// The per-run state of the measures, set up by hand for tests that call
// the pipeline's steps one by one, and shorthands for steps whose failures
// a test does not exercise (an allocation failure fails the test).
#ifndef TESTS_MEASURES_MEASURES_SUPPORT_H
#define TESTS_MEASURES_MEASURES_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "measures/pipeline.h"
#include "measures/silence.h"
#include "measures/spectrum.h"
#include "measures/stoi.h"

// The analysis window; tests fill it with hann_window before using it.
inline double analysis_window[kelvor::FRAME_LENGTH];

template <typename T>
int32_t remove_frames(const T* x, const T* y, int32_t length, int32_t frames, double* xs, double* ys,
                      int32_t* kept = nullptr) {
    kelvor::MeasureFailure failure{};
    const int32_t kept_length = kelvor::remove(x, y, length, frames, xs, ys, analysis_window, kept, &failure);
    EXPECT_GE(kept_length, 0) << failure.operation << " " << failure.array;
    return kept_length;
}

inline void spectra(const double* signal, double* spectrum, int32_t frames) {
    kelvor::MeasureFailure failure{};
    EXPECT_TRUE(kelvor::stdft(signal, spectrum, frames, analysis_window, &failure));
}

inline void band_spectra(const double* signal, const uint8_t* mask, double* bands, int32_t frames) {
    kelvor::MeasureFailure failure{};
    EXPECT_TRUE(kelvor::stdft_bands(signal, mask, bands, frames, analysis_window, &failure));
}

// A whole run of the measures on 10 kHz samples (16-bit or doubles); the
// status is MEASURE_OK unless the run failed.
inline kelvor::MeasureResult measure_run(const std::vector<int16_t>& ref, const std::vector<int16_t>& deg) {
    kelvor::MeasureResult r{};
    kelvor::stoi_estoi_pcm(ref.data(), deg.data(), static_cast<int32_t>(ref.size()), &r);
    return r;
}

inline kelvor::MeasureResult measure_run(const std::vector<double>& ref, const std::vector<double>& deg) {
    kelvor::MeasureResult r{};
    kelvor::stoi_estoi(ref.data(), deg.data(), static_cast<int32_t>(ref.size()), &r);
    return r;
}

#endif
