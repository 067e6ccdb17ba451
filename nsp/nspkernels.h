// The FFT's arithmetic on arrays of N = 2^order ComplexFloat values, in
// place: the bit-reversal permutation, the natural-order-output transform
// (radix-4 decimation in time on bit-reversed input, one radix-2 pass for
// odd orders) and the bit-reversed-output transform (split-radix
// decimation in frequency on natural input). Above 1024 points both are
// made of 1024-point pieces with order 10's tables, joined by radix-2
// stages with the long-order table.
//
// sign > 0 selects the forward butterflies (twiddles w^k, quarter turn
// -i); sign <= 0 the inverse ones (conjugate twiddles, quarter turn +i).
// No kernel scales, reports or allocates (above 1024 points the drivers
// look up order 10's table, which nspcFft has already cached).
//
// Arithmetic: values are loaded from single precision, every sum and
// product of one butterfly is formed in double precision, and each result
// is rounded to single precision once, when it is stored. Every pass reads
// and writes the whole array, so data are rounded once per pass.
#ifndef NSP_NSPKERNELS_H
#define NSP_NSPKERNELS_H

#include <cstdint>

#include "nsp/nsp.h"

// The single-precision constant of the split-radix eighth-turn twiddles.
extern const float NSP_SPLIT_SQRT_HALF;

// Puts x into bit-reversed order (N >= 4; smaller N is left alone) with
// the bit-reversal table of the order. Values move as raw 8-byte items.
void nspcBitRevPermute(ComplexFloat* x, int32_t N, const int32_t* tbl);

// Bit-reversed input, natural-order output. twd: the order's radix-4
// table (N <= 1024) or long-order table (N > 1024).
void nspcFftRadix4(ComplexFloat* x, int32_t N, int32_t sign, const ComplexFloat* twd);
// Natural input, bit-reversed output. twd: the order's split-radix table
// (N <= 1024) or long-order table (N > 1024).
void nspcFftSplit(ComplexFloat* x, int32_t N, int32_t sign, const ComplexFloat* twd);

// 4 <= N <= 1024 with the order's radix-4 table: passes of group length
// 4, 8 (odd orders only), then 16, 64, 256, 1024 or 32, 128, 512 up to N.
void nspcRadix4Fwd(ComplexFloat* x, int32_t N, const ComplexFloat* twd);
void nspcRadix4Inv(ComplexFloat* x, int32_t N, const ComplexFloat* twd);

// 4 <= N <= 1024 with the order's split-radix table; N = 4 directly,
// larger N through nspcSplitFwd / nspcSplitInv (8 <= N <= 1024).
void nspcSplitSmall(ComplexFloat* x, int32_t N, int32_t sign, const ComplexFloat* twd);
void nspcSplitFwd(ComplexFloat* x, int32_t N, const ComplexFloat* twd);
void nspcSplitInv(ComplexFloat* x, int32_t N, const ComplexFloat* twd);

// Radix-2 decimation-in-time stages turning len/sub consecutive
// transforms of length sub into one of length len, for a transform of N
// points whose long-order table is twd. Inside 16384-point blocks of a
// longer transform the twiddles come from the table's 16384-point part,
// otherwise from its main part. Each stage runs in slices of `slice`
// butterflies: half of them for consecutive k below s/2, the other half
// for the same k plus s/2. len, sub and N are powers of two with
// 2 <= sub < len <= N; other lengths leave x alone.
void nspcCombineRadix2(ComplexFloat* x, int32_t len, int32_t sub, const ComplexFloat* twd,
                       int32_t N, int32_t sign, int32_t slice);
// Radix-2 decimation-in-frequency stages from length len down to
// consecutive pieces of length sub; twiddle source and slices as above.
void nspcSplitRadix2(ComplexFloat* x, int32_t len, int32_t sub, const ComplexFloat* twd,
                     int32_t N, int32_t sign, int32_t slice);

// ------------------------------------------------------ vector kernels
// The forward 512-point transform of the natural-order path (permutation
// and radix-4 kernel) also exists as a vector kernel that gives the same
// bits. nspcFft runs it at the instruction-set level ISA_AVX512
// (common/cpu.h); the plain level selects the generic kernels for every
// transform.

// The twiddles of the 512-point vector kernel, as doubles, copied from the
// order-9 radix-4 table (the same values; no rounding):
// - at NSP_VTW512_W8: W8^1 = (re, im) of entry 64;
// - at NSP_VTW512_P32: for k = 0..7 the six components W32^2k, W32^k,
//   W32^3k (re, im each) of entry 16k;
// - at NSP_VTW512_P128 (k = 0..31) and NSP_VTW512_P512 (k = 0..127): for
//   each run of eight consecutive k, eight real parts then eight imaginary
//   parts of W^2k, then of W^k, then of W^3k (entry 4k or k).
enum {
    NSP_VTW512_P32 = 0,
    NSP_VTW512_P128 = NSP_VTW512_P32 + 6 * 8,
    NSP_VTW512_P512 = NSP_VTW512_P128 + 6 * 32,
    NSP_VTW512_W8 = NSP_VTW512_P512 + 6 * 128,
    NSP_VTW512_SIZE = NSP_VTW512_W8 + 8
};
void nspcFillVecTwd512(const ComplexFloat* twd, double* vtw);

// The forward 512-point transform on x (natural order in and out) with the
// vector twiddles of nspcFillVecTwd512 (64-byte aligned). AVX-512 only,
// built only for x86 processors.
void nspcFft512FwdAvx512(ComplexFloat* x, const double* vtw);

#endif
