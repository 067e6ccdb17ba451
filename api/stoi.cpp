// The scoring calls of the library's C interface (include/kelvor/stoi.h):
// each wraps its arrays or signals as the inputs of one request and scores
// it (request.h), with its own default profile.
//
// Re-entrant by construction: a call keeps its buffers, its analysis
// window and its noise generator to itself (the measures start a fresh
// generator on every run), and the only state it shares with other calls
// is constant tables and the FFT's table cache, which is built under a lock.
#include "kelvor/stoi.h"

#include <cstdlib>

#include "api/request.h"
#include "common/geometry.h"

namespace kelvor {

namespace {

// What a call decides for itself: the profile of options that name none,
// and the tool's chain that runs in the tool profile.
struct Call {
    int default_profile;
    bool tool_at_10k;
};

constexpr Call ANY_RATE{KELVOR_PROFILE_REFERENCE, false};
constexpr Call PCM_8K{KELVOR_PROFILE_TOOL, false};
constexpr Call AT_10K{KELVOR_PROFILE_REFERENCE, true};

// The request of a call on two arrays of samples (doubles or 16-bit
// values), scored into *out or, with details non-null, *details.
template <typename T>
int score_arrays(Call call, const T* ref, int64_t ref_count, const T* deg, int64_t deg_count, double rate,
                 const kelvor_options* options, kelvor_scores* out, kelvor_details** details) {
    ScoreRequest q;
    input_of(&q.reference, ref, ref_count);
    input_of(&q.degraded, deg, deg_count);
    q.rate = rate;
    q.options = options;
    q.default_profile = call.default_profile;
    q.tool_at_10k = call.tool_at_10k;
    return score_request(q, out, details);
}

int score_signals(const kelvor_signal* ref, const kelvor_signal* deg, double rate, const kelvor_options* options,
                  kelvor_scores* out, kelvor_details** details) {
    if (ref == nullptr || deg == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    ScoreRequest q;
    input_of(&q.reference, *ref);
    input_of(&q.degraded, *deg);
    q.rate = rate;
    q.options = options;
    q.default_profile = ANY_RATE.default_profile;
    return score_request(q, out, details);
}

// Where a details call leaves its block: null until it succeeds.
kelvor_details** details_out(kelvor_details** out) {
    if (out != nullptr) *out = nullptr;
    return out;
}

}  // namespace

}  // namespace kelvor

using namespace kelvor;

extern "C" {

int kelvor_score(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count, double rate,
                 const kelvor_options* options, kelvor_scores* out) {
    return score_arrays(ANY_RATE, ref, ref_count, deg, deg_count, rate, options, out, nullptr);
}

int kelvor_score_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_scores* out) {
    return score_arrays(PCM_8K, ref, ref_count, deg, deg_count, TOOL_RATE, options, out, nullptr);
}

int kelvor_score_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                     const kelvor_options* options, kelvor_scores* out) {
    return score_arrays(AT_10K, ref, ref_count, deg, deg_count, MEASURE_RATE, options, out, nullptr);
}

int kelvor_score_signals(const kelvor_signal* ref, const kelvor_signal* deg, double rate,
                         const kelvor_options* options, kelvor_scores* out) {
    return score_signals(ref, deg, rate, options, out, nullptr);
}

int kelvor_score_details(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count, double rate,
                         const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    return score_arrays(ANY_RATE, ref, ref_count, deg, deg_count, rate, options, nullptr, details_out(out));
}

int kelvor_details_pcm8k(const int16_t* ref, int64_t ref_count, const int16_t* deg, int64_t deg_count,
                         const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    return score_arrays(PCM_8K, ref, ref_count, deg, deg_count, TOOL_RATE, options, nullptr, details_out(out));
}

int kelvor_details_10k(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                       const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    return score_arrays(AT_10K, ref, ref_count, deg, deg_count, MEASURE_RATE, options, nullptr, details_out(out));
}

int kelvor_details_signals(const kelvor_signal* ref, const kelvor_signal* deg, double rate,
                           const kelvor_options* options, kelvor_details** out) {
    if (out == nullptr) return KELVOR_ERR_BAD_ARGUMENT;
    return score_signals(ref, deg, rate, options, nullptr, details_out(out));
}

void kelvor_details_free(kelvor_details* details) {
    std::free(details);
}

}  // extern "C"
