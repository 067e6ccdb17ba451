// One scoring request, as every entry point of the C interface makes it
// (api/stoi.cpp): two input signals, their rate, the options, and what the
// entry point decides for itself (its default profile, and which of the
// tool's chains it runs); and the one function that checks a request and
// runs the chain of its profile.
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
    // The reference profile keeps a pair up to this 10 kHz length between
    // its passes; tests set 0 to make every pair stream.
    int64_t keep_limit = REFERENCE_KEEP_LIMIT;
};

// The rule for signals of different lengths of options whose profile is
// resolved (KELVOR_PROFILE_REFERENCE or KELVOR_PROFILE_TOOL):
// KELVOR_UNEQUAL_REFUSE, _PAD or _TRIM, the profile's own for
// KELVOR_UNEQUAL_DEFAULT; -1 for a value that is none of them.
int unequal_rule(const kelvor_options& o);

// Scores a request: the checks every call makes (the result pointer, the
// signals, the options, the signals' lengths against each other and
// against the most the profile takes, the shift), then the chain of its
// profile. Signals trimmed to the shorter length (KELVOR_UNEQUAL_TRIM) get
// that length in q. The scores go to *out or, with details non-null, a
// details block to *details (left as it is on a failure). Returns
// KELVOR_OK or a status.
int score_request(ScoreRequest& q, kelvor_scores* out, kelvor_details** details);

}  // namespace kelvor

#endif
