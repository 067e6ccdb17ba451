// Vectors of lanes: the one vocabulary of every vector kernel.
//
// A kernel body (the *_impl.h headers beside the kernels) is a template
// over a record of lane operations, and performs in every lane the
// operations of the plain loop it stands for, in the same order and with
// the same roundings, so that every instruction set gives the plain loop's
// bits. The records are the same vocabulary at each width:
//
//   plain::Doubles                  here: one double, the plain loop itself
//   sse2::Doubles, sse2::Int16s     common/lanes_sse2.h
//   avx2::Doubles, avx2::Int16s     common/lanes_avx2.h
//   avx512::Doubles, avx512::Int16s common/lanes_avx512.h
//
// Doubles: a vector of LANES doubles, type T, with a lane-wise truth value,
// type Mask, and the static functions
//   zero(), splat(v), broadcast(p)     every lane 0, v, or the double at p
//   load(p), store(p, v)               LANES consecutive doubles, any alignment
//   add, sub, mul, div, sqrt           each a single correctly rounded
//                                      operation, never fused with another
//   min(a, b)                          a < b ? a : b
//   greater, greater_equal, equal      ordered comparisons (false where either
//                                      is not a number)
//   equal_or_unordered(a, b)           a == b, or either is not a number
//   select(m, a, b)                    a where m holds, else b
//   from_low_uint16s(w)                the first LANES 16-bit lanes of an
//                                      Int16s vector, unsigned, as doubles
// Int16s: a vector of LANES 16-bit integers, type T (also LANES / 2 lanes
// of 32-bit sums), with the static functions
//   zero(), splat(v)
//   load(p)                            LANES values aligned to the vector
//   add(a, b), mul_low(a, b)           modulo 2^16
//   madd_add(acc, a, b)                acc plus the sums of adjacent products
//                                      a * b, in 32-bit lanes
//   sum32(v)                           the sum of the 32-bit lanes, exactly
// The plain loops that the integer kernels stand for are written out where
// they are, so plain has no Int16s.
//
// Every record has internal linkage, so that code compiled for one
// instruction set can never stand in for another's at link time. Include an
// instruction set's header only from a source compiled for that set.
#ifndef COMMON_LANES_H
#define COMMON_LANES_H

#include <cmath>
#include <cstdint>

namespace kelvor {

// Doubles and 16-bit integers per vector at each instruction set.
constexpr int32_t DOUBLE_LANES_SSE2 = 2;
constexpr int32_t DOUBLE_LANES_AVX2 = 4;
constexpr int32_t DOUBLE_LANES_AVX512 = 8;
constexpr int32_t DOUBLE_LANES_MAX = DOUBLE_LANES_AVX512;  // room for a vector of any set
constexpr int32_t INT16_LANES_SSE2 = 8;
constexpr int32_t INT16_LANES_AVX2 = 16;
constexpr int32_t INT16_LANES_AVX512 = 32;

namespace plain {
namespace {

struct Doubles {
    typedef double T;
    typedef bool Mask;
    static constexpr int32_t LANES = 1;
    static T zero() { return 0.0; }
    static T splat(double v) { return v; }
    static T broadcast(const double* p) { return *p; }
    static T load(const double* p) { return *p; }
    static void store(double* p, T v) { *p = v; }
    static T add(T a, T b) { return a + b; }
    static T sub(T a, T b) { return a - b; }
    static T mul(T a, T b) { return a * b; }
    static T div(T a, T b) { return a / b; }
    static T sqrt(T a) { return std::sqrt(a); }
    static T min(T a, T b) { return a < b ? a : b; }
    static Mask greater(T a, T b) { return a > b; }
    static Mask greater_equal(T a, T b) { return a >= b; }
    static Mask equal(T a, T b) { return a == b; }
    static Mask equal_or_unordered(T a, T b) { return !(a < b) && !(a > b); }
    static T select(Mask m, T a, T b) { return m ? a : b; }
};

}  // namespace
}  // namespace plain

}  // namespace kelvor

#endif
