// The nsp library's support layer: the process-wide state record with the
// table caches, the status codes and the error report, the scalar-times-
// vector multiply used for inverse scaling, and 32-byte aligned allocation.
#ifndef NSP_NSPSTATE_H
#define NSP_NSPSTATE_H

#include <cstddef>
#include <cstdint>

#include "nsp/nsp.h"

enum {
    NSP_STS_OK = 0,
    NSP_STS_BACKTRACE = -1,
    NSP_STS_INTERNAL = -3,
    NSP_STS_NO_MEMORY = -4,
    NSP_STS_BAD_ARGUMENT = -5,
    NSP_STS_UNSUPPORTED = -6,
    NSP_STS_NO_CONVERGENCE = -7,
    NSP_STS_AUTOTRACE = -8,
    NSP_STS_NULL_POINTER = -10,
    NSP_STS_BAD_POINTER = -12,
    NSP_STS_BAD_STRUCTURE = -13,
    NSP_STS_BAD_LENGTH = -14
};

// Orders 0..31 each have one slot per table family.
enum { NSP_ORDER_SLOTS = 32 };

// Receives every non-zero report; its result is what nspReportStatus
// returns to the reporting operation.
typedef int (*NspErrorHandler)(int status, const char* funcName, const char* condition,
                               const char* moduleName, int line);

// The one library state of the process. It is statically initialised
// (status 0, error mode 0, the default handler, every slot empty) and needs
// no set-up call. Slots hold tables built by the getters of nsptables.h.
struct NspState {
    int32_t status;
    int32_t errorMode;
    NspErrorHandler handler;
    int32_t* bitRevTbl[NSP_ORDER_SLOTS];
    ComplexFloat* longTwdTbl[NSP_ORDER_SLOTS];
    ComplexFloat* fftTwdTbl[NSP_ORDER_SLOTS];
    ComplexFloat* splitTwdTbl[NSP_ORDER_SLOTS];
    // Two further families that no operation fills; release-all clears
    // them with the others.
    void* spareTbl1[NSP_ORDER_SLOTS];
    void* spareTbl2[NSP_ORDER_SLOTS];
};

extern NspState nspState;

// The table slots are filled and emptied under nspTableLock(), and read
// without it where a filled slot is enough: through these two, so that a
// reader that sees a table also sees its contents.
template <typename T>
inline T* nspSlotLoad(T* const* slot) {
    return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void nspSlotStore(T** slot, T* table) {
    __atomic_store_n(slot, table, __ATOMIC_RELEASE);
}

// The lock under which tables are built and released (recursive: the
// builders of the long orders build order 10's tables on the way).
void nspLockTables();
void nspUnlockTables();

// Holds the table lock for its scope.
struct NspTableGuard {
    NspTableGuard() { nspLockTables(); }
    ~NspTableGuard() { nspUnlockTables(); }
    NspTableGuard(const NspTableGuard&) = delete;
    NspTableGuard& operator=(const NspTableGuard&) = delete;
};

// ------------------------------------------------------------ status
void nspStoreStatus(int status);
int nspGetErrorMode();
// Stores status unless it is -1 or -8; a status of 0 returns 0 at once.
// Every other report goes to the installed handler, whose result is
// returned.
int nspReportStatus(int status, const char* funcName, const char* condition,
                    const char* moduleName, int line);
// With error mode 0 ends the process with exit code 1, printing nothing;
// otherwise returns status.
int nspDefaultErrorHandler(int status, const char* funcName, const char* condition,
                           const char* moduleName, int line);
// The library's description of a status code.
const char* nspStatusText(int status);

// For tests only: the tool itself keeps the default handler and error
// mode 0 throughout. Installing null restores the default handler. Both
// return the previous setting.
NspErrorHandler nspSetErrorHandler(NspErrorHandler handler);
int nspSetErrorMode(int mode);

// ------------------------------------------------------------ arith
// dst[i] *= val for i = n-1 down to 0, each product rounded once to single
// precision. Reports n<=0 before dst==0 (module nsparith); a report leaves
// dst untouched.
void nspsbMpy1(float val, float* dst, int32_t n);

// -------------------------------------------------------- aligned memory
// A block of at least `bytes` usable bytes starting on a 32-byte boundary,
// with the heap block's start stored in the pointer-sized word just below
// the returned address; not cleared. Null when the heap refuses or the
// request cannot be represented. Nothing is reported.
void* nspAlignedAlloc(size_t bytes);
// The same for `count` 32-bit integers; null for a negative count.
int32_t* nspAlignedAllocInts(int32_t count);
// Gives a block from the two allocators back to the heap; null is ignored.
void nspAlignedFree(void* p);

#endif
