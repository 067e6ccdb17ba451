// Delay search of the degraded signal by direct cross-correlation.
#ifndef CONDITIONING_ALIGNMENT_H
#define CONDITIONING_ALIGNMENT_H

#include <cstdint>

#include "common/cpu.h"

namespace kelvor {

constexpr int32_t ALIGN_SHIFTS = 900;  // candidate delays 0 .. 899

// Returns the delay s in 0 .. ALIGN_SHIFTS-1 that maximises
// sum_n reference[n] * degraded[n + s] (signed, unnormalised; ties go to the
// smallest s). degraded must be readable at indices 0 .. count + 898.
// Uses the fastest kernel this processor supports; every kernel gives the
// same exact sums.
int32_t search_alignment(const int16_t* reference, const int16_t* degraded, int32_t count);

// The same with the kernel of a given instruction-set level (lowered to
// what this processor runs), for tests and benchmarks; search_alignment
// uses isa_level().
int32_t search_alignment_using(IsaLevel level, const int16_t* reference, const int16_t* degraded,
                               int32_t count);

// The same rule on signals of doubles, for signals that are not 16-bit
// samples: the delay s in 0 .. shifts - 1 that maximises
// sum_n reference[n] * degraded[n + s], each sum formed in double
// precision from 0.0 in ascending n, the first strictly greatest winning.
// shifts is at most DELAY_SEARCH_MAX (more are cut to it); degraded must be
// readable at indices 0 .. count + shifts - 2.
int32_t search_alignment_double(const double* reference, const double* degraded, int32_t count, int32_t shifts);

// The same search on signals that come in blocks, with the same sums to the
// last bit: each delay's sum adds its terms in ascending n.
constexpr int32_t DELAY_SEARCH_MAX = 1124;
struct DelaySearch {
    int32_t shifts;  // delays 0 .. shifts - 1, at most DELAY_SEARCH_MAX
    double sums[DELAY_SEARCH_MAX];
};
void delay_search_start(DelaySearch* search, int32_t shifts);
// Adds the terms of reference samples n0 .. n0 + count - 1: x holds them,
// y the degraded samples n0 .. n0 + count + shifts - 2.
void delay_search_feed(DelaySearch* search, const double* x, const double* y, int32_t count);
// The delay with the greatest sum (the first of equal ones).
int32_t delay_search_best(const DelaySearch* search);

}  // namespace kelvor

#endif
