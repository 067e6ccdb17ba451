// 8 kHz -> 10 kHz polyphase resampler (factor 5/4) and its coefficient tables.
#ifndef CONDITIONING_RESAMPLER_H
#define CONDITIONING_RESAMPLER_H

#include <cstdint>

constexpr int32_t RESAMPLER_TAPS = 8231;        // filter length at 40 kHz
constexpr int32_t RESAMPLER_PHASE_TAPS = 1646;  // taps per polyphase branch
constexpr int32_t RESAMPLER_DELAY = 1028;       // output samples of filter delay

// The same linear-phase low-pass filter in two precisions; the float table
// holds the double values rounded to float.
extern const double resampler_taps_double[RESAMPLER_TAPS];
extern const float resampler_taps_float[RESAMPLER_TAPS];

// Number of 10 kHz samples produced from count 8 kHz samples: 5*count/4
// rounded down.
int32_t resampled_length(int32_t count);

// Converts count samples of x into resampled_length(count) samples of y.
// Output sample n lies at input position 4n/5; the last 1028 samples of y
// are zero. Cannot fail. Uses the fastest kernel this processor supports;
// every kernel gives the same samples to the last bit.
void resample_8k_to_10k(const int16_t* x, int32_t count, int16_t* y, const double* taps);
void resample_8k_to_10k(const int16_t* x, int32_t count, int16_t* y, const float* taps);

// The kernels behind resample_8k_to_10k, selectable for tests and
// benchmarks: the plain loop and vector kernels that compute several outputs
// of one phase at once, one per lane. A kernel that this processor lacks
// falls back to the plain loop.
enum ResampleKernel { RESAMPLE_KERNEL_PLAIN, RESAMPLE_KERNEL_SSE2, RESAMPLE_KERNEL_AVX2, RESAMPLE_KERNEL_AVX512 };

bool resample_kernel_available(ResampleKernel kernel);
// The kernel resample_8k_to_10k uses on this processor (the plain one while
// the fast paths are off, see conditioning/fast_paths.h).
ResampleKernel resample_kernel_default();
void resample_8k_to_10k_using(ResampleKernel kernel, const int16_t* x, int32_t count, int16_t* y,
                              const double* taps);
void resample_8k_to_10k_using(ResampleKernel kernel, const int16_t* x, int32_t count, int16_t* y, const float* taps);

#endif
