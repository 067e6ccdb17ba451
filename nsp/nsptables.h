// Per-order twiddle and bit-reversal tables of the FFT, built on first use
// and cached in nspState until released.
//
// Notation for one order: N = 2^order, Q = N/4 (0 when N < 4),
// w = exp(-2*pi*i/N).
//
// - Radix-4 table (orders 0..10): Q + 1 entries of three ComplexFloat
//   values, entry j = (w^j, w^(2j), w^(3j)).
// - Split-radix table (orders 0..10): Q - 1 entries (none for N <= 4) of two
//   ComplexFloat values, entry c-1 = (w^c, w^(3c)) for c = 1..Q-1.
// - Long-order table (orders above 10): Q values w^t, t = 0..Q-1; from
//   order 15 on followed by the 4096 values exp(-2*pi*i*t/16384) of a
//   16384-point transform's quarter period.
// - Bit-reversal table (all orders): M + 1 integers, M = N/4, for order
//   >= 2: the pairs (4i, 4j), i ascending, of every i in 1..M-1 whose
//   (order-2)-bit reversal j exceeds i; a 0; 4i of every self-reversed i,
//   i descending; a 0 at position M. Orders 0 and 1 get one integer that
//   is never filled or read.
//
// Every twiddle component is exactly plus or minus one entry of the
// quarter-wave sine table of the order, so w^k and w^(N/4-k) share their
// float values.
#ifndef NSP_NSPTABLES_H
#define NSP_NSPTABLES_H

#include <cstdint>

#include "nsp/nsp.h"

// The highest order whose tables are built. Above it the data, viewed as
// 2N floats for the inverse scaling, has a count that a signed 32-bit
// integer cannot hold (and at order 31 N itself cannot be held), so the
// getters refuse those orders as if memory had run out.
enum { NSP_MAX_TABLE_ORDER = 29 };

// Orders up to this one have radix-4 and split-radix tables of their own;
// above it transforms are built from 1024-point pieces with order 10's
// tables and joined with the long-order table.
enum { NSP_SMALL_ORDER_MAX = 10 };

// ------------------------------------------------------------- getters
// Each returns the cached table or builds, caches and returns it; null
// when the order is outside 0..31 (or above NSP_MAX_TABLE_ORDER) or memory
// runs out. Nothing is reported and no half-built table is cached.

// Radix-4 family. Above order 10: makes sure order 10's radix-4 table is
// cached and returns the order's long-order table; the order's own
// radix-4 slot stays empty.
ComplexFloat* nspcGetFftTwdTbl(int32_t order);
// Split-radix family, likewise with order 10's split-radix table.
ComplexFloat* nspcGetSplitTwdTbl(int32_t order);
// Long-order family.
ComplexFloat* nspcGetLongTwdTbl(int32_t order);
// Bit-reversal family.
int32_t* nspGetBitRevTbl(int32_t order);

// ------------------------------------------------------------ releases
// All ignore orders outside 0..31 and empty slots.

// Releases the radix-4 slot of the order; above order 10 also the order's
// long-order table and then order 10's radix-4 table.
void nspcFreeFftTwdTbl(int32_t order);
// The same for the split-radix family.
void nspcFreeSplitTwdTbl(int32_t order);
void nspcFreeLongTwdTbl(int32_t order);
void nspFreeBitRevTbl(int32_t order);
// Every cached table of every order, family by family: long-order,
// radix-4, split-radix, the two spare families, bit-reversal.
void nspFreeAllFftTbls();

// ------------------------------------------------- building blocks
// The quarter-wave sine table S[0..Q] of the order in a fresh aligned
// block (null when memory runs out): S[i] = sin(i*step) for i <= N/8 and
// cos((Q-i)*step) above, step = 6.283185307179586/N, each evaluated in
// double precision and rounded once to single precision. Release it with
// nspAlignedFree.
float* nspCalcSinTbl(int32_t order);
// w^k for 0 <= k <= 3N/4 by the octant rule from the sine table S.
ComplexFloat nspcTwiddleFromSin(const float* S, int32_t N, int32_t k);
// Fill a table of the layouts above from the order's sine table.
void nspcCalcFftTwdTbl(ComplexFloat* tbl, const float* S, int32_t order);
void nspcCalcSplitTwdTbl(ComplexFloat* tbl, const float* S, int32_t order);
void nspcCalcLongTwdTbl(ComplexFloat* tbl, const float* S, int32_t order);
// Fills the M + 1 integers of the bit-reversal table of an order >= 2.
void nspCalcBitRevTbl(int32_t* tbl, int32_t order);

#endif
