// Double-precision power spectra of 256-sample frames (power_spectrum.h).
#include "measures/power_spectrum.h"

#include <cmath>
#include <mutex>

#include "measures/kernels.h"
#include "measures/power_spectrum_impl.h"

namespace kelvor {

namespace {

PowerTwiddles twiddles;
std::once_flag twiddles_once;

void build_twiddles() {
    for (int32_t j = 0; j < BIN_COUNT; j++) {
        const double angle = 2.0 * 3.14159265358979323846 * j / FFT_LENGTH;
        twiddles.c[j] = std::cos(angle);
        twiddles.s[j] = std::sin(angle);
    }
    // Exact values where the rounded angle would leave a residue.
    twiddles.c[FFT_LENGTH / 4] = 0.0;
    twiddles.s[FFT_LENGTH / 4] = 1.0;
    twiddles.c[FFT_LENGTH / 2] = -1.0;
    twiddles.s[FFT_LENGTH / 2] = 0.0;
    for (int32_t m = 0; m < HALF_POINTS; m++) {
        int32_t r = 0;
        for (int32_t bit = 0; bit < 7; bit++) r |= ((m >> bit) & 1) << (6 - bit);
        twiddles.reversed[m] = static_cast<int16_t>(r);
    }
}

}  // namespace

// The twiddles, built by the first call.
const PowerTwiddles& power_twiddles() {
    std::call_once(twiddles_once, build_twiddles);
    return twiddles;
}

void power_spectra(const double* frames, int32_t count, double* power) {
    const PowerTwiddles& tw = power_twiddles();
    for (int32_t t = 0; t < count; t++) {
        const double* x = frames + static_cast<size_t>(t) * FRAME_LENGTH;
        double* p = power + static_cast<size_t>(t) * BIN_COUNT;
        power_body<plain::Doubles>([x](int32_t n) { return x[n]; }, [p](int32_t k, double v) { p[k] = v; }, tw);
    }
}

void band_envelopes_lanes_using(IsaLevel level, const double* frames, int32_t count, const int32_t* lo,
                                const int32_t* hi, int32_t bands, double* env) {
    const PowerTwiddles& tw = power_twiddles();
    switch (isa_clamp(level)) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: band_envelopes_avx512(frames, count, lo, hi, bands, env, tw); return;
    case ISA_AVX2: band_envelopes_avx2(frames, count, lo, hi, bands, env, tw); return;
#endif
    default: break;
    }
    for (int32_t l = 0; l < count; l++) {
        envelopes_body<plain::Doubles>([frames, l](int32_t n) { return frames[n * DOUBLE_LANES_MAX + l]; }, lo, hi,
                                       bands, env + static_cast<size_t>(l) * bands, tw);
    }
}

void band_envelopes_lanes(const double* frames, int32_t count, const int32_t* lo, const int32_t* hi, int32_t bands,
                          double* env) {
    band_envelopes_lanes_using(isa_level(), frames, count, lo, hi, bands, env);
}

}  // namespace kelvor
