#include "conditioning/fast_paths.h"

#include "nsp/nspkernels.h"

namespace {

#ifdef KELVOR_PLAIN
bool fast_paths = false;
#else
bool fast_paths = true;
#endif

}  // namespace

bool fast_paths_enabled() {
    return fast_paths;
}

void set_fast_paths_enabled(bool enabled) {
    fast_paths = enabled;
    // The FFT library has its own switch; the plain loops include its
    // generic kernels.
    nspUseGenericKernels(!enabled);
}

bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool cpu_has_avx512() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}
