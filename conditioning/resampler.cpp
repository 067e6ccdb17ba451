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
// (k ascending), every product and addition rounded to double. The vector
// kernels (kernels.h) keep every sum exactly so and only compute
// several outputs at once, one per lane; this plain loop stays as the
// reference they are tested against and as the path of a plain build.

#include "conditioning/resampler.h"

#include "common/parallel.h"
#include "common/stopwatch.h"
#include "conditioning/kernels.h"

namespace kelvor {

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

// Where a filter sum goes: into a 16-bit sample, or kept as it is, so that
// the kernels can be compared on their sums to the last bit.
void put(int16_t* y, int32_t n, double s)
{
    y[n] = to_sample(5.0 * s);
}

void put(double* y, int32_t n, double s)
{
    y[n] = s;
}

template <typename Tap, typename Out>
void resample(const int16_t* x, int32_t count, Out* y, const Tap* taps)
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
                put(y, m - RESAMPLER_DELAY, s);
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
                put(y, m - RESAMPLER_DELAY, s);
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

typedef void (*GroupKernel)(const double*, int32_t, const double*, int32_t, double*, int32_t);

// Groups of five outputs per chunk: the vector path works through the
// signal in chunks, with scratch of fixed size (about 100 kB in all, on the
// stack) whatever the length of the signal.
constexpr int32_t CHUNK_GROUPS = 256;
constexpr int32_t STREAM_STRIDE = CHUNK_GROUPS + RESAMPLE_REACH;

// Output q of a group: its phase, and its tap number k at lag c (k = c + offset).
constexpr int32_t GROUP_PHASE[RESAMPLE_GROUP] = {3, 2, 1, 0, 4};
constexpr int32_t GROUP_TAP_OFFSET[RESAMPLE_GROUP] = {0, 1, 2, 3, 3};

// The kernels' coefficient rows: row c + 3 holds, for the five outputs of a
// group, the tap that multiplies x[4t - c], widened exactly to double, or
// 0.0 where that output has no such tap.
template <typename Tap>
void arrange_coefs(const Tap* taps, double* coefs)
{
    for (int32_t row = 0; row < RESAMPLE_LAGS; ++row) {
        for (int32_t q = 0; q < RESAMPLE_GROUP; ++q) {
            const int32_t k = row - 3 + GROUP_TAP_OFFSET[q];
            const bool exists = k >= 0 && k < RESAMPLER_PHASE_TAPS;
            coefs[RESAMPLE_GROUP * row + q] = exists ? static_cast<double>(taps[GROUP_PHASE[q] + PHASES * k]) : 0.0;
        }
    }
}

// The vector path. Output m is output q = m mod 5 of group t = m / 5; the
// computed outputs m = 1028 .. length - 1 lie in groups 205 .. (length - 1) / 5,
// which are taken in chunks of CHUNK_GROUPS groups, chunk i starting at
// group 205 + i * CHUNK_GROUPS. Each chunk fills the kernel's four input
// streams, with zeros for the samples before x[0] and after x[count - 1]
// (the first stand for the terms the plain loop leaves out, see kernels.h;
// the second only meet outputs that are not stored), lets the kernel form
// the sums, and converts the ones that are outputs. Only x[0 .. count - 1]
// is read. Chunks are independent of each other: every output is formed
// within its chunk from the input alone, so any set of chunks can be
// computed on its own, in any order, with the same bits.
int32_t chunk_count(int32_t count)
{
    const int32_t length = resampled_length(count);
    if (length <= RESAMPLER_DELAY) {
        return 0;
    }
    const int32_t first = RESAMPLER_DELAY / RESAMPLE_GROUP;
    const int32_t last = (length - 1) / RESAMPLE_GROUP;
    return (last - first) / CHUNK_GROUPS + 1;
}

// Computes chunks chunk_begin .. chunk_end - 1.
template <typename Tap, typename Out>
void resample_chunks(GroupKernel kernel, const int16_t* x, int32_t count, Out* y, const Tap* taps,
                     int32_t chunk_begin, int32_t chunk_end)
{
    const int32_t length = resampled_length(count);
    if (chunk_begin >= chunk_end) {
        return;
    }
    alignas(64) double coefs[RESAMPLE_LAGS * RESAMPLE_GROUP];
    alignas(64) double streams[4 * STREAM_STRIDE];
    alignas(64) double sums[RESAMPLE_GROUP * CHUNK_GROUPS];
    arrange_coefs(taps, coefs);
    const int32_t first = RESAMPLER_DELAY / RESAMPLE_GROUP;
    const int32_t last = (length - 1) / RESAMPLE_GROUP;
    for (int32_t chunk = chunk_begin; chunk < chunk_end; ++chunk) {
        const int32_t t0 = first + chunk * CHUNK_GROUPS;
        const int32_t groups = last - t0 + 1 < CHUNK_GROUPS ? last - t0 + 1 : CHUNK_GROUPS;
        const int32_t padded = (groups + 7) / 8 * 8;
        const int32_t entries = padded + RESAMPLE_REACH;
        const int32_t origin = DECIMATION * (t0 - RESAMPLE_REACH);  // x index of entry 0 of stream 0
        for (int32_t e = 0; e < entries; ++e) {
            const int32_t n = origin + DECIMATION * e;
            if (n >= 0 && n + DECIMATION <= count) {
                for (int32_t r = 0; r < DECIMATION; ++r) {
                    streams[r * STREAM_STRIDE + e] = static_cast<double>(x[n + r]);
                }
            } else {
                for (int32_t r = 0; r < DECIMATION; ++r) {
                    const bool inside = n + r >= 0 && n + r < count;
                    streams[r * STREAM_STRIDE + e] = inside ? static_cast<double>(x[n + r]) : 0.0;
                }
            }
        }
        kernel(streams, STREAM_STRIDE, coefs, padded, sums, CHUNK_GROUPS);
        for (int32_t i = 0; i < groups; ++i) {
            for (int32_t q = 0; q < RESAMPLE_GROUP; ++q) {
                const int64_t m = int64_t{RESAMPLE_GROUP} * (t0 + i) + q;  // may pass INT32_MAX in the last group
                if (m >= RESAMPLER_DELAY && m < length) {
                    put(y, static_cast<int32_t>(m - RESAMPLER_DELAY), sums[q * CHUNK_GROUPS + i]);
                }
            }
        }
    }
}

// The last 1028 outputs (or all of a shorter output), which are zero.
template <typename Out>
void zero_tail(int32_t count, Out* y)
{
    const int32_t length = resampled_length(count);
    const int32_t zeros = length < RESAMPLER_DELAY ? length : RESAMPLER_DELAY;
    for (int32_t n = length - zeros; n < length; ++n) {
        y[n] = 0;
    }
}

template <typename Tap, typename Out>
void resample_vector(GroupKernel kernel, const int16_t* x, int32_t count, Out* y, const Tap* taps)
{
    resample_chunks(kernel, x, count, y, taps, 0, chunk_count(count));
    zero_tail(count, y);
}

GroupKernel group_kernel(IsaLevel level)
{
    switch (isa_clamp(level)) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512:
        return resample_groups_avx512;
    case ISA_AVX2:
        return resample_groups_avx2;
    case ISA_SSE2:
        return resample_groups_sse2;
#endif
    default:
        return nullptr;
    }
}

template <typename Tap, typename Out>
void resample_with(IsaLevel level, const int16_t* x, int32_t count, Out* y, const Tap* taps)
{
    const GroupKernel kernel = group_kernel(level);
    if (kernel != nullptr) {
        resample_vector(kernel, x, count, y, taps);
    } else {
        resample(x, count, y, taps);
    }
}

// Two signals at once. The work is a list of units, the chunks of the
// first signal followed by those of the second (or, on the plain loop,
// which runs through a signal in one pass, the two whole signals), shared
// out in order between the pieces: on two threads each resamples one
// signal. A piece must have at least this many chunks.
constexpr int32_t MIN_CHUNKS_PER_PIECE = 2;

template <typename Tap>
struct PairJob {
    GroupKernel kernel;  // null: the plain loop
    const int16_t* x[2];
    int16_t* y[2];
    int32_t count;
    const Tap* taps;
    int32_t chunks;                          // per signal; 1 for the plain loop
    double seconds[PARALLEL_MAX_THREADS][2];  // each piece's time on each signal
};

template <typename Tap>
void pair_piece(void* context, int32_t piece, int32_t pieces)
{
    PairJob<Tap>* job = static_cast<PairJob<Tap>*>(context);
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share(2 * job->chunks, piece, pieces, &begin, &end);
    for (int32_t signal = 0; signal < 2; ++signal) {
        const int32_t from = begin > signal * job->chunks ? begin - signal * job->chunks : 0;
        const int32_t to = end < (signal + 1) * job->chunks ? end - signal * job->chunks : job->chunks;
        double seconds = 0.0;
        if (from < to) {
            Stopwatch watch;
            stopwatch_start(&watch);
            if (job->kernel != nullptr) {
                resample_chunks(job->kernel, job->x[signal], job->count, job->y[signal], job->taps, from, to);
            } else {
                resample(job->x[signal], job->count, job->y[signal], job->taps);
            }
            seconds = stopwatch_elapsed(&watch);
        }
        job->seconds[piece][signal] = seconds;
    }
}

template <typename Tap>
void resample_pair_with(IsaLevel level, const int16_t* x1, const int16_t* x2, int32_t count, int16_t* y1,
                        int16_t* y2, const Tap* taps, double* seconds)
{
    PairJob<Tap> job{};
    job.kernel = group_kernel(level);
    job.x[0] = x1;
    job.x[1] = x2;
    job.y[0] = y1;
    job.y[1] = y2;
    job.count = count;
    job.taps = taps;
    job.chunks = job.kernel != nullptr ? chunk_count(count) : 1;
    const int32_t min_units = job.kernel != nullptr ? MIN_CHUNKS_PER_PIECE : 1;
    // At most parallel_threads(), hence PARALLEL_MAX_THREADS: a row of
    // job.seconds for every piece.
    const int32_t pieces = parallel_pieces(2 * int64_t{job.chunks}, min_units);
    if (job.kernel != nullptr) {
        // The zero tails first, on the calling thread: they are no chunk's.
        zero_tail(count, y1);
        zero_tail(count, y2);
    }
    parallel_run(pieces, pair_piece<Tap>, &job);
    if (seconds != nullptr) {
        for (int32_t signal = 0; signal < 2; ++signal) {
            seconds[signal] = 0.0;
            for (int32_t p = 0; p < pieces; ++p) {
                if (job.seconds[p][signal] > seconds[signal]) {
                    seconds[signal] = job.seconds[p][signal];
                }
            }
        }
    }
}

}  // namespace

void resample_8k_to_10k_using(IsaLevel level, const int16_t* x, int32_t count, int16_t* y, const double* taps)
{
    resample_with(level, x, count, y, taps);
}

void resample_8k_to_10k_using(IsaLevel level, const int16_t* x, int32_t count, int16_t* y, const float* taps)
{
    resample_with(level, x, count, y, taps);
}

void resample_sums_using(IsaLevel level, const int16_t* x, int32_t count, double* sums, const double* taps)
{
    resample_with(level, x, count, sums, taps);
}

void resample_sums_using(IsaLevel level, const int16_t* x, int32_t count, double* sums, const float* taps)
{
    resample_with(level, x, count, sums, taps);
}

int32_t resampled_length(int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    return static_cast<int32_t>(int64_t{5} * count / 4);
}

void resample_8k_to_10k(const int16_t* x, int32_t count, int16_t* y, const double* taps)
{
    resample_with(isa_level(), x, count, y, taps);
}

void resample_8k_to_10k(const int16_t* x, int32_t count, int16_t* y, const float* taps)
{
    resample_with(isa_level(), x, count, y, taps);
}

void resample_pair_8k_to_10k_using(IsaLevel level, const int16_t* x1, const int16_t* x2, int32_t count, int16_t* y1,
                                   int16_t* y2, bool double_table, double* seconds)
{
    if (double_table) {
        resample_pair_with(level, x1, x2, count, y1, y2, resampler_taps_double, seconds);
    } else {
        resample_pair_with(level, x1, x2, count, y1, y2, resampler_taps_float, seconds);
    }
}

void resample_pair_8k_to_10k(const int16_t* x1, const int16_t* x2, int32_t count, int16_t* y1, int16_t* y2,
                             bool double_table, double* seconds)
{
    resample_pair_8k_to_10k_using(isa_level(), x1, x2, count, y1, y2, double_table, seconds);
}

}  // namespace kelvor
