// 8 kHz -> 10 kHz polyphase resampler (factor 5/4).
//
// Conceptually the input is interpolated by 5 to 40 kHz (four zeros after
// every sample), low-pass filtered with the 8231-tap table, and decimated by
// 4. Only the kept 40 kHz positions are computed: output m sits at position
// 4m + 3, i.e. at phase p = (4m + 3) mod 5 of input sample j = (4m + 3) / 5,
// and its value is 5 times the sum over k = 0..1645 of h[p + 5k] * x[j - k]
// (the factor 5 restores the amplitude lost to the zero-stuffing). The
// filter's delay of 1028 outputs is removed, so y[n] lies at input
// position 4n/5.
//
// The arithmetic order is fixed so that scores are reproducible to the last
// bit: each sum starts at 0.0 and adds its terms newest sample first
// (k ascending), every product and addition rounded to double. A faster
// variant of this loop must give identical samples.

#include "conditioning/resampler.h"

namespace {

constexpr int32_t PHASES = 5;       // interpolation factor
constexpr int32_t DECIMATION = 4;   // one output every 4 positions at 40 kHz

// Turns 5 * filter sum into a sample. Not rounding to nearest: the value is
// lowered by one half and truncated toward zero, so positive values mostly
// come out one lower than rounding would give and negative values round
// half away from zero. Values beyond the 16-bit range saturate at either end.
int16_t to_sample(double v)
{
    if (v < -32768.0) {
        return -32768;
    }
    const double t = v - 0.5;
    if (t >= 32768.0) {  // would truncate to more than 32767
        return 32767;
    }
    return static_cast<int16_t>(static_cast<int32_t>(t));
}

template <typename Tap>
void resample(const int16_t* x, int32_t count, int16_t* y, const Tap* taps)
{
    const int32_t length = resampled_length(count);
    // Input samples whose filter window reaches back before x[0]: from
    // j = RESAMPLER_PHASE_TAPS - 1 on, all 1646 terms exist.
    const int32_t startup = count < RESAMPLER_PHASE_TAPS - 1 ? count : RESAMPLER_PHASE_TAPS - 1;

    int32_t countdown = DECIMATION;  // 40 kHz positions until the next output
    int32_t m = 0;                   // output positions passed, dropped ones included

    // Start-up stretch: terms with j - k < 0 are samples before the start of
    // the signal and are left out.
    for (int32_t j = 0; j < startup; ++j) {
        for (int32_t p = 0; p < PHASES; ++p) {
            if (--countdown != 0) {
                continue;
            }
            countdown = DECIMATION;
            if (m >= RESAMPLER_DELAY) {
                double s = 0.0;
                for (int32_t k = 0; k < RESAMPLER_PHASE_TAPS; ++k) {
                    if (j - k >= 0) {
                        s += static_cast<double>(taps[p + PHASES * k]) * static_cast<double>(x[j - k]);
                    }
                }
                y[m - RESAMPLER_DELAY] = to_sample(5.0 * s);
            }
            ++m;
        }
    }

    // Steady stretch: every term exists, so the test is left out.
    for (int32_t j = startup; j < count; ++j) {
        for (int32_t p = 0; p < PHASES; ++p) {
            if (--countdown != 0) {
                continue;
            }
            countdown = DECIMATION;
            if (m >= RESAMPLER_DELAY) {
                const Tap* h = taps + p;
                const int16_t* newest = x + j;
                double s = 0.0;
                for (int32_t k = 0; k < RESAMPLER_PHASE_TAPS; ++k) {
                    s += static_cast<double>(h[PHASES * k]) * static_cast<double>(newest[-k]);
                }
                y[m - RESAMPLER_DELAY] = to_sample(5.0 * s);
            }
            ++m;
        }
    }

    // Tail: the last outputs' windows would reach past the end of the input;
    // they are not computed but set to zero.
    const int32_t zeros = length < RESAMPLER_DELAY ? length : RESAMPLER_DELAY;
    for (int32_t n = length - zeros; n < length; ++n) {
        y[n] = 0;
    }
}

}  // namespace

int32_t resampled_length(int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    return static_cast<int32_t>(int64_t{5} * count / 4);
}

void resample_8k_to_10k(const int16_t* x, int32_t count, int16_t* y, const double* taps)
{
    resample(x, count, y, taps);
}

void resample_8k_to_10k(const int16_t* x, int32_t count, int16_t* y, const float* taps)
{
    resample(x, count, y, taps);
}
