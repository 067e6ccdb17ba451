// The reference profile's benchmark input: 3 seconds of speech-like noise
// (shaped by a slow envelope with pauses) and a degraded copy with noise
// added, the same samples in every benchmark that times a whole pair.
#ifndef KELVOR_BENCH_SPEECH_PAIR_H
#define KELVOR_BENCH_SPEECH_PAIR_H

#include <cmath>
#include <cstdint>
#include <vector>

namespace kelvor::bench {

// count samples of repeatable noise, within +-0.5.
inline std::vector<double> noise(int64_t count, uint32_t seed) {
    std::vector<double> v(static_cast<size_t>(count));
    for (double& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = (static_cast<int32_t>(seed >> 8) % 20000) / 40000.0;
    }
    return v;
}

struct SpeechPair {
    std::vector<double> ref;
    std::vector<double> deg;
};

inline SpeechPair speech_pair(int rate) {
    const int64_t n = 3 * static_cast<int64_t>(rate);
    SpeechPair p{noise(n, 7), noise(n, 9)};
    for (int64_t i = 0; i < n; i++) {
        const double t = static_cast<double>(i) / rate;
        const double envelope =
            std::fmax(0.0, std::sin(2 * M_PI * 1.7 * t)) * (0.6 + 0.4 * std::sin(2 * M_PI * 5.3 * t));
        const size_t k = static_cast<size_t>(i);
        p.ref[k] *= envelope;
        p.deg[k] = 0.3 * p.deg[k] + p.ref[k];
    }
    return p;
}

}  // namespace kelvor::bench

#endif
