// Every operation of the lane records (common/lanes.h), applied to arrays
// by one body for any record, so that lanes_test.cpp can hold each
// instruction set's records to the plain one. The sources compiled for
// each set (lanes_ops_sse2.cpp, lanes_ops_avx2.cpp, lanes_ops_avx512.cpp)
// instantiate the bodies and use no other inline code, which the linker
// could take for another source's copy, compiled for a smaller set.
#ifndef TESTS_COMMON_LANES_OPS_H
#define TESTS_COMMON_LANES_OPS_H

#include <cstdint>

// The results of the doubles' operations on a[i] and b[i]:
// out[i * LANE_RESULTS + r] for result r.
enum LaneResult {
    LANE_ADD,
    LANE_SUB,
    LANE_MUL,
    LANE_DIV,
    LANE_SQRT,           // of a
    LANE_MIN,
    LANE_GREATER,        // select(greater(a, b), a, b)
    LANE_GREATER_EQUAL,  // select(greater_equal(a, b), a, b)
    LANE_EQUAL,          // select(equal(a, b), 1, 0)
    LANE_UNORDERED,      // select(equal_or_unordered(a, b), 1, 0)
    LANE_BROADCAST,      // splat(b[0]) + broadcast(a + i)
    LANE_RESULTS
};

// count (a multiple of the record's LANES) pairs a[i], b[i] into out.
void lane_operations_sse2(const double* a, const double* b, int32_t count, double* out);
void lane_operations_avx2(const double* a, const double* b, int32_t count, double* out);
void lane_operations_avx512(const double* a, const double* b, int32_t count, double* out);

// The 16-bit integers' operations on the vectors v of x and y (count
// values, a multiple of the record's LANES, aligned to 64 bytes): the first
// lanes of mul_low(x, y) and of add(x, splat(y's first)), unsigned, as
// doubles (from_low_uint16s, the doubles' LANES of them) into words and
// sums at v * LANES of the doubles, and sum32(madd_add(zero, x, y)) into
// totals[v].
void int16_operations_sse2(const int16_t* x, const int16_t* y, int32_t count, double* words, double* sums,
                           int64_t* totals);
void int16_operations_avx2(const int16_t* x, const int16_t* y, int32_t count, double* words, double* sums,
                           int64_t* totals);
void int16_operations_avx512(const int16_t* x, const int16_t* y, int32_t count, double* words, double* sums,
                             int64_t* totals);

namespace {

template <class D>
void lane_operations(const double* a, const double* b, int32_t count, double* out) {
    typedef typename D::T T;
    const T one = D::splat(1.0);
    const T zero = D::zero();
    for (int32_t i = 0; i < count; i += D::LANES) {
        const T x = D::load(a + i);
        const T y = D::load(b + i);
        const T results[LANE_RESULTS] = {
            D::add(x, y),
            D::sub(x, y),
            D::mul(x, y),
            D::div(x, y),
            D::sqrt(x),
            D::min(x, y),
            D::select(D::greater(x, y), x, y),
            D::select(D::greater_equal(x, y), x, y),
            D::select(D::equal(x, y), one, zero),
            D::select(D::equal_or_unordered(x, y), one, zero),
            D::add(D::splat(b[0]), D::broadcast(a + i)),
        };
        for (int32_t r = 0; r < LANE_RESULTS; r++) {
            double lanes[64];
            D::store(lanes, results[r]);
            for (int32_t l = 0; l < D::LANES; l++) out[(i + l) * LANE_RESULTS + r] = lanes[l];
        }
    }
}

template <class D, class I>
void int16_operations(const int16_t* x, const int16_t* y, int32_t count, double* words, double* sums,
                      int64_t* totals) {
    for (int32_t v = 0; v * I::LANES < count; v++) {
        const typename I::T xv = I::load(x + v * I::LANES);
        const typename I::T yv = I::load(y + v * I::LANES);
        D::store(words + v * D::LANES, D::from_low_uint16s(I::mul_low(xv, yv)));
        D::store(sums + v * D::LANES, D::from_low_uint16s(I::add(xv, I::splat(y[v * I::LANES]))));
        totals[v] = I::sum32(I::madd_add(I::zero(), xv, yv));
    }
}

}  // namespace

#endif
