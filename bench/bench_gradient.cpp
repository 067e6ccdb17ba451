// The reference profile's gradient against its scores alone: one 3-second
// pair through kelvor_score, then through kelvor_score_gradient with no
// gradient, STOI's, and both, on one thread, so that the cost of the
// backward pass reads as a ratio to the forward one in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/cpu.h"
#include "bench/speech_pair.h"
#include "kelvor/stoi.h"

using namespace kelvor;
using kelvor::bench::speech_pair;
using kelvor::bench::SpeechPair;

namespace {

enum Mode { SCORES = 0, GRADIENT_NONE = 1, GRADIENT_STOI = 2, GRADIENT_BOTH = 3 };

// state.range(0): the mode; range(1): the rate; range(2): the
// instruction-set level every kernel of the call is capped at.
void BM_Gradient(benchmark::State& state) {
    const Mode mode = static_cast<Mode>(state.range(0));
    const int rate = static_cast<int>(state.range(1));
    const IsaLevel level = static_cast<IsaLevel>(state.range(2));
    if (level > isa_supported()) {
        state.SkipWithError("kernel not available on this processor");
        return;
    }
    const SpeechPair p = speech_pair(rate);
    const int64_t n = static_cast<int64_t>(p.ref.size());
    std::vector<double> gs(static_cast<size_t>(n));
    std::vector<double> ge(static_cast<size_t>(n));
    const IsaLevel before = isa_set_limit(level);
    kelvor_scores s{};
    for (auto _ : state) {
        int status = KELVOR_OK;
        if (mode == SCORES) {
            status = kelvor_score(p.ref.data(), n, p.deg.data(), n, rate, nullptr, &s);
        } else {
            status = kelvor_score_gradient(p.ref.data(), n, p.deg.data(), n, rate, nullptr, &s,
                                           mode >= GRADIENT_STOI ? gs.data() : nullptr,
                                           mode == GRADIENT_BOTH ? ge.data() : nullptr);
        }
        if (status != KELVOR_OK) {
            state.SkipWithError("scoring failed");
            break;
        }
        benchmark::DoNotOptimize(s);
        benchmark::DoNotOptimize(gs.data());
        benchmark::ClobberMemory();
    }
    isa_set_limit(before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Gradient)
    ->ArgsProduct({{SCORES, GRADIENT_NONE, GRADIENT_STOI, GRADIENT_BOTH}, {16000}, {ISA_PLAIN, ISA_AVX2, ISA_AVX512}})
    ->ArgsProduct({{SCORES, GRADIENT_BOTH}, {8000, 48000}, {ISA_AVX512}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
