// The lane records of avx2 through lanes_ops.h's bodies; compiled for that
// set (CMakeLists.txt), and for x86 processors only.
#include "lanes_ops.h"

#if KELVOR_X86_KERNELS
#include "common/lanes_avx2.h"

void lane_operations_avx2(const double* a, const double* b, int32_t count, double* out) {
    lane_operations<kelvor::avx2::Doubles>(a, b, count, out);
}

void int16_operations_avx2(const int16_t* x, const int16_t* y, int32_t count, double* words, double* sums,
                           int64_t* totals) {
    int16_operations<kelvor::avx2::Doubles, kelvor::avx2::Int16s>(x, y, count, words, sums, totals);
}
#endif
