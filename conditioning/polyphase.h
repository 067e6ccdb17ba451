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
// Outputs of one group that the vector kernels compute together (see
// PolyphaseChunk), and groups per vector block: 4 vectors of up to 8 lanes.
constexpr int32_t POLYPHASE_CHUNK_OUTPUTS = 5;
constexpr int32_t POLYPHASE_BLOCK_GROUPS = 32;

// The outputs come in groups of `up`: output k = up * t + o lies in group t
// and reads the inputs down * t + c for the lags c from delta(o) - taps + 1
// to delta(o) = (o * down + half) div up. A chunk is up to
// POLYPHASE_CHUNK_OUTPUTS consecutive outputs o of a group, with the
// coefficient of every lag of any of them for each (zero where an output
// has no tap at that lag), so that one input value serves all of them.
struct PolyphaseChunk {
    int32_t first;      // its first output o within a group
    int32_t outputs;    // how many (up to POLYPHASE_CHUNK_OUTPUTS)
    int32_t lag_first;  // its lags: lag_first .. lag_first + lags - 1
    int32_t lags;
    const double* coefs;  // lags rows of POLYPHASE_CHUNK_OUTPUTS coefficients
};

// A designed filter, split into its up phases. Phase f holds the taps
// h[f + up * j] that output k uses when (k * down + half) mod up == f,
// reversed (oldest input first) and padded in front with zeros to `taps`
// values (the longest phase's), so that output k is the dot product of its
// phase's row with the `taps` input samples that end at
// polyphase_newest(k).
struct PolyphaseFilter {
    int32_t up;
    int32_t down;
    int32_t half;          // 2 * half + 1 designed taps
    int32_t taps;          // values per phase row
    const double* coefs;   // up rows of `taps` values
    int32_t chunk_count;   // ceil(up / POLYPHASE_CHUNK_OUTPUTS)
    const PolyphaseChunk* chunks;
    int32_t lag_min;       // the lags of all chunks
    int32_t lag_max;
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

// The filter of up / down with the taps h[0 .. 2 half] (half =
// polyphase_half_length(up, down)) laid out in phases and chunks, in one
// block that std::free releases; null when memory runs out. For a filter
// of other taps than polyphase_design's (the adjoint's, polyphase_adjoint.h).
PolyphaseFilter* polyphase_layout(int32_t up, int32_t down, const double* h);

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

// The scratch that polyphase_run needs for `count` outputs: `down` streams
// of polyphase_stream_stride(f, count) doubles (the inputs of whole groups
// dealt out by their index modulo `down`).
int64_t polyphase_stream_stride(const PolyphaseFilter* f, int32_t count);
int64_t polyphase_scratch_size(const PolyphaseFilter* f, int32_t count);

// Outputs k0 .. k0 + count - 1 into y. x[i - first] must be input sample i
// (0.0 where i lies outside the signal) for every i from
// polyphase_newest(f, k0) - taps + 1 to polyphase_newest(f, k0 + count - 1).
// Each output is its row's products with its inputs added from 0.0 in
// ascending tap order (oldest input first), every product and sum rounded
// to double. The vector kernels keep that order, so all give the same
// bits; they use scratch (polyphase_scratch_size doubles).
void polyphase_run(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count, double* y,
                   double* scratch);
void polyphase_run_using(IsaLevel level, const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0,
                         int32_t count, double* y, double* scratch);

}  // namespace kelvor

#endif
