// The processor's vector instruction sets and the switch between the
// vector kernels and the plain loops.
//
// Every module chooses its kernels the same way: a switch on isa_level(),
// from the highest level down to the plain loop, taking the first kernel it
// has. Every kernel gives the same bits as the plain loop it stands for;
// the plain loops stay in the code as the reference they are tested
// against and as the path of a plain build.
#ifndef COMMON_CPU_H
#define COMMON_CPU_H

#include <cstdint>

namespace kelvor {

// Instruction-set levels, each including the ones below it.
enum IsaLevel : int32_t {
    ISA_PLAIN = 0,  // the plain loops, no vector kernel and no reorganised loop
    ISA_SSE2 = 1,   // x86-64 baseline
    ISA_AVX2 = 2,
    ISA_AVX512 = 3  // AVX-512 F, BW, DQ and VL together
};

// The highest level this processor runs (ISA_PLAIN off x86), probed once.
IsaLevel isa_supported();

// The level the kernels use: isa_supported() capped by the limit.
IsaLevel isa_level();

// Caps isa_level(), for tests and benchmarks that compare kernels; ISA_PLAIN
// selects the plain loops everywhere. The limit starts at ISA_AVX512, or at
// ISA_PLAIN in a build configured with KELVOR_PLAIN. Returns the previous
// limit. Meant to be set while no scoring runs.
IsaLevel isa_set_limit(IsaLevel limit);

// The kernel level for a caller that asks for `wanted`: wanted, lowered to
// what the processor runs.
IsaLevel isa_clamp(IsaLevel wanted);

}  // namespace kelvor

#endif
