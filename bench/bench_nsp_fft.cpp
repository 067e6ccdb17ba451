// Forward complex FFT of 2^order single-precision points: nspcFft at the
// measure pipeline's order 9 and at orders 10, 12, 16 and 20, and, where
// it is installed, FFTW's single-precision transform of the same sizes as
// a yardstick.
//
// BM_NspFft9Kernels times the measure pipeline's transform (order 9,
// forward) with the generic kernels (argument 0) and with the vector
// kernel (argument 1, where the processor has one).
//
// Each timed iteration restores the input from a pristine copy before
// transforming it in place (an unscaled forward transform repeated on its
// own output would overflow); BM_RestoreOnly times that copy alone so it
// can be subtracted.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "nsp/nsp.h"
#include "common/cpu.h"

#ifdef KELVOR_BENCH_FFTW
#include <fftw3.h>
#endif

namespace {

std::vector<ComplexFloat> signal(int32_t n) {
    std::mt19937 gen(12345);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<ComplexFloat> x(static_cast<size_t>(n));
    for (ComplexFloat& v : x) v = ComplexFloat{dist(gen), dist(gen)};
    return x;
}

void set_counters(benchmark::State& state, int32_t n) {
    state.counters["points"] = n;
    state.SetItemsProcessed(state.iterations());
}

void BM_NspFftForward(benchmark::State& state) {
    const int32_t order = static_cast<int32_t>(state.range(0));
    const int32_t n = int32_t{1} << order;
    const std::vector<ComplexFloat> source = signal(n);
    std::vector<ComplexFloat> data = source;
    nspcFft(data.data(), order, NSP_FFT_FORWARD);  // builds the tables
    const size_t bytes = source.size() * sizeof(ComplexFloat);
    for (auto _ : state) {
        std::memcpy(data.data(), source.data(), bytes);
        nspcFft(data.data(), order, NSP_FFT_FORWARD);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, n);
}

void BM_NspFft9Kernels(benchmark::State& state) {
    const bool vector = state.range(0) != 0;
    if (vector && kelvor::isa_supported() < kelvor::ISA_AVX512) {
        state.SkipWithError("no vector kernel on this processor");
        return;
    }
    const kelvor::IsaLevel before = kelvor::isa_set_limit(vector ? kelvor::ISA_AVX512 : kelvor::ISA_PLAIN);
    const std::vector<ComplexFloat> source = signal(512);
    std::vector<ComplexFloat> data = source;
    nspcFft(data.data(), 9, NSP_FFT_FORWARD);
    const size_t bytes = source.size() * sizeof(ComplexFloat);
    for (auto _ : state) {
        std::memcpy(data.data(), source.data(), bytes);
        nspcFft(data.data(), 9, NSP_FFT_FORWARD);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    kelvor::isa_set_limit(before);
    set_counters(state, 512);
}

void BM_RestoreOnly(benchmark::State& state) {
    const int32_t n = int32_t{1} << state.range(0);
    const std::vector<ComplexFloat> source = signal(n);
    std::vector<ComplexFloat> data = source;
    const size_t bytes = source.size() * sizeof(ComplexFloat);
    for (auto _ : state) {
        std::memcpy(data.data(), source.data(), bytes);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    set_counters(state, n);
}

#ifdef KELVOR_BENCH_FFTW
void BM_FftwForward(benchmark::State& state) {
    const int32_t n = int32_t{1} << state.range(0);
    const std::vector<ComplexFloat> source = signal(n);
    const size_t bytes = source.size() * sizeof(ComplexFloat);
    fftwf_complex* data = static_cast<fftwf_complex*>(fftwf_malloc(bytes));
    fftwf_plan plan = fftwf_plan_dft_1d(n, data, data, FFTW_FORWARD, FFTW_MEASURE);
    for (auto _ : state) {
        std::memcpy(data, source.data(), bytes);
        fftwf_execute(plan);
        benchmark::DoNotOptimize(data);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(data);
    set_counters(state, n);
}
#endif

void orders(benchmark::internal::Benchmark* b) {
    for (int order : {9, 10, 12, 16, 20}) b->Arg(order);
    b->Unit(benchmark::kNanosecond);
}

BENCHMARK(BM_NspFftForward)->Apply(orders);
BENCHMARK(BM_RestoreOnly)->Apply(orders);
BENCHMARK(BM_NspFft9Kernels)->ArgName("vector")->Arg(0)->Arg(1)->Unit(benchmark::kNanosecond);
#ifdef KELVOR_BENCH_FFTW
BENCHMARK(BM_FftwForward)->Apply(orders);
#endif

}  // namespace

BENCHMARK_MAIN();
