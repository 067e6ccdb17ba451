// The reference profile's chain, from two input signals of any rate to the
// scores: scaling, resampling to 10 kHz in blocks, and the two passes of
// the measures (the reference's loudest frame and, when asked, the delay
// at 10 kHz; then everything else). Memory
// stays bounded whatever the length of the signals, but for the details,
// which grow with the number of segments. A pair of up to the request's
// keep_limit samples at 10 kHz is kept between the passes instead of being
// resampled again.
#ifndef API_REFERENCE_CHAIN_H
#define API_REFERENCE_CHAIN_H

#include "api/request.h"
#include "kelvor/stoi.h"

namespace kelvor {

struct PolyphaseFilter;

// Samples per block of the chain's reads and of its runs of the resampler.
constexpr int32_t REFERENCE_BLOCK = 8192;

// The power of two by which a signal whose peak magnitude is `peak` is
// scaled before it is scored: one that brings a peak outside [2^-40, 2^40]
// to [0.5, 1); 1 for a peak inside (and for 0).
double reference_input_scale(double peak);

// The peak magnitude of an input, read in ascending blocks through buffer
// (REFERENCE_BLOCK doubles; an array of doubles is looked at where it lies
// and needs none). KELVOR_ERR_NOT_FINITE at a NaN or an infinity, or the
// status of a failed read.
int reference_peak(const Input& in, double* buffer, double* peak);

// One signal at 10 kHz as the chain scores it: input sample i is
// in[i + offset] * scale for 0 <= i < padded and i + offset below the
// input's length, 0 everywhere else; its outputs 0 .. length - 1 at 10 kHz
// (resampled by f, or the input samples themselves where f is null) go to
// out. span: reference_span(f) doubles; scratch: f's scratch for
// REFERENCE_BLOCK outputs (polyphase_scratch_size). Returns KELVOR_OK or
// the status of a failed read.
int reference_resample(const Input& in, int64_t offset, int64_t padded, double scale, const PolyphaseFilter* f,
                       int64_t length, double* span, double* scratch, double* out);
int64_t reference_span(const PolyphaseFilter* f);

// Scores a checked request in the reference profile (check_request): the
// scores into *out or, with details non-null, a details block into
// *details. Each signal is read from its start, in ascending blocks that
// never overlap, once per pass. Returns KELVOR_OK or a status.
int score_reference(const ScoreRequest& q, const CheckedRequest& checked, kelvor_scores* out,
                    kelvor_details** details);

}  // namespace kelvor

#endif
