// Twiddle tables: the quarter-wave sine table, the radix-4, split-radix
// and long-order tables built from it, their cache and their release.
#include <cmath>
#include <cstddef>

#include "nsp/nspstate.h"
#include "nsp/nsptables.h"

static bool order_in_range(int32_t order) {
    return order >= 0 && order < NSP_ORDER_SLOTS;
}

static bool order_servable(int32_t order) {
    return order >= 0 && order <= NSP_MAX_TABLE_ORDER;
}

float* nspCalcSinTbl(int32_t order) {
    if (!order_servable(order)) return nullptr;
    const int32_t n = int32_t{1} << order;
    const int32_t q = n / 4;
    float* s = static_cast<float*>(nspAlignedAlloc((static_cast<size_t>(q) + 1) * sizeof(float)));
    if (s == nullptr) return nullptr;
    const double step = 6.283185307179586 / static_cast<double>(n);
    const int32_t eighth = n / 8;
    // The upper half of the quarter wave comes from cosines of the
    // complementary angle, which are more accurate there than sines near
    // pi/2.
    for (int32_t i = 0; i <= q; i++) {
        double v = i <= eighth ? std::sin(static_cast<double>(i) * step)
                               : std::cos(static_cast<double>(q - i) * step);
        s[i] = static_cast<float>(v);
    }
    return s;
}

ComplexFloat nspcTwiddleFromSin(const float* S, int32_t N, int32_t k) {
    const int32_t q = N / 4;
    const int32_t half = N / 2;
    ComplexFloat w;
    if (k <= q) {
        w.re = S[q - k];
        w.im = -S[k];
    } else if (k <= half) {
        w.re = -S[k - q];
        w.im = -S[half - k];
    } else {
        w.re = -S[N - q - k];  // 3N/4 - k
        w.im = S[k - half];
    }
    return w;
}

void nspcCalcFftTwdTbl(ComplexFloat* tbl, const float* S, int32_t order) {
    const int32_t n = int32_t{1} << order;
    const int32_t q = n / 4;
    for (int32_t j = 0; j <= q; j++) {
        tbl[3 * j] = nspcTwiddleFromSin(S, n, j);
        tbl[3 * j + 1] = nspcTwiddleFromSin(S, n, 2 * j);
        tbl[3 * j + 2] = nspcTwiddleFromSin(S, n, 3 * j);
    }
}

void nspcCalcSplitTwdTbl(ComplexFloat* tbl, const float* S, int32_t order) {
    const int32_t n = int32_t{1} << order;
    const int32_t q = n / 4;
    for (int32_t c = 1; c < q; c++) {
        tbl[2 * (c - 1)] = nspcTwiddleFromSin(S, n, c);
        tbl[2 * (c - 1) + 1] = nspcTwiddleFromSin(S, n, 3 * c);
    }
}

// Orders from which the long-order table carries the 16384-point part.
static const int32_t LONG_APPEND_ORDER = 15;
static const int32_t LONG_APPEND_COUNT = 4096;

void nspcCalcLongTwdTbl(ComplexFloat* tbl, const float* S, int32_t order) {
    const int32_t n = int32_t{1} << order;
    const int32_t q = n / 4;
    for (int32_t t = 0; t < q; t++) {
        tbl[t].re = S[q - t];
        tbl[t].im = -S[t];
    }
    if (order >= LONG_APPEND_ORDER) {
        const int32_t s = int32_t{1} << (order - 14);
        for (int32_t t = 0; t < LONG_APPEND_COUNT; t++) {
            tbl[q + t].re = S[s * (LONG_APPEND_COUNT - t)];
            tbl[q + t].im = -S[s * t];
        }
    }
}

// Allocates `count` values, fills them from a fresh sine table of the
// order and releases the sine table; null if either allocation fails.
static ComplexFloat* build_twiddles(int32_t order, size_t count,
                                    void (*fill)(ComplexFloat*, const float*, int32_t)) {
    ComplexFloat* tbl = static_cast<ComplexFloat*>(nspAlignedAlloc(count * sizeof(ComplexFloat)));
    if (tbl == nullptr) return nullptr;
    float* s = nspCalcSinTbl(order);
    if (s == nullptr) {
        nspAlignedFree(tbl);
        return nullptr;
    }
    fill(tbl, s, order);
    nspAlignedFree(s);
    return tbl;
}

static size_t quarter(int32_t order) {
    return static_cast<size_t>((int32_t{1} << order) / 4);
}

ComplexFloat* nspcGetLongTwdTbl(int32_t order) {
    if (!order_servable(order)) return nullptr;
    NspTableGuard guard;
    if (ComplexFloat* cached = nspSlotLoad(&nspState.longTwdTbl[order])) return cached;
    size_t count = quarter(order) + (order >= LONG_APPEND_ORDER ? LONG_APPEND_COUNT : 0);
    ComplexFloat* tbl = build_twiddles(order, count, nspcCalcLongTwdTbl);
    nspSlotStore(&nspState.longTwdTbl[order], tbl);
    return tbl;
}

ComplexFloat* nspcGetFftTwdTbl(int32_t order) {
    if (!order_servable(order)) return nullptr;
    NspTableGuard guard;
    if (ComplexFloat* cached = nspSlotLoad(&nspState.fftTwdTbl[order])) return cached;
    if (order > NSP_SMALL_ORDER_MAX) {
        if (nspcGetFftTwdTbl(NSP_SMALL_ORDER_MAX) == nullptr) return nullptr;
        return nspcGetLongTwdTbl(order);
    }
    ComplexFloat* tbl = build_twiddles(order, 3 * (quarter(order) + 1), nspcCalcFftTwdTbl);
    nspSlotStore(&nspState.fftTwdTbl[order], tbl);
    return tbl;
}

ComplexFloat* nspcGetSplitTwdTbl(int32_t order) {
    if (!order_servable(order)) return nullptr;
    NspTableGuard guard;
    if (ComplexFloat* cached = nspSlotLoad(&nspState.splitTwdTbl[order])) return cached;
    if (order > NSP_SMALL_ORDER_MAX) {
        if (nspcGetSplitTwdTbl(NSP_SMALL_ORDER_MAX) == nullptr) return nullptr;
        return nspcGetLongTwdTbl(order);
    }
    size_t q = quarter(order);
    size_t count = q > 1 ? 2 * (q - 1) : 0;
    ComplexFloat* tbl = build_twiddles(order, count, nspcCalcSplitTwdTbl);
    nspSlotStore(&nspState.splitTwdTbl[order], tbl);
    return tbl;
}

template <typename T>
static void release_slot(T** slots, int32_t order) {
    if (!order_in_range(order)) return;
    NspTableGuard guard;
    nspAlignedFree(slots[order]);
    nspSlotStore(&slots[order], static_cast<T*>(nullptr));
}

void nspcFreeLongTwdTbl(int32_t order) {
    release_slot(nspState.longTwdTbl, order);
}

void nspcFreeFftTwdTbl(int32_t order) {
    if (!order_in_range(order)) return;
    NspTableGuard guard;
    release_slot(nspState.fftTwdTbl, order);
    if (order > NSP_SMALL_ORDER_MAX) {
        nspcFreeLongTwdTbl(order);
        nspcFreeFftTwdTbl(NSP_SMALL_ORDER_MAX);
    }
}

void nspcFreeSplitTwdTbl(int32_t order) {
    if (!order_in_range(order)) return;
    NspTableGuard guard;
    release_slot(nspState.splitTwdTbl, order);
    if (order > NSP_SMALL_ORDER_MAX) {
        nspcFreeLongTwdTbl(order);
        nspcFreeSplitTwdTbl(NSP_SMALL_ORDER_MAX);
    }
}

void nspFreeAllFftTbls() {
    NspTableGuard guard;
    for (int32_t o = 0; o < NSP_ORDER_SLOTS; o++) nspcFreeLongTwdTbl(o);
    for (int32_t o = 0; o < NSP_ORDER_SLOTS; o++) release_slot(nspState.fftTwdTbl, o);
    for (int32_t o = 0; o < NSP_ORDER_SLOTS; o++) release_slot(nspState.splitTwdTbl, o);
    for (int32_t o = 0; o < NSP_ORDER_SLOTS; o++) release_slot(nspState.spareTbl1, o);
    for (int32_t o = 0; o < NSP_ORDER_SLOTS; o++) release_slot(nspState.spareTbl2, o);
    for (int32_t o = 0; o < NSP_ORDER_SLOTS; o++) nspFreeBitRevTbl(o);
}
