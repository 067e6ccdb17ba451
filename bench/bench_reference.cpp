// The reference profile's pieces: the any-rate resampler and the double-
// precision band envelopes, each plain against the vector kernels; and a
// whole 3-second pair at several rates.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "conditioning/polyphase.h"
#include "bench/speech_pair.h"
#include "kelvor/stoi.h"
#include "measures/power_spectrum.h"

using namespace kelvor;
using kelvor::bench::noise;

namespace {

bool available(benchmark::State& state, IsaLevel level) {
    if (level > isa_supported()) {
        state.SkipWithError("kernel not available on this processor");
        return false;
    }
    return true;
}

// 3 s of input at state.range(1) Hz to 10 kHz.
void BM_Polyphase(benchmark::State& state) {
    const IsaLevel level = static_cast<IsaLevel>(state.range(0));
    const int rate = static_cast<int>(state.range(1));
    if (!available(state, level)) return;
    int32_t up = 0, down = 0;
    polyphase_ratio(rate, &up, &down);
    const PolyphaseFilter* f = polyphase_acquire(up, down);
    const int64_t n = 3 * static_cast<int64_t>(rate);
    const int64_t outputs = polyphase_output_length(f, n);
    const int64_t first = polyphase_newest(f, 0) - f->taps + 1;
    const int64_t end = polyphase_newest(f, outputs - 1) + 1;
    std::vector<double> x(static_cast<size_t>(end - first), 0.0);
    const std::vector<double> signal = noise(n, 3);
    for (int64_t i = 0; i < n; i++) x[static_cast<size_t>(i - first)] = signal[static_cast<size_t>(i)];
    std::vector<double> y(static_cast<size_t>(outputs));
    std::vector<double> scratch(static_cast<size_t>(polyphase_scratch_size(f, static_cast<int32_t>(outputs))));
    for (auto _ : state) {
        polyphase_run_using(level, f, x.data(), first, 0, static_cast<int32_t>(outputs), y.data(), scratch.data());
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.counters["madds"] = benchmark::Counter(static_cast<double>(outputs) * f->taps,
                                                 benchmark::Counter::kIsIterationInvariantRate);
    polyphase_release(f);
}
BENCHMARK(BM_Polyphase)
    ->ArgsProduct({{ISA_PLAIN, ISA_AVX2, ISA_AVX512}, {8000, 16000, 44100, 48000}})
    ->Unit(benchmark::kMicrosecond);

// The band envelopes of the frames of 3 s at 10 kHz (233 frames), eight
// frames side by side per call as the reference profile takes them.
void BM_BandEnvelopes(benchmark::State& state) {
    const IsaLevel level = static_cast<IsaLevel>(state.range(0));
    if (!available(state, level)) return;
    const int32_t frames = 233;
    const int32_t calls = (frames + DOUBLE_LANES_MAX - 1) / DOUBLE_LANES_MAX;
    const std::vector<double> x = noise(int64_t{calls} * DOUBLE_LANES_MAX * FRAME_LENGTH, 5);
    // Fifteen bands of widening width, as the reference profile's.
    int32_t lo[15];
    int32_t hi[15];
    for (int32_t j = 0, k = 7; j < 15; j++) {
        lo[j] = k;
        k += 3 + j;
        hi[j] = k;
    }
    std::vector<double> env(static_cast<size_t>(calls) * DOUBLE_LANES_MAX * BAND_COUNT);
    for (auto _ : state) {
        for (int32_t c = 0; c < calls; c++) {
            const int32_t left = frames - c * DOUBLE_LANES_MAX;
            const int32_t count = left < DOUBLE_LANES_MAX ? left : DOUBLE_LANES_MAX;
            const size_t at = static_cast<size_t>(c) * DOUBLE_LANES_MAX;
            band_envelopes_lanes_using(level, x.data() + at * FRAME_LENGTH, count, lo, hi, BAND_COUNT,
                                       env.data() + at * BAND_COUNT);
        }
        benchmark::DoNotOptimize(env.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_BandEnvelopes)->Arg(ISA_PLAIN)->Arg(ISA_AVX2)->Arg(ISA_AVX512)->Unit(benchmark::kMicrosecond);

// A whole pair of 3 s, reference profile, at the instruction-set level
// given (which the resampler, the spectra and the segments all follow).
void BM_ReferencePair(benchmark::State& state) {
    const IsaLevel level = static_cast<IsaLevel>(state.range(0));
    const int rate = static_cast<int>(state.range(1));
    if (!available(state, level)) return;
    const kelvor::bench::SpeechPair p = kelvor::bench::speech_pair(rate);
    const std::vector<double>& x = p.ref;
    const std::vector<double>& y = p.deg;
    const int64_t n = static_cast<int64_t>(x.size());
    const IsaLevel before = isa_set_limit(level);
    kelvor_scores s{};
    for (auto _ : state) {
        if (kelvor_score(x.data(), n, y.data(), n, rate, nullptr, &s) != KELVOR_OK) {
            state.SkipWithError("scoring failed");
            break;
        }
        benchmark::DoNotOptimize(s);
    }
    isa_set_limit(before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReferencePair)
    ->ArgsProduct({{ISA_PLAIN, ISA_AVX2, ISA_AVX512}, {8000, 16000, 48000}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
