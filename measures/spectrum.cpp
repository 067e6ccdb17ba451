#include "measures/spectrum.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/cpu.h"
#include "common/parallel.h"
#include "measures/memory.h"
#include "measures/kernels.h"
#include "nsp/nsp.h"

namespace kelvor {

const int16_t band_bin_table[BAND_BIN_COUNT] = {
    // band 0: bins 7-8
    7, 8,
    // band 1: bins 9-10
    266, 267,
    // band 2: bins 11-13
    525, 526, 527,
    // band 3: bins 14-16
    785, 786, 787,
    // band 4: bins 17-21
    1045, 1046, 1047, 1048, 1049,
    // band 5: bins 22-26
    1307, 1308, 1309, 1310, 1311,
    // band 6: bins 27-33
    1569, 1570, 1571, 1572, 1573, 1574, 1575,
    // band 7: bins 34-42
    1833, 1834, 1835, 1836, 1837, 1838, 1839, 1840, 1841,
    // band 8: bins 43-54
    2099, 2100, 2101, 2102, 2103, 2104, 2105, 2106, 2107, 2108, 2109, 2110,
    // band 9: bins 55-68
    2368, 2369, 2370, 2371, 2372, 2373, 2374, 2375, 2376, 2377, 2378, 2379, 2380,
    2381,
    // band 10: bins 69-86
    2639, 2640, 2641, 2642, 2643, 2644, 2645, 2646, 2647, 2648, 2649, 2650, 2651,
    2652, 2653, 2654, 2655, 2656,
    // band 11: bins 87-108
    2914, 2915, 2916, 2917, 2918, 2919, 2920, 2921, 2922, 2923, 2924, 2925, 2926,
    2927, 2928, 2929, 2930, 2931, 2932, 2933, 2934, 2935,
    // band 12: bins 109-137
    3193, 3194, 3195, 3196, 3197, 3198, 3199, 3200, 3201, 3202, 3203, 3204, 3205,
    3206, 3207, 3208, 3209, 3210, 3211, 3212, 3213, 3214, 3215, 3216, 3217, 3218,
    3219, 3220, 3221,
    // band 13: bins 138-173
    3479, 3480, 3481, 3482, 3483, 3484, 3485, 3486, 3487, 3488, 3489, 3490, 3491,
    3492, 3493, 3494, 3495, 3496, 3497, 3498, 3499, 3500, 3501, 3502, 3503, 3504,
    3505, 3506, 3507, 3508, 3509, 3510, 3511, 3512, 3513, 3514,
    // band 14: bins 174-218
    3772, 3773, 3774, 3775, 3776, 3777, 3778, 3779, 3780, 3781, 3782, 3783, 3784,
    3785, 3786, 3787, 3788, 3789, 3790, 3791, 3792, 3793, 3794, 3795, 3796, 3797,
    3798, 3799, 3800, 3801, 3802, 3803, 3804, 3805, 3806, 3807, 3808, 3809, 3810,
    3811, 3812, 3813, 3814, 3815, 3816,
};

void hann_window(double* w, int32_t n) {
    const double two_pi = 6.283185307179586;
    const double step = two_pi / static_cast<double>(n + 1);
    const int32_t half = n / 2;
    double theta = step;
    for (int32_t i = 0; i < half; i++) {
        w[i] = 0.5 * (1.0 - std::cos(theta));
        theta = theta + step;
    }
    for (int32_t i = 0; i < half; i++) w[half + i] = w[half - 1 - i];
}

int32_t frame_count(int32_t length) {
    if (length <= FRAME_LENGTH) return 0;
    return (length - (FRAME_LENGTH + 1)) / FRAME_HOP + 1;
}

void complex_fft(double* data, int32_t order, bool inverse) {
    ComplexFloat buffer[1 << COMPLEX_FFT_MAX_ORDER];
    const int32_t count = int32_t{1} << order;
    for (int32_t i = 0; i < count; i++) {
        buffer[i].re = static_cast<float>(data[2 * i]);
        buffer[i].im = static_cast<float>(data[2 * i + 1]);
    }
    nspcFft(buffer, order, inverse ? NSP_FFT_INVERSE : NSP_FFT_FORWARD);
    for (int32_t i = 0; i < count; i++) {
        data[2 * i] = static_cast<double>(buffer[i].re);
        data[2 * i + 1] = static_cast<double>(buffer[i].im);
    }
}

namespace {

// stdft's scratch arrays, and the FFT's tables of the 512-point transform
// (built on the first transform of the process); false, with *failure
// recorded and nothing left allocated, when any cannot be had.
bool stdft_scratch(int32_t frames, double** tmp, double** ctmp, MeasureFailure* failure) {
    *tmp = measure_doubles(FFT_LENGTH, "stdft", "tmp", failure);
    if (*tmp == nullptr) return false;
    *ctmp = measure_doubles(2 * FFT_LENGTH, "stdft", "ctmp", failure);
    if (*ctmp == nullptr) {
        std::free(*tmp);
        return false;
    }
    if (frames > 0 && nspcFftReady(FFT_ORDER, NSP_FFT_FORWARD) != 0) {
        *failure = MeasureFailure{MEASURE_FFT_TABLES, "nspcFft", "tables"};
        std::free(*tmp);
        std::free(*ctmp);
        return false;
    }
    return true;
}

}  // namespace

namespace {

// The frames of a spectrum are independent of each other: stdft, the band
// envelopes and stdft_bands share them out between threads
// (common/parallel.h) in pieces of at least this many frames. Each frame's
// values are formed as a single pass over the frames forms them.
constexpr int32_t MIN_FRAMES_PER_PIECE = 128;
constexpr int32_t FRAME_BATCH = DOUBLE_LANES_AVX512;  // frames per batch of stdft_bands' vector kernel

struct StdftJob {
    const double* signal;
    double* spectrum;
    int32_t frames;
    const double* window;
    double* tmp;   // piece 0's scratch; the others use their own
    double* ctmp;
};

void stdft_piece(void* context, int32_t piece, int32_t pieces) {
    const StdftJob* job = static_cast<const StdftJob*>(context);
    double own_tmp[FFT_LENGTH];
    double own_ctmp[2 * FFT_LENGTH];
    double* tmp = piece == 0 ? job->tmp : own_tmp;
    double* ctmp = piece == 0 ? job->ctmp : own_ctmp;
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share(job->frames, piece, pieces, &begin, &end);
    // The upper half of tmp is the zero padding and stays zero throughout.
    for (int32_t i = 0; i < FFT_LENGTH; i++) tmp[i] = 0.0;

    for (int32_t t = begin; t < end; t++) {
        const double* frame = job->signal + static_cast<size_t>(t) * FRAME_HOP;
        for (int32_t i = 0; i < FRAME_LENGTH; i++) tmp[i] = frame[i] * job->window[i];
        for (int32_t i = 0; i < FFT_LENGTH; i++) {
            ctmp[2 * i] = tmp[i];
            ctmp[2 * i + 1] = 0.0;
        }
        complex_fft(ctmp, FFT_ORDER, false);
        double* out = job->spectrum + static_cast<size_t>(t) * BIN_COUNT;
        for (int32_t k = 0; k < BIN_COUNT; k++) {
            const double re = ctmp[2 * k];
            const double im = ctmp[2 * k + 1];
            out[k] = std::sqrt(im * im + re * re);
        }
    }
}

}  // namespace

bool stdft(const double* signal, double* spectrum, int32_t frames, const double* window, MeasureFailure* failure) {
    double* tmp = nullptr;
    double* ctmp = nullptr;
    if (!stdft_scratch(frames, &tmp, &ctmp, failure)) return false;
    StdftJob job{signal, spectrum, frames, window, tmp, ctmp};
    parallel_run(parallel_pieces(frames, MIN_FRAMES_PER_PIECE), stdft_piece, &job);
    std::free(tmp);
    std::free(ctmp);
    return true;
}

void fill_band_mask(uint8_t* mask) {
    std::memset(mask, 0, static_cast<size_t>(BAND_COUNT) * BIN_COUNT);
    for (int32_t i = 0; i < BAND_BIN_COUNT; i++) mask[band_bin_table[i]] = 1;
}

namespace {

void envelopes_plain(const double* ax, const double* ay, const uint8_t* mask, int32_t frames, int32_t begin,
                     int32_t end, double* X, double* Y) {
    for (int32_t t = begin; t < end; t++) {
        const double* xt = ax + static_cast<size_t>(t) * BIN_COUNT;
        const double* yt = ay + static_cast<size_t>(t) * BIN_COUNT;
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            const uint8_t* band = mask + static_cast<size_t>(j) * BIN_COUNT;
            double sx = 0.0;
            double sy = 0.0;
            // Every bin takes part, weighted by its mask value: bins outside
            // the band add an exact zero.
            for (int32_t k = 0; k < BIN_COUNT; k++) {
                const double m = static_cast<double>(band[k]);
                sx = sx + (xt[k] * xt[k]) * m;
                sy = sy + (yt[k] * yt[k]) * m;
            }
            const size_t at = static_cast<size_t>(j) * frames + t;
            X[at] = std::sqrt(sx);
            Y[at] = std::sqrt(sy);
        }
    }
}

}  // namespace

void band_envelopes_plain(const double* ax, const double* ay, const uint8_t* mask,
                          int32_t frames, double* X, double* Y) {
    envelopes_plain(ax, ay, mask, frames, 0, frames, X, Y);
}

namespace {

// The bins of each band, in ascending order, read off the mask.
void band_bins(const uint8_t* mask, BandBins* b) {
    int32_t count = 0;
    for (int32_t j = 0; j < BAND_COUNT; j++) {
        b->first[j] = count;
        for (int32_t k = 0; k < BIN_COUNT; k++) {
            if (mask[static_cast<size_t>(j) * BIN_COUNT + k] != 0) b->bins[count++] = static_cast<int16_t>(k);
        }
    }
    b->first[BAND_COUNT] = count;
    b->lo = BIN_COUNT;
    b->hi = 0;
    for (int32_t i = 0; i < count; i++) {
        if (b->bins[i] < b->lo) b->lo = b->bins[i];
        if (b->bins[i] + 1 > b->hi) b->hi = b->bins[i] + 1;
    }
    if (count == 0) b->lo = 0;
}

}  // namespace

namespace {

void envelopes_by_bins(const double* ax, const double* ay, const BandBins* b, int32_t frames, int32_t begin,
                       int32_t end, double* X, double* Y) {
    const int16_t* bins = b->bins;
    const int32_t* first = b->first;
    for (int32_t t = begin; t < end; t++) {
        const double* xt = ax + static_cast<size_t>(t) * BIN_COUNT;
        const double* yt = ay + static_cast<size_t>(t) * BIN_COUNT;
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            double sx = 0.0;
            double sy = 0.0;
            for (int32_t i = first[j]; i < first[j + 1]; i++) {
                const int32_t k = bins[i];
                sx = sx + xt[k] * xt[k];
                sy = sy + yt[k] * yt[k];
            }
            const size_t at = static_cast<size_t>(j) * frames + t;
            X[at] = std::sqrt(sx);
            Y[at] = std::sqrt(sy);
        }
    }
}

struct EnvelopeJob {
    const double* ax;
    const double* ay;
    const uint8_t* mask;
    const BandBins* bins;  // null: the plain loop over the mask
    int32_t frames;
    double* X;
    double* Y;
};

void envelope_piece(void* context, int32_t piece, int32_t pieces) {
    const EnvelopeJob* job = static_cast<const EnvelopeJob*>(context);
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share(job->frames, piece, pieces, &begin, &end);
    if (job->bins != nullptr) {
        envelopes_by_bins(job->ax, job->ay, job->bins, job->frames, begin, end, job->X, job->Y);
    } else {
        envelopes_plain(job->ax, job->ay, job->mask, job->frames, begin, end, job->X, job->Y);
    }
}

}  // namespace

void band_envelopes(const double* ax, const double* ay, const uint8_t* mask,
                    int32_t frames, double* X, double* Y) {
    BandBins b;
    const bool by_bins = isa_level() != ISA_PLAIN;
    if (by_bins) band_bins(mask, &b);
    EnvelopeJob job{ax, ay, mask, by_bins ? &b : nullptr, frames, X, Y};
    parallel_run(parallel_pieces(frames, MIN_FRAMES_PER_PIECE), envelope_piece, &job);
}

namespace {

struct BandsJob {
    const double* signal;
    const BandBins* bins;
    double* bands;
    int32_t frames;
    const double* window;
};

// stdft_bands' frames of one piece: whole batches of eight in the vector
// kernel where there is one, the rest one by one.
void bands_piece(void* context, int32_t piece, int32_t pieces) {
    const BandsJob* job = static_cast<const BandsJob*>(context);
    const BandBins& b = *job->bins;
    const int32_t frames = job->frames;
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share_batches(frames, FRAME_BATCH, piece, pieces, &begin, &end);

    int32_t done = begin;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: {
        const int32_t batches = (end - begin) / FRAME_BATCH;
        stdft_bands_avx512(job->signal, job->window, &b, begin, batches, frames, job->bands);
        done = begin + FRAME_BATCH * batches;
        break;
    }
#endif
    default:
        break;
    }

    alignas(64) ComplexFloat buffer[FFT_LENGTH];
    double magnitude[BIN_COUNT];
    for (int32_t t = done; t < end; t++) {
        // The windowed frame rounded to single precision, as complex_fft
        // rounds stdft's doubles; the imaginary parts and the padding are +0.
        const double* frame = job->signal + static_cast<size_t>(t) * FRAME_HOP;
        for (int32_t i = 0; i < FRAME_LENGTH; i++) {
            buffer[i] = ComplexFloat{static_cast<float>(frame[i] * job->window[i]), 0.0f};
        }
        for (int32_t i = FRAME_LENGTH; i < FFT_LENGTH; i++) buffer[i] = ComplexFloat{0.0f, 0.0f};
        nspcFft(buffer, FFT_ORDER, NSP_FFT_FORWARD);
        // Magnitudes of the band bins only.
        for (int32_t k = b.lo; k < b.hi; k++) {
            const double re = static_cast<double>(buffer[k].re);
            const double im = static_cast<double>(buffer[k].im);
            magnitude[k] = std::sqrt(im * im + re * re);
        }
        for (int32_t j = 0; j < BAND_COUNT; j++) {
            double sum = 0.0;
            for (int32_t i = b.first[j]; i < b.first[j + 1]; i++) {
                sum = sum + magnitude[b.bins[i]] * magnitude[b.bins[i]];
            }
            job->bands[static_cast<size_t>(j) * frames + t] = std::sqrt(sum);
        }
    }
}

}  // namespace

bool stdft_bands(const double* signal, const uint8_t* mask, double* bands, int32_t frames, const double* window,
                 MeasureFailure* failure) {
    // The same scratch arrays as stdft, so that a run allocates the same
    // blocks in the same order whichever path it takes.
    double* tmp = nullptr;
    double* ctmp = nullptr;
    if (!stdft_scratch(frames, &tmp, &ctmp, failure)) return false;

    BandBins b;
    band_bins(mask, &b);
    BandsJob job{signal, &b, bands, frames, window};
    parallel_run(parallel_pieces(frames, MIN_FRAMES_PER_PIECE), bands_piece, &job);

    std::free(tmp);
    std::free(ctmp);
    return true;
}

}  // namespace kelvor
