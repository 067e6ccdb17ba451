// Library state, status reporting and 32-byte aligned allocation.
#include "nsp/nspstate.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>

NspState nspState = {
    0,                       // status
    0,                       // errorMode
    nspDefaultErrorHandler,  // handler
    {}, {}, {}, {}, {}, {}   // table slots, all empty
};

static std::recursive_mutex& table_lock() {
    static std::recursive_mutex lock;
    return lock;
}

void nspLockTables() {
    table_lock().lock();
}

void nspUnlockTables() {
    table_lock().unlock();
}

void nspStoreStatus(int status) {
    nspState.status = status;
}

int nspGetErrorMode() {
    return nspState.errorMode;
}

int nspReportStatus(int status, const char* funcName, const char* condition,
                    const char* moduleName, int line) {
    // Back-trace and auto-trace codes pass through to the handler without
    // overwriting the code of the last real failure.
    if (status != NSP_STS_BACKTRACE && status != NSP_STS_AUTOTRACE) {
        nspStoreStatus(status);
        if (status == NSP_STS_OK) return 0;
    }
    return nspState.handler(status, funcName, condition, moduleName, line);
}

int nspDefaultErrorHandler(int status, const char*, const char*, const char*, int) {
    // A failure of the kernels ends the tool like any other error: exit
    // status 1, streams flushed by the ordinary exit path, no message.
    if (nspGetErrorMode() == 0) exit(1);
    return status;
}

const char* nspStatusText(int status) {
    switch (status) {
    case NSP_STS_OK: return "No Error";
    case NSP_STS_BACKTRACE: return "Backtrace";
    case NSP_STS_INTERNAL: return "Internal error (bad state)";
    case NSP_STS_NO_MEMORY: return "Out of memory";
    case NSP_STS_BAD_ARGUMENT: return "Bad argument";
    case NSP_STS_UNSUPPORTED: return "Unsupported function";
    case NSP_STS_NO_CONVERGENCE: return "Iteration convergence failed";
    case NSP_STS_AUTOTRACE: return "Autotrace call";
    case NSP_STS_NULL_POINTER: return "Null pointer";
    case NSP_STS_BAD_POINTER: return "Bad pointer";
    case NSP_STS_BAD_STRUCTURE: return "Bad data structure";
    case NSP_STS_BAD_LENGTH: return "Bad vector length";
    default: return "Unknown error or status code";
    }
}

NspErrorHandler nspSetErrorHandler(NspErrorHandler handler) {
    NspErrorHandler previous = nspState.handler;
    nspState.handler = handler != nullptr ? handler : nspDefaultErrorHandler;
    return previous;
}

int nspSetErrorMode(int mode) {
    int previous = nspState.errorMode;
    nspState.errorMode = mode;
    return previous;
}

// Blocks carry 32 bytes of slack plus one pointer-sized word for the
// block start, so the aligned address always leaves room for that word
// below it and for the full request above it.
static const size_t NSP_ALIGN = 32;
static const size_t NSP_LINK = sizeof(void*);

void* nspAlignedAlloc(size_t bytes) {
    if (bytes > SIZE_MAX - NSP_ALIGN - NSP_LINK) return nullptr;
    void* start = malloc(bytes + NSP_ALIGN + NSP_LINK);
    if (start == nullptr) return nullptr;
    uintptr_t at = (reinterpret_cast<uintptr_t>(start) + NSP_LINK + NSP_ALIGN - 1) &
                   ~static_cast<uintptr_t>(NSP_ALIGN - 1);
    void** link = reinterpret_cast<void**>(at) - 1;
    *link = start;
    return reinterpret_cast<void*>(at);
}

int32_t* nspAlignedAllocInts(int32_t count) {
    if (count < 0) return nullptr;
    size_t n = static_cast<size_t>(count);
    if (n > SIZE_MAX / sizeof(int32_t)) return nullptr;
    return static_cast<int32_t*>(nspAlignedAlloc(n * sizeof(int32_t)));
}

void nspAlignedFree(void* p) {
    if (p == nullptr) return;
    free(reinterpret_cast<void**>(p)[-1]);
}
