// The measure pipeline (STOI and ESTOI of two 10 kHz signals) on 8 and 60
// seconds of the demo pair, with the fast paths and with the plain loops
// (BM_MeasurePipelinePlain), on one thread and on every processor (threads
// 0), in wall time. The counters stoi_ms and estoi_ms are the two phases
// the pipeline times itself, averaged over the iterations.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "conditioning/alignment.h"
#include "common/cpu.h"
#include "common/parallel.h"
#include "conditioning/resampler.h"
#include "measures/stoi.h"

using namespace kelvor;

namespace {

std::vector<int16_t> load_wav(const char* name) {
    std::vector<int16_t> samples;
    std::string path = std::string(KELVOR_SOURCE_DIR) + "/samples/" + name;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return samples;
    fseek(f, 44, SEEK_SET);
    int16_t v;
    while (fread(&v, 2, 1, f) == 1) samples.push_back(v);
    fclose(f);
    return samples;
}

// The demo pair repeated to the requested length at 8 kHz; the degraded
// copy keeps its delay of 320 samples.
void demo_pair(int32_t count, std::vector<int16_t>* ref, std::vector<int16_t>* deg) {
    std::vector<int16_t> r = load_wav("ref.wav");
    std::vector<int16_t> d = load_wav("deg.wav");
    ref->assign(static_cast<size_t>(count), 0);
    deg->assign(static_cast<size_t>(count) + ALIGN_SHIFTS, 0);
    if (r.empty() || d.empty()) return;
    for (int32_t i = 0; i < count; i++) {
        (*ref)[static_cast<size_t>(i)] = r[static_cast<size_t>(i) % r.size()];
        (*deg)[static_cast<size_t>(i)] = d[static_cast<size_t>(i) % d.size()];
    }
}

void measure_pipeline(benchmark::State& state, bool fast) {
    int32_t count = static_cast<int32_t>(state.range(0)) * 8000;
    std::vector<int16_t> ref, deg;
    demo_pair(count, &ref, &deg);
    int32_t m = resampled_length(count);
    std::vector<int16_t> ref10(static_cast<size_t>(m)), deg10(static_cast<size_t>(m));
    resample_8k_to_10k(ref.data(), count, ref10.data(), resampler_taps_float);
    resample_8k_to_10k(deg.data() + 320, count, deg10.data(), resampler_taps_float);
    const IsaLevel before = isa_set_limit(fast ? ISA_AVX512 : ISA_PLAIN);
    const int32_t saved = parallel_set_threads(static_cast<int32_t>(state.range(1)));
    double stoi_seconds = 0.0, estoi_seconds = 0.0;
    for (auto _ : state) {
        MeasureResult r{};
        benchmark::DoNotOptimize(stoi_estoi_pcm(ref10.data(), deg10.data(), m, &r));
        stoi_seconds += r.t1;
        estoi_seconds += r.t2;
    }
    parallel_set_threads(saved);
    isa_set_limit(before);
    const double runs = static_cast<double>(state.iterations());
    state.counters["stoi_ms"] = stoi_seconds / runs * 1e3;
    state.counters["estoi_ms"] = estoi_seconds / runs * 1e3;
}

void BM_MeasurePipeline(benchmark::State& state) {
    measure_pipeline(state, true);
}

void BM_MeasurePipelinePlain(benchmark::State& state) {
    measure_pipeline(state, false);
}

BENCHMARK(BM_MeasurePipeline)
    ->ArgNames({"seconds", "threads"})
    ->ArgsProduct({{8, 60}, {1, 0}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasurePipelinePlain)
    ->ArgNames({"seconds", "threads"})
    ->ArgsProduct({{8, 60}, {1, 0}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
