// Requests: inputs, reads, the checks every call makes, and the choice of
// the profile's chain (request.h).
#include "api/request.h"

#include <cstring>

#include "api/reference_chain.h"
#include "api/tool_chain.h"
#include "conditioning/polyphase.h"

namespace kelvor {

namespace {

int read_values(void* context, int64_t start, int32_t count, double* out) {
    const Input* in = static_cast<const Input*>(context);
    std::memcpy(out, in->values + start, static_cast<size_t>(count) * sizeof(double));
    return KELVOR_OK;
}

int read_pcm(void* context, int64_t start, int32_t count, double* out) {
    const Input* in = static_cast<const Input*>(context);
    for (int32_t i = 0; i < count; i++) out[i] = static_cast<double>(in->pcm[start + i]) * 0x1p-15;
    return KELVOR_OK;
}

// The status a failed read ends a call with (see input_read).
int read_failure(int status) {
    const bool failure_of_table = status < 0 && status > KELVOR_ERR_LAST && status != KELVOR_ERR_TOO_SHORT;
    return failure_of_table ? status : KELVOR_ERR_UNREADABLE;
}

// The rule for signals of different lengths of options whose profile is
// resolved: KELVOR_UNEQUAL_REFUSE, _PAD or _TRIM, the profile's own for
// KELVOR_UNEQUAL_DEFAULT; -1 for a value that is none of them.
int unequal_rule(const kelvor_options& o) {
    if (o.unequal == KELVOR_UNEQUAL_DEFAULT) {
        return o.profile == KELVOR_PROFILE_TOOL ? KELVOR_UNEQUAL_PAD : KELVOR_UNEQUAL_REFUSE;
    }
    return o.unequal >= KELVOR_UNEQUAL_REFUSE && o.unequal <= KELVOR_UNEQUAL_TRIM ? o.unequal : -1;
}

// The checks of the rate (see check_request) once the profile is known.
int check_rate(const ScoreRequest& q, CheckedRequest* c) {
    if (c->options.profile == KELVOR_PROFILE_TOOL) {
        return q.tool_at_10k || q.rate == TOOL_RATE ? KELVOR_OK : KELVOR_ERR_PROFILE;
    }
    if (polyphase_ratio(q.rate, &c->up, &c->down) != RATE_OK) return KELVOR_ERR_BAD_RATE;
    const int64_t rn = q.reference.signal.length;
    const int64_t dn = q.degraded.signal.length;
    const int64_t padded = rn > dn ? rn : dn;
    // Checked before anything is allocated for the signals.
    if (padded > kelvor_max_length(KELVOR_PROFILE_REFERENCE, q.rate)) return KELVOR_ERR_TOO_LONG;
    c->length = (padded * c->up + c->down - 1) / c->down;
    if (q.gradient && c->length > KELVOR_MAX_SAMPLES_GRADIENT) return KELVOR_ERR_TOO_LONG;
    return rn == 0 ? KELVOR_ERR_TOO_SHORT : KELVOR_OK;
}

}  // namespace

void input_of(Input* in, const double* values, int64_t count) {
    in->values = values;
    in->pcm = nullptr;
    in->signal = kelvor_signal{count, values != nullptr ? read_values : nullptr, in};
}

void input_of(Input* in, const int16_t* pcm, int64_t count) {
    in->values = nullptr;
    in->pcm = pcm;
    in->signal = kelvor_signal{count, pcm != nullptr ? read_pcm : nullptr, in};
}

void input_of(Input* in, const kelvor_signal& signal) {
    in->values = nullptr;
    in->pcm = nullptr;
    in->signal = signal;
}

int input_read(const Input& in, int64_t start, int32_t count, double* out) {
    const int status = in.signal.read(in.signal.context, start, count, out);
    return status == KELVOR_OK ? KELVOR_OK : read_failure(status);
}

int input_block(const Input& in, int64_t start, int32_t count, double* buffer, const double** block) {
    if (in.values != nullptr) {
        *block = in.values + start;
        return KELVOR_OK;
    }
    *block = buffer;
    return input_read(in, start, count, buffer);
}

int check_request(ScoreRequest& q, const void* out, CheckedRequest* c) {
    kelvor_signal& x = q.reference.signal;
    kelvor_signal& y = q.degraded.signal;
    if (out == nullptr || x.length < 0 || y.length < 0) return KELVOR_ERR_BAD_ARGUMENT;
    if ((x.length > 0 && x.read == nullptr) || (y.length > 0 && y.read == nullptr)) return KELVOR_ERR_BAD_ARGUMENT;
    kelvor_options& o = c->options;
    o = q.options != nullptr ? *q.options : kelvor_options{};
    for (int r : o.reserved) {
        if (r != 0) return KELVOR_ERR_BAD_ARGUMENT;
    }
    if (o.profile == KELVOR_PROFILE_DEFAULT) o.profile = q.default_profile;
    if (o.profile != KELVOR_PROFILE_REFERENCE && o.profile != KELVOR_PROFILE_TOOL) return KELVOR_ERR_BAD_ARGUMENT;
    const int unequal = unequal_rule(o);
    if (unequal < 0) return KELVOR_ERR_BAD_ARGUMENT;
    o.unequal = unequal;
    if (q.gradient && o.profile == KELVOR_PROFILE_TOOL) return KELVOR_ERR_PROFILE;
    if (q.gradient && o.align) return KELVOR_ERR_NO_GRADIENT;
    if (x.length != y.length) {
        if (unequal == KELVOR_UNEQUAL_REFUSE) return KELVOR_ERR_LENGTH_MISMATCH;
        if (unequal == KELVOR_UNEQUAL_TRIM) x.length = y.length = x.length < y.length ? x.length : y.length;
    }
    // The longest input of the profile at any rate; check_rate checks the
    // rate's own (kelvor_max_length).
    const int64_t longest = o.profile == KELVOR_PROFILE_TOOL ? KELVOR_MAX_SAMPLES : KELVOR_MAX_SAMPLES_REFERENCE;
    if (x.length > longest || y.length > longest) return KELVOR_ERR_TOO_LONG;
    if (o.align && o.shift != 0) return KELVOR_ERR_CONFLICT;
    if (o.shift < 0 || o.shift > kelvor_max_shift(q.rate)) return KELVOR_ERR_BAD_SHIFT;
    return check_rate(q, c);
}

int score_request(ScoreRequest& q, kelvor_scores* out, kelvor_details** details) {
    CheckedRequest c;
    const int status = check_request(q, details != nullptr ? static_cast<const void*>(details) : out, &c);
    if (status != KELVOR_OK) return status;
    if (c.options.profile == KELVOR_PROFILE_REFERENCE) return score_reference(q, c, out, details);
    return score_tool(q, c.options, out, details);
}

}  // namespace kelvor
