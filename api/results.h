// What a call gives back: the record of scores, the details block, and
// the one mapping of the measures' statuses to the library's.
#ifndef API_RESULTS_H
#define API_RESULTS_H

#include <cstdint>

#include "kelvor/stoi.h"
#include "measures/memory.h"

namespace kelvor {

// The library's status for a status of the measures.
int status_of(MeasureStatus status);

// The scores of a profile, with the delay in effect (samples of the input's
// rate, and milliseconds), into *out; KELVOR_ERR_NOT_FINITE, with *out
// untouched, when a score is not a finite number. The record's reserved
// members are zero.
int scores_of(double stoi, double estoi, int profile, int delay, double delay_ms, kelvor_scores* out);

// One block holding a kelvor_details record and its arrays, from the
// measures' results: correlations band-major, kept frame indices; segment
// times follow from the kept frames. Null when memory runs out.
kelvor_details* make_details_block(const kelvor_scores& scores, int32_t segments, const double* stoi_correlation,
                                   const double* estoi_segment, int32_t frame_count, int32_t kept_count,
                                   const int32_t* kept_frames);

}  // namespace kelvor

#endif
