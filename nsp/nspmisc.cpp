// Bit-reversal tables: building, cache and release.
#include "nsp/nspstate.h"
#include "nsp/nsptables.h"

void nspCalcBitRevTbl(int32_t* tbl, int32_t order) {
    const int32_t m = int32_t{1} << (order - 2);
    int32_t front = 0;
    int32_t back = m - 1;
    int32_t j = 0;
    for (int32_t i = 1; i < m; i++) {
        // Reversed-increment counter: j becomes the (order-2)-bit reversal
        // of i.
        int32_t k = m / 2;
        while (k <= j) {
            j -= k;
            k /= 2;
        }
        j += k;
        if (i < j) {
            tbl[front] = 4 * i;
            tbl[front + 1] = 4 * j;
            front += 2;
        } else if (i == j) {
            tbl[back] = 4 * i;
            back--;
        }
    }
    tbl[front] = 0;
    tbl[m] = 0;
}

int32_t* nspGetBitRevTbl(int32_t order) {
    if (order < 0 || order > NSP_MAX_TABLE_ORDER) return nullptr;
    NspTableGuard guard;
    if (int32_t* cached = nspSlotLoad(&nspState.bitRevTbl[order])) return cached;
    // Below four points no permutation is needed; those orders still get a
    // (never read) one-integer table so that every order has its slot.
    int32_t count = order >= 2 ? (int32_t{1} << (order - 2)) + 1 : 1;
    int32_t* tbl = nspAlignedAllocInts(count);
    if (tbl == nullptr) return nullptr;
    if (order >= 2) nspCalcBitRevTbl(tbl, order);
    nspSlotStore(&nspState.bitRevTbl[order], tbl);
    return tbl;
}

void nspFreeBitRevTbl(int32_t order) {
    if (order < 0 || order >= NSP_ORDER_SLOTS) return;
    NspTableGuard guard;
    nspAlignedFree(nspState.bitRevTbl[order]);
    nspSlotStore(&nspState.bitRevTbl[order], static_cast<int32_t*>(nullptr));
}
