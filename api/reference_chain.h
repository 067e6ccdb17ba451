// The reference profile's chain, from two input signals of any rate to the
// scores: checks, scaling, resampling to 10 kHz in blocks, the delay at
// 10 kHz when asked, and the two passes of the measures (the reference's
// loudest frame, then everything else). Memory stays bounded whatever the
// length of the signals, but for the delay search, which holds both 10 kHz
// signals, and the details, which grow with the number of segments.
#ifndef API_REFERENCE_CHAIN_H
#define API_REFERENCE_CHAIN_H

#include <cstdint>

#include "kelvor/stoi.h"

namespace kelvor {

// A signal read in blocks: read(context, start, count, out) stores samples
// start .. start + count - 1 (0 <= start, start + count <= length) as doubles
// on the +-1 scale and returns KELVOR_OK, or a failure status, which ends the
// call with it. The chain reads each signal from its start, in ascending
// blocks that never overlap, once per pass (two or three passes).
struct SignalInput {
    int (*read)(void* context, int64_t start, int32_t count, double* out);
    void* context;
    int64_t length;
};

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

// The scores of the reference profile into *out; with details non-null, the
// intermediate results too (*details then owns a block for
// kelvor_details_free). Returns KELVOR_OK or a status.
int score_reference(const ReferenceRequest& request, kelvor_scores* out, kelvor_details** details);

// One block holding a kelvor_details record and its arrays, from the
// measures' results: correlations band-major, kept frame indices; segment
// times follow from the kept frames. Null when memory runs out.
kelvor_details* make_details_block(const kelvor_scores& scores, int32_t segments, const double* stoi_correlation,
                                   const double* estoi_segment, int32_t frame_count, int32_t kept_count,
                                   const int32_t* kept_frames);

}  // namespace kelvor

#endif
