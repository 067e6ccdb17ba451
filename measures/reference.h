// STOI and ESTOI as the published reference definition computes them, in
// double precision, on two 10 kHz signals fed in blocks: the measures of
// the reference profile.
//
// The definition: frames of 256 samples at a hop of 128, each weighted by
// the analysis window (hann_window); a frame counts when at least one
// sample follows it. The level of a frame is 20 log10(norm + eps) of its
// weighted samples (eps = 2^-52; the squares summed in eight interleaved
// partial sums); the frames of the reference more than
// 40 dB below its loudest frame are dropped from both signals, and the
// weighted frames left are added up again at the hop (overlap-add). Of the
// rebuilt signals, frames of 256 at a hop of 128 (the last that would just
// fit not counted) are weighted again and transformed to 512-point power
// spectra, whose sums over 15 one-third-octave bands give the band
// envelopes (square roots). A segment is 30 consecutive envelope frames;
// there is one ending at every frame from the 30th on.
//
//  - STOI of band j in a segment: the degraded envelope y scaled by
//    |x| / (|y| + eps), clipped at x (1 + 10^(15/20)), then both made zero-
//    mean and divided by (their norm + eps); the correlation is their dot
//    product. STOI is the mean over bands and segments.
//  - ESTOI of a segment: each 15 x 30 matrix gets noise of scale eps added,
//    its rows (bands) made zero-mean and unit-norm, noise of scale eps
//    added again, its columns (frames) made zero-mean and unit-norm; the
//    segment's value is the sum of the elementwise products (each band's
//    over frames, then the bands) divided by 30.
//    ESTOI is the mean over segments.
//
// The noise. The reference draws it afresh on every run; here it is fixed,
// so that scores repeat: element e (0 .. 1799) of segment m takes
// G[(36 e + m) mod 65521], where G is the sequence of 65521 standard normal
// numbers that Box-Muller gives from the 64-bit generator splitmix64
// started at 0 (pairs: r = sqrt(-2 ln(1 - u1)), G = r cos(2 pi u2), r sin(2
// pi u2), u = the top 53 bits of an output times 2^-53). Elements 0 .. 449
// are the reference's row noise (band j, frame n at 30 j + n), 450 .. 899
// its column noise, 900 .. 1349 and 1350 .. 1799 the degraded signal's.
// Within a segment the 1800 values are distinct entries of G; consecutive
// segments take consecutive entries, so that segments computed side by side
// read their noise side by side.
// Where a row or column has no spread (digital silence), the noise decides its
// direction, as it does in the reference; elsewhere its effect on a score is
// below 1e-13. A row or column that is still constant after the noise (it
// needs values of 8 or more, identical in 30 frames) is left at zero, where
// the reference would divide by zero.
#ifndef MEASURES_REFERENCE_H
#define MEASURES_REFERENCE_H

#include <cstdint>

#include "measures/memory.h"
#include "measures/spectrum.h"

namespace kelvor {

constexpr double REFERENCE_EPS = 2.220446049250313e-16;  // 2^-52
constexpr int32_t REFERENCE_NOISE_PERIOD = 65521;
constexpr int32_t REFERENCE_NOISE_STEP = 36;
// G is followed by its first entries again, so that a vector of lanes can
// read past its end.
constexpr int32_t REFERENCE_NOISE_PADDING = 16;

// The first pass: the level of the reference's loudest frame, which sets
// the silent-frame threshold. Fed the 10 kHz reference in blocks of any
// size.
struct LevelScan {
    double window[FRAME_LENGTH];
    double pending[FRAME_LENGTH + 1];  // samples from the start of the next frame
    int32_t pending_count;
    int64_t frames;  // frames counted so far
    double loudest;  // level of the loudest frame in dB; -inf before the first
    double* levels;  // when not null: the level of frame i is left at levels[i], i < capacity
    int64_t capacity;
};

// levels, capacity: where to leave each frame's level (null for nowhere),
// for a second pass that need not compute them again.
void level_scan_start(LevelScan* scan, double* levels = nullptr, int64_t capacity = 0);
void level_scan_feed(LevelScan* scan, const double* x, int32_t count);

// The second pass, on both signals. Opaque; one per pair.
struct ReferenceRun;

// A run with the loudest level of the first pass. keep_details: keep the
// kept frames and every segment's values. levels: the first pass's levels
// of the reference's frames (count of them), or null to compute them again.
// Null when memory runs out.
ReferenceRun* reference_run_create(double loudest, bool keep_details, const double* levels = nullptr,
                                   int64_t count = 0);
void reference_run_destroy(ReferenceRun* run);

// The next `count` samples of both signals (the same instants). Never
// fails; a details array that cannot grow is reported by finish.
void reference_run_feed(ReferenceRun* run, const double* x, const double* y, int32_t count);

// After the last samples: the scores, or MEASURE_TOO_SHORT (fewer than 30
// envelope frames, so no segment), MEASURE_NO_MEMORY (details).
MeasureStatus reference_run_finish(ReferenceRun* run, double* stoi, double* estoi);

// What a run with details kept, valid until it is destroyed. The
// correlations are band-major: band j of segment m at [j * segments + m].
struct ReferenceDetails {
    int64_t frames;  // frames of the reference before silent-frame removal
    int32_t kept_count;
    const int32_t* kept_frames;
    int32_t segments;
    const double* stoi_correlation;
    const double* estoi_segment;
};
void reference_run_details(const ReferenceRun* run, ReferenceDetails* details);

// G of the noise (see the top), built on first use, followed by its first
// REFERENCE_NOISE_PADDING entries again.
const double* reference_noise();

// The factor of STOI's clipping: 1 + 10^(15/20).
double reference_clip();

}  // namespace kelvor

#endif
