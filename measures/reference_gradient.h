// The reference profile's measures (reference.h) on two 10 kHz signals in
// memory, with the gradient of STOI and of ESTOI with respect to every
// sample of the degraded one.
//
// The scores are the bits of a ReferenceRun fed the same signals: the same
// levels, frames kept, rebuilt frames, envelopes and segments, computed by
// the same functions and added up in the same order. The gradient runs the chain backwards in double
// precision. Everything that decides the shape of the chain depends on the
// reference alone (the frames kept, their number, the bands), so the scores
// are smooth in the degraded signal but at the clipping of STOI and at
// envelopes and norms of zero, where the rules of
// reference_gradient_impl.h apply. The backward pass, from the scores to
// the samples:
//  - segments: each segment's correlations (STOI) and row and column
//    normalisations (ESTOI) differentiated with respect to its 30 frames of
//    degraded envelopes, added up over the segments that share a frame;
//  - envelopes: through the square root and the sum of squared magnitudes
//    to the 512-point spectrum, and through the transposed transform to the
//    rebuilt frame, then its window;
//  - overlap-add: each rebuilt sample's gradient goes back, through the
//    window, to the samples of the kept input frames it was added from
//    (overlap-add's transpose is framing); dropped frames' samples get
//    nothing from them.
#ifndef MEASURES_REFERENCE_GRADIENT_H
#define MEASURES_REFERENCE_GRADIENT_H

#include <cstdint>

#include "common/cpu.h"
#include "measures/memory.h"

namespace kelvor {

// The room reference_gradient works in for signals of `length` samples, in
// doubles (a caller that allocates it with its own arrays, in one block,
// spares the heap a round of growing and trimming per call).
int64_t reference_gradient_workspace(int32_t length);

// The scores of the reference x and the degraded y, `length` samples each
// at 10 kHz, into *stoi and *estoi; with grad_stoi or grad_estoi non-null
// (room for `length` values each), d score / d y[k] for every k. workspace:
// reference_gradient_workspace(length) doubles. Returns MEASURE_OK or
// MEASURE_TOO_SHORT (no segment); nothing is written on a failure. The
// kernels are those of `level` (clamped to the processor's); every level
// gives the plain loop's bits, scores and gradients.
MeasureStatus reference_gradient(const double* x, const double* y, int32_t length, double* workspace, double* stoi,
                                 double* estoi, double* grad_stoi, double* grad_estoi);
MeasureStatus reference_gradient_using(IsaLevel level, const double* x, const double* y, int32_t length,
                                       double* workspace, double* stoi, double* estoi, double* grad_stoi,
                                       double* grad_estoi);

}  // namespace kelvor

#endif
