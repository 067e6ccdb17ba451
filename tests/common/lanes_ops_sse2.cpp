// The lane records of sse2 through lanes_ops.h's bodies; compiled for that
// set (CMakeLists.txt), and for x86 processors only.
#include "lanes_ops.h"

#if KELVOR_X86_KERNELS
#include "common/lanes_sse2.h"

void lane_operations_sse2(const double* a, const double* b, int32_t count, double* out) {
    lane_operations<kelvor::sse2::Doubles>(a, b, count, out);
}

void int16_operations_sse2(const int16_t* x, const int16_t* y, int32_t count, double* words, double* sums,
                           int64_t* totals) {
    int16_operations<kelvor::sse2::Doubles, kelvor::sse2::Int16s>(x, y, count, words, sums, totals);
}
#endif
