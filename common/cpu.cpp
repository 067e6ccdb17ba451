#include "common/cpu.h"

#include <atomic>

namespace kelvor {

namespace {

#ifdef KELVOR_PLAIN
std::atomic<int32_t> limit{ISA_PLAIN};
#else
std::atomic<int32_t> limit{ISA_AVX512};
#endif

IsaLevel probe() {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
        return ISA_AVX512;
    }
    if (__builtin_cpu_supports("avx2")) return ISA_AVX2;
    if (__builtin_cpu_supports("sse2")) return ISA_SSE2;
#endif
    return ISA_PLAIN;
}

}  // namespace

IsaLevel isa_supported() {
    static const IsaLevel supported = probe();
    return supported;
}

IsaLevel isa_clamp(IsaLevel wanted) {
    const IsaLevel supported = isa_supported();
    return wanted < supported ? wanted : supported;
}

IsaLevel isa_level() {
    return isa_clamp(static_cast<IsaLevel>(limit.load(std::memory_order_relaxed)));
}

IsaLevel isa_set_limit(IsaLevel level) {
    return static_cast<IsaLevel>(limit.exchange(level, std::memory_order_relaxed));
}

}  // namespace kelvor
