// The vector kernels of the delay search and of the resampler, one source
// per instruction set (kernels_sse2.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp), built only for x86 processors. Each is called only
// after a run-time check of the processor (common/cpu.h).
//
// Delay search. Each kernel adds, for the 900 delays s,
// the exact integer sum over i < len of r[i] * (256 * dh[i + s] + dl[i + s])
// to c[s], where the degraded window has been split into its high bytes dh
// (-128 .. 127) and low bytes dl (0 .. 255). With the split every 16-bit
// pair product fits a 32-bit lane 256 times over, so a chunk of at most
// 128 vector steps is summed exactly in 32-bit lanes and widened once.
//
// Resampler. The outputs come in groups of five: group t holds outputs m = 5t .. 5t+4,
// whose newest input samples are 4t, 4t+1, 4t+2, 4t+3, 4t+3 (phases 3, 2,
// 1, 0, 4). Output q of group t (q = 0..4) multiplies x[4t - c] by the tap
// of lag c, c = k - q for q < 4 and c = k - 3 for q = 4, where k is the tap
// number within its phase. So one value x[4t - c] serves all five outputs of
// the group, and the outputs of W consecutive groups sit in the W lanes of a
// vector: lane i needs x[4(t + i) - c], stride 4 in the input. The input is
// therefore split into four streams of doubles, stream r holding
// x[4n + r], so that those W values are contiguous.
//
// Each output keeps its own accumulator in its own lane and receives its
// terms one at a time in ascending k, every product and every addition
// rounded to double, exactly as the plain loop adds them.
//
// Lags run from -3 to 1645; where a lag has no tap for an output (k outside
// 0..1645) its coefficient is 0.0. Such a term, like a term with one of the
// zero samples that stand for the input before x[0], is a signed zero added
// to a sum that is never -0.0 (it starts at +0.0, and in round-to-nearest a
// sum is -0.0 only if both operands are), so it leaves the sum's bits
// unchanged. This needs finite coefficients, which every filter table has.
#ifndef CONDITIONING_KERNELS_H
#define CONDITIONING_KERNELS_H

#include <cstdint>

#include "common/lanes.h"
#include "conditioning/alignment.h"
#include "conditioning/polyphase.h"
#include "conditioning/resampler.h"

namespace kelvor {

// ------------------------------------------------------------ delay search

// len: a multiple of 32, at most the kernel's chunk length below.
// r: len samples; dh, dl: len + ALIGN_SHIFTS samples (readable up to
// len + ALIGN_SHIFTS - 1 + 32); c: ALIGN_SHIFTS sums.
constexpr int32_t ALIGN_CHUNK_SSE2 = 1024;
constexpr int32_t ALIGN_CHUNK_AVX2 = 2048;
constexpr int32_t ALIGN_CHUNK_AVX512 = 4096;

// A kernel handles the delays by their residue modulo its vector width in
// samples (below): a call adds to c[s] only for the delays s whose residue
// lies in k_begin .. k_end - 1 (0 .. width for all of them), so that the
// delays can be shared out between threads, each sum formed whole by one.
constexpr int32_t ALIGN_RESIDUES_SSE2 = INT16_LANES_SSE2;
constexpr int32_t ALIGN_RESIDUES_AVX2 = INT16_LANES_AVX2;
constexpr int32_t ALIGN_RESIDUES_AVX512 = INT16_LANES_AVX512;

void correlate_chunk_sse2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c);
void correlate_chunk_avx2(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                          int32_t k_end, int64_t* c);
void correlate_chunk_avx512(const int16_t* r, const int16_t* dh, const int16_t* dl, int32_t len, int32_t k_begin,
                            int32_t k_end, int64_t* c);

// --------------------------------------------------------------- resampler

constexpr int32_t RESAMPLE_GROUP = 5;                                    // outputs per group
constexpr int32_t RESAMPLE_LAGS = RESAMPLER_PHASE_TAPS + 3;              // lags -3 .. 1645
constexpr int32_t RESAMPLE_REACH = (RESAMPLER_PHASE_TAPS - 1 + 3) / 4;  // stream entries behind a group: 412

// Computes the filter sums of `groups` consecutive groups (a multiple of 8).
// streams: four streams, stream r at streams + r * stride; entry e of every
// stream belongs to group e - RESAMPLE_REACH of the block, i.e. stream r
// holds x[4(t0 - RESAMPLE_REACH + e) + r] for the block's first group t0.
// Each stream is read at entries 0 .. groups + RESAMPLE_REACH - 1.
// coefs: RESAMPLE_LAGS rows of five coefficients, row c + 3 holding the
// coefficient of lag c for outputs q = 0..4.
// sums: five rows of `sums_stride` values; row q, entry i receives the sum of
// output q of group t0 + i.
void resample_groups_sse2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride);
void resample_groups_avx2(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                          int32_t sums_stride);
void resample_groups_avx512(const double* streams, int32_t stride, const double* coefs, int32_t groups, double* sums,
                            int32_t sums_stride);

// The delay search on doubles (delay_search_feed, alignment.h): adds
// x[n] * y[n + d] to sums[d] for n = 0 .. count - 1 in ascending n, for the
// delays d of whole groups of 16 (AVX2) or 32 (AVX-512) from 0; returns the
// number of delays done.
int32_t delay_sums_avx2(double* sums, const double* x, const double* y, int32_t count, int32_t shifts);
int32_t delay_sums_avx512(double* sums, const double* x, const double* y, int32_t count, int32_t shifts);

// ---------------------------------------------------- any-rate resampler

// polyphase_run (polyphase.h) with consecutive outputs of one phase in the
// lanes of AVX2 or AVX-512 vectors (polyphase_kernel_impl.h).
void polyphase_run_avx2(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                        double* y, double* scratch);
void polyphase_run_avx512(const PolyphaseFilter* f, const double* x, int64_t first, int64_t k0, int32_t count,
                          double* y, double* scratch);

}  // namespace kelvor

#endif
