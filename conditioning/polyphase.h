// Resampling to 10 kHz from any rate, in double precision, with the
// windowed-sinc design of the published reference definition of the
// measures: the rate ratio 10000 / rate reduced to up / down, a Kaiser-
// windowed sinc low-pass at 1 / (2 max(up, down)) of the upsampled rate,
// applied as a zero-phase polyphase filter. Nothing is rounded to a word
// length.
//
// Output k is
//   y[k] = sum over n of x[n] * h[k * down - n * up + half]
// with h[t], t = 0 .. 2 half, the filter and x zero outside the signal; a
// signal of n samples gives ceil(n * up / down) outputs. Each output depends
// only on the input, never on the outputs before it, so a signal may be
// resampled in blocks of any size and gives the same bits.
#ifndef CONDITIONING_POLYPHASE_H
#define CONDITIONING_POLYPHASE_H

#include <cstdint>

#include "common/cpu.h"

namespace kelvor {

// Why a rate cannot be resampled (polyphase_ratio).
enum RateCheck : int32_t {
    RATE_OK = 0,
    RATE_NOT_WHOLE,      // not a finite whole number of hertz
    RATE_OUT_OF_RANGE,   // below POLYPHASE_MIN_RATE or above POLYPHASE_MAX_RATE
    RATE_RATIO_TOO_FINE  // 10000 / rate reduces to a term above POLYPHASE_MAX_TERM
};

constexpr double POLYPHASE_MIN_RATE = 1000.0;
constexpr double POLYPHASE_MAX_RATE = 768000.0;
// The largest term of the reduced ratio: the filter then has about 72.4
// taps per unit of the larger term, 72,447 at most (566 kB).
constexpr int32_t POLYPHASE_MAX_TERM = 1000;
// Taps per phase are padded to a multiple of this (the vector kernels'
// partial sums).
constexpr int32_t POLYPHASE_LANES = 8;

// A designed filter, split into its up phases. Phase f holds the taps
// h[f + up * j] that output k uses when (k * down + half) mod up == f,
// reversed (oldest input first) and padded in front with zeros to `taps`
// values, so that output k is the dot product of its phase's row with the
// `taps` input samples that end at polyphase_newest(k).
struct PolyphaseFilter {
    int32_t up;
    int32_t down;
    int32_t half;          // 2 * half + 1 designed taps
    int32_t taps;          // values per phase row, a multiple of POLYPHASE_LANES
    const double* coefs;   // up rows of `taps` values
};

// Reduces 10000 / rate to *up / *down (coprime); RATE_OK, or why the rate
// is refused. rate 10000 gives 1 / 1.
RateCheck polyphase_ratio(double rate, int32_t* up, int32_t* down);

// The half length of the filter for up / down: ceil(((60 - 8) / 28.714) /
// (fc / 10)) with fc = 1 / (2 max(up, down)).
int32_t polyphase_half_length(int32_t up, int32_t down);

// The designed filter h[0 .. 2 half] (2 half + 1 values) for up / down:
// Kaiser window (beta = 0.1102 (60 - 8.7)) times 2 up fc sinc(2 fc t),
// t = -half .. half, divided by its sum and multiplied by up.
void polyphase_design(int32_t up, int32_t down, double* h);

// The filter for up / down, shared and read-only. The first few ratios a
// process asks for are kept for its lifetime; others are built for the
// caller. Release every filter obtained with polyphase_release. Null when
// memory runs out. Safe to call from several threads.
const PolyphaseFilter* polyphase_acquire(int32_t up, int32_t down);
void polyphase_release(const PolyphaseFilter* filter);

// The number of outputs of a signal of n samples: ceil(n * up / down).
int64_t polyphase_output_length(const PolyphaseFilter* f, int64_t n);

// The newest input sample that output k reads (its oldest is that minus
// taps - 1): floor((k * down + half) / up).
int64_t polyphase_newest(const PolyphaseFilter* f, int64_t k);

// The phase and the newest input sample of output k, and of the outputs
// after it one by one, without a division per output.
struct PolyphaseStep {
    int32_t up;
    int32_t whole;  // down / up
    int32_t rest;   // down % up
    int32_t phase;
    int64_t newest;

    PolyphaseStep(const PolyphaseFilter* f, int64_t k)
        : up(f->up), whole(f->down / f->up), rest(f->down % f->up) {
        const int64_t position = k * f->down + f->half;
        phase = static_cast<int32_t>(position % f->up);
        newest = position / f->up;
    }
    void next() {
        newest += whole;
        phase += rest;
        if (phase >= up) {
            phase -= up;
            newest++;
        }
    }
};

// Outputs k0 .. k0 + count - 1 into y. x[i - first] must be input sample i
// (0.0 where i lies outside the signal) for every i from
// polyphase_newest(f, k0) - taps + 1 to polyphase_newest(f, k0 + count - 1).
// Each output is a sum of eight partial sums: partial sum l adds the
// products of the row positions l, l + 8, l + 16, ... in ascending order,
// and the eight are added as ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 +
// s7)). Every kernel keeps that order, so all give the same bits.
void polyphase_run(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count, double* y);
void polyphase_run_using(IsaLevel level, const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0,
                         int32_t count, double* y);

}  // namespace kelvor

#endif
