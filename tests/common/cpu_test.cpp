// The instruction-set level that every module's kernel choice follows: one
// probe of the processor, one limit that caps it.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/cpu.h"
#include "support.h"

using namespace kelvor;

namespace {

TEST(IsaLevel, ProbeAgreesWithTheProcessorsOwnFlags) {
#if defined(__x86_64__)
    EXPECT_GE(isa_supported(), ISA_SSE2);
    EXPECT_EQ(isa_supported() >= ISA_AVX2, __builtin_cpu_supports("avx2") != 0);
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    EXPECT_EQ(isa_supported() == ISA_AVX512, avx512);
#else
    EXPECT_EQ(isa_supported(), ISA_PLAIN);
#endif
}

TEST(IsaLevel, LimitCapsTheLevelButNeverRaisesItAboveTheProcessor) {
#ifdef KELVOR_PLAIN
    EXPECT_EQ(isa_level(), ISA_PLAIN);
#else
    EXPECT_EQ(isa_level(), isa_supported());
#endif
    for (IsaLevel limit : kIsaLevels) {
        IsaLimit capped(limit);
        EXPECT_EQ(isa_level(), std::min(limit, isa_supported())) << limit;
        EXPECT_EQ(isa_clamp(ISA_AVX512), isa_supported());
    }
}

}  // namespace
