/*
 * kelvor/stoi.h: intelligibility of a degraded speech signal next to its
 * clean reference, as the two published measures STOI (Short-Time Objective
 * Intelligibility) and ESTOI (Extended STOI). Higher is better; identical
 * signals score 1.
 *
 * Two scoring profiles (kelvor_options.profile):
 *
 *  - KELVOR_PROFILE_REFERENCE: the published reference definition of the
 *    measures, in double precision throughout: any input rate brought to
 *    10 kHz by the reference's windowed-sinc polyphase resampler, segments
 *    of 30 frames ending at every frame from the 30th on, the reference's
 *    small constant (machine epsilon) in every normalisation. Scores equal
 *    the reference's to about 1e-14 and are what published numbers are
 *    compared with. The default of kelvor_score, kelvor_score_10k,
 *    kelvor_score_details and kelvor_details_10k.
 *
 *  - KELVOR_PROFILE_TOOL: the chain of the KELVOR_STOI tool, to the last
 *    bit of the tool's unrounded scores: 8 kHz 16-bit input only, its delay
 *    search, its 8 kHz to 10 kHz resampler rounded to 16 bits, its single-
 *    precision FFT, one segment fewer. The default of kelvor_score_pcm8k and
 *    kelvor_details_pcm8k.
 *
 * Thread safety: every function may be called from any number of threads at
 * once. A call keeps its state to itself, so it gives the same bits whatever
 * else runs, in whatever order. Shared tables (the FFT's, the resampler
 * filters of the first rates asked for and their transposes, the reference
 * profile's noise) are built once, under a lock, by the first call that
 * needs them, and only read afterwards.
 *
 * Threads of its own: a call of the tool profile shares its work out
 * between the processors the calling thread may run on (see
 * kelvor_set_threads), and has finished with every thread it started when
 * it returns; the reference profile runs on the calling thread.
 *
 * Nothing here prints, exits or throws: every failure is a status. Calls
 * that return a status are marked so that compilers warn when it is
 * ignored.
 */
#ifndef KELVOR_STOI_H
#define KELVOR_STOI_H

#include <stdint.h>

#if defined(KELVOR_STOI_BUILDING) && defined(__GNUC__)
#define KELVOR_API __attribute__((visibility("default")))
#else
#define KELVOR_API
#endif

#if defined(__GNUC__)
#define KELVOR_NODISCARD __attribute__((warn_unused_result))
#else
#define KELVOR_NODISCARD
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version: the same number kelvor-batch --version and the Python
 * package state (the banner of the KELVOR_STOI tool keeps the tool's own).
 * The major number, and the shared library's soname, change when a record
 * below changes its size or layout. */
#define KELVOR_STOI_VERSION_MAJOR 2
#define KELVOR_STOI_VERSION_MINOR 0
#define KELVOR_STOI_VERSION_PATCH 0

/*
 * How the records grow across versions. The records a caller allocates and
 * the library reads or writes (kelvor_options, kelvor_scores) grow only at
 * their end, into the room their reserved members keep: reserved members
 * are zero in every version that does not use them, both ways (a caller
 * passes them as zero, the library writes them as zero). A new option takes
 * reserved room with a meaning whose zero is the behaviour before it, or
 * the call's documented default; a new score takes it where a caller of an
 * older version never reads. A record that only the library allocates
 * (kelvor_details) may grow at its end without reserved room. kelvor_signal
 * stays as it is. Statuses, profiles and categories keep their numbers;
 * new ones are added.
 */

/* Scoring profiles (see the top of this file). */
enum {
    KELVOR_PROFILE_DEFAULT = 0,   /* each call's documented default */
    KELVOR_PROFILE_REFERENCE = 1, /* the published reference definition */
    KELVOR_PROFILE_TOOL = 2       /* the KELVOR_STOI tool's chain */
};

/*
 * Signals of different lengths (kelvor_options.unequal). The lengths
 * compared are the sample counts as given, before any shift: a shift never
 * makes a pair unequal, nor equal. Padded or trimmed, both signals have one
 * length N, and the pair is then scored as any pair of two signals of N
 * samples: a shift of s drops the degraded signal's first s samples and
 * scores its samples s .. N - 1 followed by s zeros; align searches the
 * delay on those N samples.
 */
enum {
    KELVOR_UNEQUAL_DEFAULT = 0, /* the profile's rule: refuse in the reference profile, pad in the tool profile */
    KELVOR_UNEQUAL_REFUSE = 1,  /* KELVOR_ERR_LENGTH_MISMATCH, as the reference definition refuses them */
    KELVOR_UNEQUAL_PAD = 2,     /* N is the longer length: zeros follow the shorter signal (the tool's rule) */
    KELVOR_UNEQUAL_TRIM = 3     /* N is the shorter length: the longer signal's samples from N on are not read */
};

/*
 * How a pair is lined up and scored. A null pointer stands for all zeros.
 * Initialise the whole record to zero before setting members
 * (kelvor_options o = {0}; or a designated initialiser): the reserved
 * members make room for options of later versions, which leave today's
 * behaviour unchanged when zero; a call refuses a record whose reserved
 * members are not zero (KELVOR_ERR_BAD_ARGUMENT).
 */
typedef struct {
    int align;        /* non-zero: search the delay of the degraded signal, 0 to 112.4 ms */
    int shift;        /* delay the degraded signal by this many samples of its rate, 0 .. kelvor_max_shift(rate) */
    int double_table; /* tool profile: resample with the double-precision coefficient table, as the tool's -r */
    int profile;      /* KELVOR_PROFILE_*; 0 for the call's default */
    int unequal;      /* KELVOR_UNEQUAL_*: signals of different lengths; 0 for the profile's rule */
    int reserved[11]; /* zero */
} kelvor_options;

/* What a call scores. Every member is written on success, the reserved
 * ones as zero (room for scores of later versions). */
typedef struct {
    double stoi;      /* STOI, in [-1, 1] */
    double estoi;     /* ESTOI, in [-1, 1] */
    int delay;        /* the delay in effect, in samples of the input rate: found (align) or given (shift); 0 without one */
    int profile;      /* the profile that scored: KELVOR_PROFILE_REFERENCE or KELVOR_PROFILE_TOOL */
    double delay_ms;  /* the delay in milliseconds; a found delay at another rate than 8 kHz is found at 10 kHz, in 0.1 ms steps */
    int reserved[16]; /* zero */
} kelvor_scores;

/*
 * Statuses: 0 is success, every failure is negative. The calls of this
 * library return too_short to silent and length_mismatch to no_gradient;
 * rate_mismatch to failed are the failures of the front ends that read
 * files and listings (kelvor-batch, the Python package), defined here so
 * that every program names a failure alike. Later versions add statuses
 * before KELVOR_ERR_LAST, never renumbering one.
 * kelvor_status_name gives the short name that result rows carry,
 * kelvor_status_text a sentence, kelvor_status_category the kind of fault.
 */
enum {
    KELVOR_OK = 0,
    KELVOR_ERR_TOO_SHORT = -1,     /* too_short: too little speech left after silent-frame removal */
    KELVOR_ERR_NO_MEMORY = -2,     /* no_memory: an allocation failed */
    KELVOR_ERR_FFT_TABLES = -3,    /* fft_tables: an FFT table could not be built (out of memory) */
    KELVOR_ERR_TOO_LONG = -4,      /* too_long: an input longer than the profile takes at its rate (kelvor_max_length) */
    KELVOR_ERR_BAD_ARGUMENT = -5,  /* bad_argument: a null pointer, a negative count, a profile or unequal that is none, non-zero reserved options */
    KELVOR_ERR_BAD_SHIFT = -6,     /* bad_shift: shift outside 0 .. kelvor_max_shift(rate) */
    KELVOR_ERR_CONFLICT = -7,      /* conflict: align and shift given together */
    KELVOR_ERR_NOT_FINITE = -8,    /* not_finite: a sample, or a score, that is not a finite number */
    KELVOR_ERR_BAD_RATE = -9,      /* bad_rate: a sample rate that cannot be resampled to 10 kHz */
    KELVOR_ERR_PROFILE = -10,      /* profile: the profile cannot score this input (the tool's: 8 kHz 16-bit only) */
    KELVOR_ERR_SILENT = -11,       /* silent: the reference is digital silence */
    KELVOR_ERR_RATE_MISMATCH = -12, /* rate_mismatch: the two files have different sample rates */
    KELVOR_ERR_MISSING = -13,      /* missing: a file does not exist */
    KELVOR_ERR_UNREADABLE = -14,   /* unreadable: a file cannot be opened or read, or is not a regular file */
    KELVOR_ERR_FORMAT = -15,       /* format: a file's content is not audio the reader understands, or is damaged */
    KELVOR_ERR_CHANNELS = -16,     /* channels: a multi-channel file without a channel chosen, or no such channel */
    KELVOR_ERR_BAD_ROW = -17,      /* bad_row: a listing row that cannot be used */
    KELVOR_ERR_BAD_ALIGN = -18,    /* bad_align: an align cell that is not a yes or a no */
    KELVOR_ERR_UNPAIRED = -19,     /* unpaired: a file present in one folder or list only */
    KELVOR_ERR_DETAILS = -20,      /* details: the details asked for could not be written */
    KELVOR_ERR_FAILED = -21,       /* failed: an unexpected failure */
    KELVOR_ERR_LENGTH_MISMATCH = -22, /* length_mismatch: signals of different lengths, which options.unequal refuses */
    KELVOR_ERR_NO_GRADIENT = -23,  /* no_gradient: a gradient asked for where the score has none (a searched delay) */
    KELVOR_ERR_LAST = -24          /* sentinel: every status lies above it */
};

/* Kinds of failure, for front ends that map them to their own error types
 * (the Python package raises ValueError, MemoryError, OSError,
 * FileNotFoundError or RuntimeError subclasses). */
enum {
    KELVOR_CATEGORY_NONE = 0,    /* KELVOR_OK */
    KELVOR_CATEGORY_INPUT = 1,   /* the input or the arguments */
    KELVOR_CATEGORY_MEMORY = 2,  /* memory ran out */
    KELVOR_CATEGORY_FILE = 3,    /* a file could not be read or written */
    KELVOR_CATEGORY_MISSING = 4, /* a file does not exist */
    KELVOR_CATEGORY_INTERNAL = 5 /* anything else */
};

/* Limits. */
#define KELVOR_MAX_SAMPLES 429496729 /* the tool profile's longest input, in samples (11.9 hours at 10 kHz) */
/* The reference profile's longest input, in samples, also after resampling
 * to 10 kHz: 2^36 (79 days at 10 kHz; it streams, so no array that long is
 * ever held). */
#define KELVOR_MAX_SAMPLES_REFERENCE ((int64_t)1 << 36)
#define KELVOR_MIN_RATE 1000         /* the lowest and highest sample rates the reference profile resamples */
#define KELVOR_MAX_RATE 768000
#define KELVOR_MAX_RATE_TERM 1000    /* 10000 / rate must reduce to p / q with p, q <= this (a filter of at most 72,447 taps) */
#define KELVOR_MAX_SHIFT_MS 112.5    /* the largest shift: 112.5 ms, kelvor_max_shift(rate) samples */
#define KELVOR_MAX_SHIFT_8K 900      /* kelvor_max_shift(8000) */
#define KELVOR_MAX_SHIFT_10K 1125    /* kelvor_max_shift(10000) */
#define KELVOR_ALIGN_DELAYS_8K 900   /* the delay search tries 0 .. 899 samples at 8 kHz (tool profile) */
#define KELVOR_ALIGN_DELAYS_10K 1124 /* and 0 .. 1123 samples at 10 kHz (0 to 112.3 ms) otherwise */
#define KELVOR_MAX_THREADS 32        /* the most threads a call uses (kelvor_set_threads) */

/* The largest shift at a rate: floor(rate * 0.1125) samples; 0 for a rate
 * that is not positive and finite. */
KELVOR_API int kelvor_max_shift(double rate);

/*
 * The longest input a call of `profile` takes at `rate`, in samples of
 * that rate (of the longer signal where signals of different lengths are
 * padded, of the shorter where they are trimmed):
 *
 *  - KELVOR_PROFILE_REFERENCE: at most KELVOR_MAX_SAMPLES_REFERENCE samples
 *    both at `rate` and once resampled to 10 kHz; KELVOR_ERR_BAD_RATE for a
 *    rate it cannot resample.
 *  - KELVOR_PROFILE_TOOL: KELVOR_MAX_SAMPLES at 8000 Hz, and at 10000 Hz
 *    (kelvor_score_10k); KELVOR_ERR_PROFILE at any other rate.
 *
 * KELVOR_ERR_BAD_ARGUMENT for any other profile, KELVOR_PROFILE_DEFAULT
 * included, which means another profile in different calls. A call refuses
 * a longer input with KELVOR_ERR_TOO_LONG before it allocates anything
 * for it.
 */
KELVOR_API int64_t kelvor_max_length(int profile, double rate);

/*
 * Scores two signals of any rate the reference profile resamples (see
 * KELVOR_MIN_RATE .. KELVOR_MAX_RATE and KELVOR_MAX_RATE_TERM; 10000 needs
 * no resampling). Samples are doubles with full scale at +-1 (16-bit
 * samples divided by 32768). Signals of different lengths are
 * KELVOR_ERR_LENGTH_MISMATCH in the reference profile, as the reference
 * definition has it, unless options->unequal asks for them to be padded or
 * trimmed to one length; the tool profile pads the shorter with zeros, as
 * the tool does (see KELVOR_UNEQUAL_*). options->shift delays the degraded
 * signal by that many samples of `rate` (its first samples dropped),
 * options->align searches its delay at 10 kHz.
 *
 * Profile (default reference): the tool profile takes rate 8000 and samples
 * that are 16-bit values divided by 32768, and gives kelvor_score_pcm8k's
 * scores; anything else is KELVOR_ERR_PROFILE.
 *
 * Inputs whose peak lies below 2^-40 or above 2^40 of full scale are scaled
 * by a power of two first (which changes no sample's relative value), so
 * that the reference's small constant cannot swamp a very quiet signal and
 * nothing overflows. An all-zero reference is KELVOR_ERR_SILENT, in both
 * profiles.
 *
 * Returns KELVOR_OK or a status; out is written only on success. Rates and
 * lengths are checked before anything is allocated for them: up to
 * KELVOR_MAX_SAMPLES_REFERENCE samples before and after resampling (the
 * tool profile: KELVOR_MAX_SAMPLES; kelvor_max_length gives the limit of a
 * profile at a rate).
 */
KELVOR_API KELVOR_NODISCARD int kelvor_score(const double* ref, int64_t ref_count, const double* deg,
                                             int64_t deg_count, double rate, const kelvor_options* options,
                                             kelvor_scores* out);

/*
 * The gradient of the reference profile's scores with respect to the
 * degraded signal, for training a model with STOI or ESTOI as its loss.
 *
 * Scores the pair as kelvor_score does (*out gets the same bits in every
 * member) and, with grad_stoi or grad_estoi non-null, stores d STOI /
 * d deg[i] or d ESTOI / d deg[i] for every i < deg_count in that array
 * (deg_count doubles, per unit of full scale). Either pointer may be null:
 * that gradient is not computed; with both null the call gives the scores
 * alone.
 *
 * The gradient is the exact derivative of the scores as computed, in
 * double precision: every step of the chain runs backwards (the
 * resampler's filter transposed, overlap-add as framing, the spectra and
 * band envelopes, the normalisations, clipping and correlations of STOI
 * and ESTOI). What shapes the chain depends on the reference alone (which
 * frames are silent, the frames and bands); ESTOI's fixed noise is a
 * constant; the power-of-two scaling of very quiet or loud inputs (see
 * kelvor_score) is a constant factor between the powers of two. The scores
 * are therefore smooth almost everywhere, and where they are not the
 * gradient follows one rule each:
 *   - clipping: where a degraded band envelope is clipped at the
 *     reference's times 1 + 10^(15/20), the gradient is that of the branch
 *     taken: the clipped element passes none back (a tie counts as
 *     clipped);
 *   - zero: a band envelope of zero, or a band or row or column without
 *     spread, contributes 0 where its derivative would divide by it.
 * No value of the gradient is a NaN. The first options->shift samples,
 * shifted out, are no input of the scores and get 0, and so do the samples
 * past a trimmed length (KELVOR_UNEQUAL_TRIM). The zeros that pad the
 * shorter signal are no samples of the caller's and have no gradient.
 *
 * Profile: the reference profile only (the default). The tool profile is
 * refused with KELVOR_ERR_PROFILE and options->align with
 * KELVOR_ERR_NO_GRADIENT (a searched delay is a step function of the
 * signal), right after the arguments and the option record's reserved,
 * profile and unequal members are checked; options->shift and
 * options->unequal are honoured. Every other check is kelvor_score's, with
 * its statuses; besides, a pair longer than KELVOR_MAX_SAMPLES_GRADIENT
 * samples at 10 kHz (ceil(N * 10000 / rate), N the length both signals are
 * scored at) is KELVOR_ERR_TOO_LONG, checked before anything is allocated.
 * On a failure nothing is written, neither *out nor the gradients.
 *
 * The call holds the pair at 10 kHz in memory, about 70 bytes per 10 kHz
 * sample with both gradients, and frees it before it returns. It runs on
 * the calling thread and keeps nothing between calls; a forward and
 * backward pass costs about twice to three times kelvor_score on the same
 * pair.
 */
#define KELVOR_MAX_SAMPLES_GRADIENT ((int64_t)1 << 24) /* 10 kHz samples: 27.9 minutes */
KELVOR_API KELVOR_NODISCARD int kelvor_score_gradient(const double* ref, int64_t ref_count, const double* deg,
                                                      int64_t deg_count, double rate, const kelvor_options* options,
                                                      kelvor_scores* out, double* grad_stoi, double* grad_estoi);

/*
 * A signal read on demand, so that an input need not be in memory whole
 * (a file, a memory map, an array of another sample type). read stores the
 * samples start .. start + count - 1 (0 <= start, start + count <= length,
 * 1 <= count <= 65536) as doubles with full scale at +-1 into out, and
 * returns KELVOR_OK, or a failure status of the table above other than
 * KELVOR_ERR_TOO_SHORT, which ends the call with that status. Any other
 * value a read returns ends the call with KELVOR_ERR_UNREADABLE: -1 (the
 * usual failure of a C function, which as a status would say too_short), a
 * positive number, or a number that is no status. A call reads each signal
 * in passes (two or three; once whole for the tool profile), each in
 * ascending ranges that do not overlap, from its start (from the shift or
 * the delay found on, for the degraded signal).
 */
typedef struct kelvor_signal {
    int64_t length; /* samples */
    int (*read)(void* context, int64_t start, int32_t count, double* out);
    void* context;
} kelvor_signal;

/*
 * kelvor_score on signals read on demand. In the reference profile the
 * memory a call uses does not grow with the length of the signals (about
 * 2 MB, and 16 MB for a pair of up to 105 s, which is kept at 10 kHz
 * between the passes); the tool profile reads both whole. The scores are
 * kelvor_score's for the same samples, to the last bit.
 */
KELVOR_API KELVOR_NODISCARD int kelvor_score_signals(const kelvor_signal* ref, const kelvor_signal* deg, double rate,
                                                     const kelvor_options* options, kelvor_scores* out);

/*
 * Scores two 8 kHz signals of 16-bit samples. Default (tool profile):
 * exactly as the KELVOR_STOI tool scores two files holding them: with align,
 * the delay of the degraded signal is the one of 0 .. 899 samples with the
 * largest cross-correlation (ties go to the smaller delay); with shift
 * (0 .. 900), it is the given one. With options->profile
 * KELVOR_PROFILE_REFERENCE, the samples divided by 32768 are scored as
 * kelvor_score scores them.
 */
KELVOR_API KELVOR_NODISCARD int kelvor_score_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg,
                                                   int64_t deg_count, const kelvor_options* options,
                                                   kelvor_scores* out);

/*
 * Scores two signals sampled at 10 kHz, the rate the measures are defined
 * on, without resampling: kelvor_score with rate 10000. The tool profile
 * here runs the tool's measures (single-precision FFT, one segment fewer)
 * on the doubles as they are, without rounding to 16 bits; its delay search
 * tries 0 .. 1123 samples by the largest unnormalised cross-correlation.
 */
KELVOR_API KELVOR_NODISCARD int kelvor_score_10k(const double* ref, int64_t ref_count, const double* deg,
                                                 int64_t deg_count, const kelvor_options* options,
                                                 kelvor_scores* out);

/*
 * The intermediate results behind one pair's scores, so that a user can see
 * where in time and frequency intelligibility is lost.
 *
 * Times are in seconds of the reference signal (the 10 kHz sample index
 * divided by 10000, the same instant at every input rate). Frames are 256
 * samples at 10 kHz with a hop of 128 (frame i starts at i * 0.0128 s); a
 * segment is 30 consecutive frames of the signal left after silent-frame
 * removal, and spans from the start of its first kept frame to the end of
 * its last (longer than 0.3968 s where silent frames were cut out in
 * between).
 *
 * The means are the scores, to the last bit. Tool profile: STOI is the sum
 * of stoi_correlation in memory order divided by band_count *
 * segment_count. Reference profile: STOI is the sum over segments m, in
 * order, of the sums over bands j (in order) of stoi_correlation[j *
 * segment_count + m], divided by band_count * segment_count. ESTOI is the
 * sum of estoi_segment in order divided by segment_count.
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

/* kelvor_score, kelvor_score_pcm8k, kelvor_score_10k and
 * kelvor_score_signals, keeping the intermediate results. On success *out points to a block that
 * kelvor_details_free releases; on a failure *out is null. */
KELVOR_API KELVOR_NODISCARD int kelvor_score_details(const double* ref, int64_t ref_count, const double* deg,
                                                     int64_t deg_count, double rate, const kelvor_options* options,
                                                     kelvor_details** out);
KELVOR_API KELVOR_NODISCARD int kelvor_details_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg,
                                                     int64_t deg_count, const kelvor_options* options,
                                                     kelvor_details** out);
KELVOR_API KELVOR_NODISCARD int kelvor_details_10k(const double* ref, int64_t ref_count, const double* deg,
                                                   int64_t deg_count, const kelvor_options* options,
                                                   kelvor_details** out);
KELVOR_API KELVOR_NODISCARD int kelvor_details_signals(const kelvor_signal* ref, const kelvor_signal* deg,
                                                       double rate, const kelvor_options* options,
                                                       kelvor_details** out);
/* Releases a block of kelvor_details*; null is ignored. */
KELVOR_API void kelvor_details_free(kelvor_details* details);

/*
 * How many threads a call made from the calling thread may use. In the
 * tool profile the 8 kHz calls share out their delay search (by delays),
 * the resampling of both signals (each on its own thread) and the measures
 * (by frames and by segments); the 10 kHz calls share out their measures.
 * The reference profile runs on the calling thread. The scores are the
 * same bits on any number of threads.
 *
 *   0  one thread per processor the calling thread may run on (its
 *      affinity mask, read on every call), so one when there is one. The
 *      default of every thread: a single call on an idle machine uses all
 *      of it.
 *   1  everything on the calling thread; no thread is started.
 *   n  n threads, whatever the processor count, up to KELVOR_MAX_THREADS;
 *      a larger count is stored as KELVOR_MAX_THREADS, the most a call
 *      uses, and a later call returns that as the previous setting.
 *
 * A program that scores pairs on several threads of its own should set 1
 * in each of them, so that their calls do not compete for the processors
 * (kelvor-batch does so in its workers when it runs more than one).
 * The setting belongs to the calling thread alone. Returns the previous
 * setting, or KELVOR_ERR_BAD_ARGUMENT for a negative count, which changes
 * nothing.
 */
KELVOR_API int kelvor_set_threads(int threads);

/* A sentence describing a status ("Too little speech: ..."); never null. */
KELVOR_API const char* kelvor_status_text(int status);

/* The short name of a status, as result rows carry it ("ok", "too_short",
 * ...); "unknown" for a number that is no status. */
KELVOR_API const char* kelvor_status_name(int status);

/* The status of a short name; KELVOR_ERR_LAST for a name that is none. */
KELVOR_API int kelvor_status_from_name(const char* name);

/* The kind of a status (KELVOR_CATEGORY_*); KELVOR_CATEGORY_INTERNAL for a
 * number that is no status. */
KELVOR_API int kelvor_status_category(int status);

/* The name of a profile ("reference", "tool"; "default" for 0), and the
 * profile of a name (-1 for none). */
KELVOR_API const char* kelvor_profile_name(int profile);
KELVOR_API int kelvor_profile_from_name(const char* name);

/* The library's version, "major.minor.patch". */
KELVOR_API const char* kelvor_version(void);

#ifdef __cplusplus
}
#endif

#endif
