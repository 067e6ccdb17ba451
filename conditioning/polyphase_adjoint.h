// The adjoint (transpose) of resampling to 10 kHz (polyphase.h), which
// carries a gradient with respect to the 10 kHz samples back to the input
// rate.
//
// Resampling with the filter h of up / down is the linear map
//   y[k] = sum over n of x[n] * h[k * down - n * up + half],
// so its transpose takes g at 10 kHz to
//   x'[n] = sum over k of g[k] * h[k * down - n * up + half],
// which is itself a polyphase filter, of down / up, whose taps are those of
// h in reverse order: h'[t] = h[2 half - t] (the two ratios have the same
// half length). The adjoint filter is that filter, laid out like any other,
// so that polyphase_run and its vector kernels compute the transpose:
// output n of the adjoint filter run on g is x'[n]. Its taps are h's own
// values, so the transpose is exact, not a second design.
#ifndef CONDITIONING_POLYPHASE_ADJOINT_H
#define CONDITIONING_POLYPHASE_ADJOINT_H

#include "conditioning/polyphase.h"

namespace kelvor {

// The adjoint filter of f (from polyphase_acquire), shared and read-only:
// the adjoints of the first few ratios asked for are kept for the
// process's lifetime, others built for the caller. Release it with
// polyphase_adjoint_release. Null when memory runs out. Safe to call from
// several threads.
const PolyphaseFilter* polyphase_adjoint_acquire(const PolyphaseFilter* f);
void polyphase_adjoint_release(const PolyphaseFilter* adjoint);

}  // namespace kelvor

#endif
