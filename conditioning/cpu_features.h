// Run-time detection of the vector instruction sets the fast paths use, so
// that one binary runs on every x86-64 processor and uses what it has.
#ifndef CONDITIONING_CPU_FEATURES_H
#define CONDITIONING_CPU_FEATURES_H

bool cpu_has_avx2();
bool cpu_has_avx512();  // F, BW, DQ and VL together

#endif
