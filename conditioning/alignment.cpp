#include "conditioning/alignment.h"

// The correlation of one candidate delay. Products of two 16-bit samples are
// exact in 32 bits and their sum is exact in 64 bits for any count that fits
// in 32 bits (|sum| < 2^31 * 2^30 = 2^61), so the result does not depend on
// the order of summation and matches a double accumulator wherever that one
// is exact.
static int64_t correlation_at(const int16_t* reference, const int16_t* degraded, int32_t count, int32_t shift) {
    int64_t sum = 0;
    for (int32_t n = 0; n < count; n++) {
        int32_t product = static_cast<int32_t>(reference[n]) * static_cast<int32_t>(degraded[n + shift]);
        sum += product;
    }
    return sum;
}

int32_t search_alignment(const int16_t* reference, const int16_t* degraded, int32_t count) {
    int32_t best_shift = 0;
    int64_t best = correlation_at(reference, degraded, count, 0);
    for (int32_t shift = 1; shift < ALIGN_SHIFTS; shift++) {
        int64_t c = correlation_at(reference, degraded, count, shift);
        if (c > best) {
            best = c;
            best_shift = shift;
        }
    }
    return best_shift;
}
