// The reference profile's chain, from two input signals of any rate to the
// scores: checks, scaling, resampling to 10 kHz in blocks, and the two
// passes of the measures (the reference's loudest frame and, when asked,
// the delay at 10 kHz; then everything else). Memory stays bounded whatever
// the length of the signals, but for the details, which grow with the
// number of segments. A pair of up to 2^20 samples at 10 kHz (105 s) is
// kept at 10 kHz between the passes instead of being resampled again.
#ifndef API_REFERENCE_CHAIN_H
#define API_REFERENCE_CHAIN_H

#include <cstdint>

#include "kelvor/stoi.h"

namespace kelvor {

// A signal read in blocks (kelvor_signal in kelvor/stoi.h): the chain reads
// each signal from its start, in ascending blocks that never overlap, once
// per pass.
typedef kelvor_signal SignalInput;

// A signal in memory: doubles, or 16-bit samples (divided by 32768).
struct ArrayInput {
    const double* values;
    const int16_t* pcm;
};
SignalInput array_input(ArrayInput* array, int64_t length);

struct ReferenceRequest {
    SignalInput reference;
    SignalInput degraded;
    double rate;
    bool align;  // search the delay at 10 kHz
    int shift;   // samples of `rate`, checked by the caller
};

// The power of two by which a signal whose peak magnitude is `peak` is
// scaled before it is scored: one that brings a peak outside [2^-40, 2^40]
// to [0.5, 1); 1 for a peak inside (and for 0).
double reference_input_scale(double peak);

// The scores of the reference profile into *out; with details non-null, the
// intermediate results too (*details then owns a block for
// kelvor_details_free). Returns KELVOR_OK or a status.
int score_reference(const ReferenceRequest& request, kelvor_scores* out, kelvor_details** details);

// The length at 10 kHz up to which a pair is kept between the passes (2^20
// samples); tests set 0 to make every pair stream. Returns the previous
// limit. Meant to be set while no scoring runs.
int64_t reference_keep_limit(int64_t samples);

// One block holding a kelvor_details record and its arrays, from the
// measures' results: correlations band-major, kept frame indices; segment
// times follow from the kept frames. Null when memory runs out.
kelvor_details* make_details_block(const kelvor_scores& scores, int32_t segments, const double* stoi_correlation,
                                   const double* estoi_segment, int32_t frame_count, int32_t kept_count,
                                   const int32_t* kept_frames);

}  // namespace kelvor

#endif
