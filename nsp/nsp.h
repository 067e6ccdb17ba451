// Public interface of the nsp kernel library: the in-place complex
// single-precision FFT and the types and flags its callers need.
#ifndef NSP_NSP_H
#define NSP_NSP_H

#include <cstdint>

// One complex value: two consecutive IEEE single-precision floats, real
// part first. Arrays of them are the FFT's data layout.
struct ComplexFloat {
    float re;
    float im;
};

enum {
    NSP_FFT_FORWARD = 1,      // negative exponent, never scaled
    NSP_FFT_INVERSE = 2,      // positive exponent, scaled by 1/N unless NO_SCALE
    NSP_FFT_INIT_ONLY = 4,    // build this order's tables and return
    NSP_FFT_FREE_TABLES = 8,  // release this order's tables and return
    NSP_FFT_NO_SCALE = 16,    // leave the inverse result unscaled
    NSP_FFT_NO_BITREV = 32,   // accepted; only takes part in the flag checks
    NSP_FFT_IN_BITREV = 64,   // input already in bit-reversed order
    NSP_FFT_OUT_BITREV = 128  // leave the result in bit-reversed order
};

// Transforms the 2^order values of samps in place. Failures are reported
// through nspReportStatus (see nspstate.h); with the handler installed at
// start-up a report ends the process with exit status 1.
void nspcFft(ComplexFloat* samps, int32_t order, int32_t flags);

#endif
