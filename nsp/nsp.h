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
//
// Threads: transforms may run on any number of threads at once. The tables
// of an order are built once, under a lock, by the first call that needs
// them, and only read afterwards. Releasing tables (NSP_FFT_FREE_TABLES)
// while another thread transforms with them is not supported.
void nspcFft(ComplexFloat* samps, int32_t order, int32_t flags);

// Makes sure the tables that nspcFft needs for this order and these flags
// exist, exactly as nspcFft's own first step does (when memory runs out,
// every cached table is dropped and the build tried once more), but
// without reporting anything: returns 0 when they are there, or -4
// (NSP_STS_NO_MEMORY) when they cannot be built. A caller that must not end
// the process can call it first; nspcFft then finds the tables cached.
int nspcFftReady(int32_t order, int32_t flags);

#endif
