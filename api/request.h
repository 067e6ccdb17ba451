// One scoring request, as every entry point of the C interface makes it
// (api/stoi.cpp): two input signals, their rate, the options, and what the
// entry point decides for itself (its default profile, and which of the
// tool's chains it runs); the one function that checks a request, and the
// one that checks it and runs the chain of its profile.
#ifndef API_REQUEST_H
#define API_REQUEST_H

#include <cstdint>

#include "kelvor/stoi.h"

namespace kelvor {

// One input signal: the kelvor_signal that reads it and, when its samples
// lie in memory as an array, where they lie, so that a chain can take them
// there rather than through reads. An array input's signal reads from the
// input record itself, which is therefore never copied.
struct Input {
    kelvor_signal signal{};
    const double* values = nullptr;  // the samples as doubles, or null
    const int16_t* pcm = nullptr;    // the samples as 16-bit values (each standing for itself / 32768), or null

    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
};

// An input of count doubles or 16-bit values in memory, or one read through
// a caller's signal. Samples that are null with a count above 0 give a
// signal without a reader, which score_request refuses.
void input_of(Input* in, const double* values, int64_t count);
void input_of(Input* in, const int16_t* pcm, int64_t count);
void input_of(Input* in, const kelvor_signal& signal);

// Samples start .. start + count - 1 of an input (1 <= count <= 65536) into
// out. A read that fails ends with its status when that is a failure status
// of the library's table other than -1, and with KELVOR_ERR_UNREADABLE
// otherwise: -1 (a C function's usual failure, which as a status would say
// too_short), a positive number, or a number that is no status.
int input_read(const Input& in, int64_t start, int32_t count, double* out);

// The same samples where they lie when the input is an array of doubles,
// else read into buffer (count doubles): *block points at them.
int input_block(const Input& in, int64_t start, int32_t count, double* buffer, const double** block);

// The rate of the tool profile's chain: 8 kHz 16-bit samples.
constexpr double TOOL_RATE = 8000.0;

// The 10 kHz length up to which the reference profile keeps a pair between
// its passes rather than resampling it again (2^20 samples, 8 MB a signal).
constexpr int64_t REFERENCE_KEEP_LIMIT = int64_t{1} << 20;

struct ScoreRequest {
    Input reference;
    Input degraded;
    double rate = 0.0;
    const kelvor_options* options = nullptr;         // null for all zeros
    int default_profile = KELVOR_PROFILE_REFERENCE;  // the entry point's, for a profile of 0
    // The tool profile's measures on 10 kHz doubles as they are
    // (kelvor_score_10k), instead of its chain on 8 kHz 16-bit samples.
    bool tool_at_10k = false;
    // kelvor_score_gradient's request: the reference profile without a
    // delay search, of at most KELVOR_MAX_SAMPLES_GRADIENT samples at 10 kHz.
    bool gradient = false;
    // The reference profile keeps a pair up to this 10 kHz length between
    // its passes; tests set 0 to make every pair stream.
    int64_t keep_limit = REFERENCE_KEEP_LIMIT;
};

// What the checks of a request settle: its options, with the profile and
// the rule for unequal lengths resolved, and in the reference profile the
// rate's ratio to 10 kHz and the length of either signal there.
struct CheckedRequest {
    kelvor_options options{};
    int32_t up = 1;
    int32_t down = 1;
    int64_t length = 0;
};

// The checks every call makes, in this order, each failure with its
// status: the result pointer and the signals (bad_argument); the option
// record: its reserved members, profile and unequal rule (bad_argument);
// for a gradient, the tool profile (profile) and align (no_gradient); the
// signals' lengths against each other (length_mismatch; signals trimmed to
// the shorter length get it in q) and against the most the profile takes
// at any rate (too_long); align with a shift (conflict); the shift
// (bad_shift); then the rate. In the tool profile that is a rate its chain
// takes (profile); in the reference profile one it resamples (bad_rate),
// the length the profile takes at it (too_long, and for a gradient its
// limit at 10 kHz) and a reference with samples (too_short). Returns
// KELVOR_OK, with *c filled in, or the first failure's status.
int check_request(ScoreRequest& q, const void* out, CheckedRequest* c);

// Scores a request: its checks (check_request), then the chain of its
// profile. The scores go to *out or, with details non-null, a details
// block to *details (left as it is on a failure). Returns KELVOR_OK or a
// status.
int score_request(ScoreRequest& q, kelvor_scores* out, kelvor_details** details);

}  // namespace kelvor

#endif
