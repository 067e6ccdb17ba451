// The reference profile's chain, from two input signals of any rate to the
// scores: checks of the rate and the lengths, scaling, resampling to 10 kHz
// in blocks, and the two passes of the measures (the reference's loudest
// frame and, when asked, the delay at 10 kHz; then everything else). Memory
// stays bounded whatever the length of the signals, but for the details,
// which grow with the number of segments. A pair of up to the request's
// keep_limit samples at 10 kHz is kept between the passes instead of being
// resampled again.
#ifndef API_REFERENCE_CHAIN_H
#define API_REFERENCE_CHAIN_H

#include "api/request.h"
#include "kelvor/stoi.h"

namespace kelvor {

// The power of two by which a signal whose peak magnitude is `peak` is
// scaled before it is scored: one that brings a peak outside [2^-40, 2^40]
// to [0.5, 1); 1 for a peak inside (and for 0).
double reference_input_scale(double peak);

// Scores a checked request in the reference profile (options o, its
// profile resolved): the scores into *out or, with details non-null, a
// details block into *details. Each signal is read from its start, in
// ascending blocks that never overlap, once per pass. Returns KELVOR_OK or
// a status.
int score_reference(const ScoreRequest& q, const kelvor_options& o, kelvor_scores* out, kelvor_details** details);

}  // namespace kelvor

#endif
