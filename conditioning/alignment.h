// Delay search of the degraded signal by direct cross-correlation.
#ifndef CONDITIONING_ALIGNMENT_H
#define CONDITIONING_ALIGNMENT_H

#include <cstdint>

constexpr int32_t ALIGN_SHIFTS = 900;  // candidate delays 0 .. 899

// Returns the delay s in 0 .. ALIGN_SHIFTS-1 that maximises
// sum_n reference[n] * degraded[n + s] (signed, unnormalised; ties go to the
// smallest s). degraded must be readable at indices 0 .. count + 898.
// Uses the fastest kernel this processor supports; every kernel gives the
// same exact sums.
int32_t search_alignment(const int16_t* reference, const int16_t* degraded, int32_t count);

// The kernels behind search_alignment, selectable for tests and benchmarks.
enum AlignKernel { ALIGN_KERNEL_PLAIN, ALIGN_KERNEL_SSE2, ALIGN_KERNEL_AVX2, ALIGN_KERNEL_AVX512 };

bool align_kernel_available(AlignKernel kernel);
// The kernel search_alignment uses on this processor (the plain one while
// the fast paths are off, see conditioning/fast_paths.h).
AlignKernel align_kernel_default();
int32_t search_alignment_using(AlignKernel kernel, const int16_t* reference, const int16_t* degraded,
                               int32_t count);

#endif
