// The reference profile's gradient against its scores alone: one 3-second
// pair through kelvor_score, then through kelvor_score_gradient with no
// gradient, STOI's, and both, on one thread, so that the cost of the
// backward pass reads as a ratio to the forward one in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/cpu.h"
#include "kelvor/stoi.h"

using namespace kelvor;

namespace {

std::vector<double> noise(int64_t count, uint32_t seed) {
    std::vector<double> v(static_cast<size_t>(count));
    for (double& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<int32_t>(seed >> 8) % 20000) / 40000.0;
    }
    return v;
}

// Speech-like: noise shaped by a slow envelope with pauses (as
// bench_reference's pairs).
struct Pair {
    std::vector<double> ref;
    std::vector<double> deg;
};

Pair pair_of(int rate) {
    const int64_t n = 3 * static_cast<int64_t>(rate);
    Pair p{noise(n, 7), noise(n, 9)};
    for (int64_t i = 0; i < n; i++) {
        const double t = static_cast<double>(i) / rate;
        const double envelope =
            std::fmax(0.0, std::sin(2 * M_PI * 1.7 * t)) * (0.6 + 0.4 * std::sin(2 * M_PI * 5.3 * t));
        p.ref[static_cast<size_t>(i)] *= envelope;
        p.deg[static_cast<size_t>(i)] = 0.3 * p.deg[static_cast<size_t>(i)] + p.ref[static_cast<size_t>(i)];
    }
    return p;
}

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
    const Pair p = pair_of(rate);
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
