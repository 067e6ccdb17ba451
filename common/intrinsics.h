// The x86 vector intrinsics, for the instruction-set specific kernel
// sources. GCC 12 takes the placeholder operand of some unmasked intrinsics
// (an intentionally undefined vector) for an uninitialised variable; the
// warning is silenced for this header only.
#ifndef COMMON_INTRINSICS_H
#define COMMON_INTRINSICS_H

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#endif
