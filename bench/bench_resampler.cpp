// Resampler: plain loop against the vector kernels, both coefficient
// tables, for 8 seconds of 8 kHz input. Items are input samples; "madds"
// counts the 1646 multiply-adds of every computed output. BM_ResamplePair
// resamples two signals of a minute at once, as a scoring does, on one
// thread and on every processor (threads 0), in wall time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "common/parallel.h"
#include "conditioning/resampler.h"

using namespace kelvor;

namespace {

std::vector<int16_t> noise(int32_t count, uint32_t seed)
{
    std::vector<int16_t> v(static_cast<size_t>(count));
    for (int16_t& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<int16_t>(static_cast<int32_t>(seed >> 16) % 8000 - 4000);
    }
    return v;
}

void BM_Resample(benchmark::State& state)
{
    const IsaLevel kernel = static_cast<IsaLevel>(state.range(0));
    const bool double_table = state.range(1) != 0;
    const int32_t count = static_cast<int32_t>(state.range(2));
    if (kernel > isa_supported()) {
        state.SkipWithError("kernel not available on this processor");
        return;
    }
    const std::vector<int16_t> x = noise(count, 1);
    const int32_t length = resampled_length(count);
    std::vector<int16_t> y(static_cast<size_t>(length));
    for (auto _ : state) {
        if (double_table) {
            resample_8k_to_10k_using(kernel, x.data(), count, y.data(), resampler_taps_double);
        } else {
            resample_8k_to_10k_using(kernel, x.data(), count, y.data(), resampler_taps_float);
        }
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    const int64_t computed = length > RESAMPLER_DELAY ? length - RESAMPLER_DELAY : 0;
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
    state.counters["madds"] = benchmark::Counter(static_cast<double>(computed) * RESAMPLER_PHASE_TAPS,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

// Arguments: kernel (0 plain, 1 SSE2, 2 AVX2, 3 AVX-512), table (0 float,
// 1 double), input samples.
BENCHMARK(BM_Resample)
    ->ArgNames({"kernel", "double", "samples"})
    ->ArgsProduct({{ISA_PLAIN, ISA_SSE2, ISA_AVX2, ISA_AVX512},
                   {0, 1},
                   {64000}})
    ->Unit(benchmark::kMillisecond);

void BM_ResamplePair(benchmark::State& state)
{
    const int32_t count = static_cast<int32_t>(state.range(0));
    const int32_t saved = parallel_set_threads(static_cast<int32_t>(state.range(1)));
    const std::vector<int16_t> x1 = noise(count, 1);
    const std::vector<int16_t> x2 = noise(count, 2);
    const int32_t length = resampled_length(count);
    std::vector<int16_t> y1(static_cast<size_t>(length));
    std::vector<int16_t> y2(static_cast<size_t>(length));
    for (auto _ : state) {
        resample_pair_8k_to_10k(x1.data(), x2.data(), count, y1.data(), y2.data(), false, nullptr);
        benchmark::DoNotOptimize(y1.data());
        benchmark::DoNotOptimize(y2.data());
        benchmark::ClobberMemory();
    }
    parallel_set_threads(saved);
    state.SetItemsProcessed(state.iterations() * 2 * static_cast<int64_t>(count));
}

// Arguments: input samples of each signal, threads.
BENCHMARK(BM_ResamplePair)
    ->ArgNames({"samples", "threads"})
    ->ArgsProduct({{480000}, {1, 0}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
