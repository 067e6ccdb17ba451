// The switch between the fast paths and the plain loops, and run-time
// detection of the vector instruction sets the fast paths use, so that one
// binary runs on every x86-64 processor and uses what it has.
//
// Every fast path (vector kernels, reorganised loops) gives the same bits
// as the plain loop it stands for; the plain loops stay in the code as the
// reference they are tested against.
#ifndef CONDITIONING_FAST_PATHS_H
#define CONDITIONING_FAST_PATHS_H

// True unless the build was configured with KELVOR_PLAIN (plain loops
// everywhere) or set_fast_paths_enabled(false) was called.
bool fast_paths_enabled();
// For tests and benchmarks that compare the two on whole runs.
void set_fast_paths_enabled(bool enabled);

bool cpu_has_avx2();
bool cpu_has_avx512();  // F, BW, DQ and VL together

#endif
