// Delay search: plain loop against the vector kernels, for inputs of 8
// seconds and 1 minute at 8 kHz, on one thread and on every processor
// (threads 0), in wall time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "common/parallel.h"
#include "conditioning/alignment.h"

using namespace kelvor;

namespace {

std::vector<int16_t> noise(int32_t count, uint32_t seed) {
    std::vector<int16_t> v(static_cast<size_t>(count));
    for (int16_t& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<int16_t>(static_cast<int32_t>(seed >> 16) % 8000 - 4000);
    }
    return v;
}

void BM_SearchAlignment(benchmark::State& state) {
    const IsaLevel kernel = static_cast<IsaLevel>(state.range(0));
    int32_t count = static_cast<int32_t>(state.range(1));
    const int32_t saved = parallel_set_threads(static_cast<int32_t>(state.range(2)));
    if (kernel > isa_supported()) {
        state.SkipWithError("kernel not available on this processor");
        parallel_set_threads(saved);
        return;
    }
    std::vector<int16_t> ref = noise(count, 1);
    std::vector<int16_t> deg(static_cast<size_t>(count) + ALIGN_SHIFTS, 0);
    for (int32_t i = 0; i + 300 < count; i++) deg[static_cast<size_t>(i + 300)] = ref[static_cast<size_t>(i)];
    for (auto _ : state) {
        benchmark::DoNotOptimize(search_alignment_using(kernel, ref.data(), deg.data(), count));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count) * ALIGN_SHIFTS);
    parallel_set_threads(saved);
}

// Arguments: kernel (0 plain, 1 SSE2, 2 AVX2, 3 AVX-512), samples, threads
// (1, or 0 for one per processor).
BENCHMARK(BM_SearchAlignment)
    ->ArgNames({"kernel", "samples", "threads"})
    ->ArgsProduct({{ISA_PLAIN, ISA_SSE2, ISA_AVX2, ISA_AVX512}, {64000, 480000}, {1, 0}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
