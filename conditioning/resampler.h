// 8 kHz -> 10 kHz polyphase resampler (factor 5/4) and its coefficient tables.
#ifndef CONDITIONING_RESAMPLER_H
#define CONDITIONING_RESAMPLER_H

#include <cstdint>

#include "common/cpu.h"

namespace kelvor {

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

// The same with the kernel of a given instruction-set level (lowered to
// what this processor runs), for tests and benchmarks: the plain loop, or
// vector kernels that compute several outputs at once, one per lane.
// resample_8k_to_10k uses isa_level().
void resample_8k_to_10k_using(IsaLevel level, const int16_t* x, int32_t count, int16_t* y, const double* taps);
void resample_8k_to_10k_using(IsaLevel level, const int16_t* x, int32_t count, int16_t* y, const float* taps);

// Resamples two signals of count samples each, x1 into y1 and x2 into y2,
// with the double table or the float table: the samples of two calls of
// resample_8k_to_10k, to the last bit. The chunks of both signals are
// shared out between the threads of parallel_threads() (common/parallel.h):
// on two threads each signal is resampled on its own, at the same time; on
// one, the first and then the second on the calling thread. Allocates
// nothing. seconds: null, or two values that receive each signal's own
// time: the longest any one thread spent on it (on one or two threads, the
// time its resampling took).
void resample_pair_8k_to_10k(const int16_t* x1, const int16_t* x2, int32_t count, int16_t* y1, int16_t* y2,
                             bool double_table, double* seconds);
void resample_pair_8k_to_10k_using(IsaLevel level, const int16_t* x1, const int16_t* x2, int32_t count, int16_t* y1,
                                   int16_t* y2, bool double_table, double* seconds);

// The filter sums s (before the factor 5 and the conversion to a sample)
// that the kernel of a level computes: sums[n] for output n,
// resampled_length(count) values, the last 1028 of them 0.0. For comparing
// the kernels to the last bit, which the 16-bit samples alone would rarely
// show.
void resample_sums_using(IsaLevel level, const int16_t* x, int32_t count, double* sums, const double* taps);
void resample_sums_using(IsaLevel level, const int16_t* x, int32_t count, double* sums, const float* taps);

}  // namespace kelvor

#endif
