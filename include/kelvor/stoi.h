/*
 * kelvor/stoi.h: intelligibility of a degraded speech signal next to its
 * clean reference, as the two published measures STOI (Short-Time Objective
 * Intelligibility) and ESTOI (Extended STOI). Higher is better; identical
 * signals score 1.
 *
 * The scores are those the KELVOR_STOI tool prints for the same samples, to
 * the last bit, before its rounding to four digits: the same delay search,
 * the same 8 kHz to 10 kHz resampler and the same measures, in the same
 * order of operations.
 *
 * Thread safety: every function may be called from any number of threads at
 * once. A call keeps its state to itself: its noise generator starts from
 * the state of a fresh process and its analysis window is its own, so a
 * call gives the same bits whatever else runs, in whatever order. The FFT
 * tables are built once, under a lock, by the first call that needs them,
 * and only read afterwards.
 *
 * Threads of its own: a call shares its work out between the processors
 * the calling thread may run on (see kelvor_set_threads), and has finished
 * with every thread it started when it returns.
 *
 * Nothing here prints, exits or throws: every failure is a status.
 */
#ifndef KELVOR_STOI_H
#define KELVOR_STOI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KELVOR_STOI_VERSION_MAJOR 1
#define KELVOR_STOI_VERSION_MINOR 0
#define KELVOR_STOI_VERSION_PATCH 0

/* How a pair is lined up and resampled. A null pointer stands for all zeros:
 * no delay, the float coefficient table. */
typedef struct {
    int align;        /* non-zero: search the delay of the degraded signal, as the tool's -a does */
    int shift;        /* 1 .. KELVOR_MAX_SHIFT_8K: delay the degraded signal by this many samples, as -sN; 0 for none */
    int double_table; /* non-zero: resample with the double-precision coefficient table, as -r */
} kelvor_options;

typedef struct {
    double stoi;  /* STOI, in [-1, 1] */
    double estoi; /* ESTOI, in [-1, 1] */
    int delay;    /* the shift in effect, in samples of the input rate: found (align) or given (shift); 0 without one */
} kelvor_scores;

/* Statuses: 0 is success, every failure is negative. */
enum {
    KELVOR_OK = 0,
    KELVOR_ERR_TOO_SHORT = -1,    /* too little speech: 30 frames or fewer survive silent-frame removal */
    KELVOR_ERR_NO_MEMORY = -2,    /* an allocation failed */
    KELVOR_ERR_FFT_TABLES = -3,   /* an FFT table could not be built */
    KELVOR_ERR_TOO_LONG = -4,     /* more than KELVOR_MAX_SAMPLES samples in an input */
    KELVOR_ERR_BAD_ARGUMENT = -5, /* a null pointer where samples or a result are needed, or a negative count */
    KELVOR_ERR_BAD_SHIFT = -6,    /* shift outside 0 .. its maximum */
    KELVOR_ERR_CONFLICT = -7,     /* align and shift given together */
    KELVOR_ERR_NOT_FINITE = -8,   /* a sample that is not a finite number */
    KELVOR_ERR_LAST = -9          /* sentinel: every status lies above it */
};

/* The longest input accepted, in samples, and the largest shifts. */
#define KELVOR_MAX_SAMPLES 429496729
#define KELVOR_MAX_SHIFT_8K 900   /* 112.5 ms at 8 kHz; the delay search tries 0 .. 899 */
#define KELVOR_MAX_SHIFT_10K 1124 /* 112.4 ms at 10 kHz; the delay search tries 0 .. 1123 */

/*
 * Scores two 8 kHz signals of 16-bit samples exactly as the KELVOR_STOI tool
 * scores two files holding them. The shorter signal is padded with zeros to
 * the length of the longer. With align, the delay of the degraded signal is
 * the one of 0 .. 899 samples with the largest cross-correlation (ties go to
 * the smaller delay); with shift, it is the given one. Both signals are then
 * resampled to 10 kHz and scored.
 *
 * ref, deg: ref_count and deg_count samples (a count of 0 allows a null
 * pointer). options: may be null. out: receives the scores.
 * Returns KELVOR_OK or a status; out is written only on success.
 */
int kelvor_score_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_scores* out);

/*
 * Scores two signals already sampled at 10 kHz, the rate on which the
 * measures are defined, without resampling and without rounding to 16 bits.
 * Samples are doubles on the scale of 16-bit samples divided by 32768 (full
 * scale is +-1); a 16-bit signal converted so gives the same scores as
 * kelvor_score_pcm8k's measures on the same 10 kHz samples.
 *
 * The shorter signal is padded with zeros. options->align searches delays
 * 0 .. 1123 (0 to 112.3 ms) with the tool's rule: the largest unnormalised
 * cross-correlation, summed in double precision in ascending sample order,
 * ties to the smaller delay. options->shift is in 10 kHz samples, 1 ..
 * KELVOR_MAX_SHIFT_10K. options->double_table has no effect here.
 * Returns KELVOR_OK or a status (KELVOR_ERR_NOT_FINITE for a NaN or an
 * infinity among the samples).
 */
int kelvor_score_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                     const kelvor_options* options, kelvor_scores* out);

/*
 * The intermediate results behind one pair's scores, so that a user can see
 * where in time and frequency intelligibility is lost.
 *
 * Times are in seconds of the reference signal (the 10 kHz sample index
 * divided by 10000, which for an 8 kHz input is the same instant). Frames
 * are 256 samples at 10 kHz with a hop of 128 (frame i starts at
 * i * 0.0128 s); a segment is 30 consecutive frames of the signal left after
 * silent-frame removal, and spans from the start of its first kept frame to
 * the end of its last (longer than 0.3968 s where silent frames were cut out
 * in between).
 *
 * The means are the scores, to the last bit: STOI is the sum of
 * stoi_correlation in memory order divided by band_count * segment_count,
 * ESTOI the sum of estoi_segment in order divided by segment_count.
 */
typedef struct {
    kelvor_scores scores;
    int32_t band_count;             /* 15 one-third-octave bands */
    int32_t segment_count;          /* M, the number of segments */
    const double* band_centre_hz;   /* [band_count] centre frequencies: 150 Hz * 2^(j/3) */
    const double* stoi_correlation; /* [band_count * segment_count] clipped correlation of band j in segment m at [j * segment_count + m] */
    const double* estoi_segment;    /* [segment_count] ESTOI value of each segment */
    const double* segment_start;    /* [segment_count] seconds */
    const double* segment_end;      /* [segment_count] seconds */
    int32_t frame_count;            /* frames of the reference before silent-frame removal */
    int32_t kept_count;             /* frames that survived */
    const int32_t* kept_frames;     /* [kept_count] indices of the surviving frames, ascending */
} kelvor_details;

/* kelvor_score_pcm8k and kelvor_score_10k, keeping the intermediate results.
 * On success *out points to a block that kelvor_details_free releases; on a
 * failure *out is null. */
int kelvor_details_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                         const kelvor_options* options, kelvor_details** out);
int kelvor_details_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_details** out);
/* Releases a block of kelvor_details_*; null is ignored. */
void kelvor_details_free(kelvor_details* details);

/*
 * How many threads a call made from the calling thread may use. The 8 kHz
 * calls share out their delay search (by delays), the resampling of both
 * signals (each on its own thread) and the measures (by frames and by
 * segments); the 10 kHz calls share out their measures. The scores are
 * the same bits on any number of threads.
 *
 *   0  one thread per processor the calling thread may run on (its
 *      affinity mask, read on every call), so one when there is one. The
 *      default of every thread: a single call on an idle machine uses all
 *      of it.
 *   1  everything on the calling thread; no thread is started.
 *   n  n threads (at most 32), whatever the processor count.
 *
 * A program that scores pairs on several threads of its own should set 1
 * in each of them, so that their calls do not compete for the processors
 * (kelvor-batch does so in its workers when it runs more than one).
 * The setting belongs to the calling thread alone. Returns the previous
 * setting, or KELVOR_ERR_BAD_ARGUMENT for a negative count, which changes
 * nothing.
 */
int kelvor_set_threads(int threads);

/* A sentence describing a status ("Too little speech: ..."); never null. */
const char* kelvor_status_text(int status);

/* The library's version, "major.minor.patch". */
const char* kelvor_version(void);

#ifdef __cplusplus
}
#endif

#endif
