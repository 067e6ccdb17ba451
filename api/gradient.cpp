// kelvor_score_gradient (kelvor/stoi.h): the reference profile's chain on
// two arrays with the gradient of its scores with respect to the degraded
// one. The chain forward is the reference profile's: the inputs scaled by
// the same powers of two, resampled to 10 kHz by the same filter (in
// blocks; each output depends on the input alone, so the bits are those of
// the streamed chain), and measured by reference_gradient, which gives a
// ReferenceRun's bits. Backward, the gradient at 10 kHz goes through the
// transposed resampler (polyphase_adjoint.h) to the input rate, and through
// the shift and the scale to the caller's samples.
//
// Pure: a call keeps its arrays to itself and frees them; what it shares
// with other calls is the read-only filters and tables built under their
// locks.
#include "kelvor/stoi.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "api/reference_chain.h"
#include "api/request.h"
#include "api/results.h"
#include "conditioning/polyphase.h"
#include "conditioning/polyphase_adjoint.h"
#include "measures/reference_gradient.h"

namespace kelvor {

namespace {

constexpr int32_t BLOCK = 8192;  // outputs per run of a filter

// The checks of kelvor_score for the reference profile, in its order, with
// the gradient's refusals after the record's own checks and its length
// limit after the rate's. On success *up / *down is the rate's ratio and
// *length the 10 kHz length; signals to be trimmed (KELVOR_UNEQUAL_TRIM)
// have the shorter count in *ref_count and *deg_count.
int check_call(const double* ref, int64_t* ref_count_io, const double* deg, int64_t* deg_count_io, double rate,
               const kelvor_options* options, const kelvor_scores* out, int32_t* up, int32_t* down,
               int64_t* length) {
    int64_t& ref_count = *ref_count_io;
    int64_t& deg_count = *deg_count_io;
    if (out == nullptr || ref_count < 0 || deg_count < 0) return KELVOR_ERR_BAD_ARGUMENT;
    if ((ref == nullptr && ref_count > 0) || (deg == nullptr && deg_count > 0)) return KELVOR_ERR_BAD_ARGUMENT;
    kelvor_options o = options != nullptr ? *options : kelvor_options{};
    for (int r : o.reserved) {
        if (r != 0) return KELVOR_ERR_BAD_ARGUMENT;
    }
    if (o.profile != KELVOR_PROFILE_DEFAULT && o.profile != KELVOR_PROFILE_REFERENCE &&
        o.profile != KELVOR_PROFILE_TOOL) {
        return KELVOR_ERR_BAD_ARGUMENT;
    }
    const int profile = o.profile;
    o.profile = KELVOR_PROFILE_REFERENCE;
    const int unequal = unequal_rule(o);
    if (unequal < 0) return KELVOR_ERR_BAD_ARGUMENT;
    if (profile == KELVOR_PROFILE_TOOL) return KELVOR_ERR_PROFILE;
    if (o.align) return KELVOR_ERR_NO_GRADIENT;
    if (ref_count != deg_count) {
        if (unequal == KELVOR_UNEQUAL_REFUSE) return KELVOR_ERR_LENGTH_MISMATCH;
        if (unequal == KELVOR_UNEQUAL_TRIM) ref_count = deg_count = ref_count < deg_count ? ref_count : deg_count;
    }
    if (ref_count > KELVOR_MAX_SAMPLES_REFERENCE || deg_count > KELVOR_MAX_SAMPLES_REFERENCE) {
        return KELVOR_ERR_TOO_LONG;
    }
    if (o.shift < 0 || o.shift > kelvor_max_shift(rate)) return KELVOR_ERR_BAD_SHIFT;
    if (polyphase_ratio(rate, up, down) != RATE_OK) return KELVOR_ERR_BAD_RATE;
    const int64_t padded = ref_count > deg_count ? ref_count : deg_count;
    *length = (padded * *up + *down - 1) / *down;
    if (*length > KELVOR_MAX_SAMPLES_GRADIENT) return KELVOR_ERR_TOO_LONG;
    if (ref_count == 0) return KELVOR_ERR_TOO_SHORT;
    return KELVOR_OK;
}

// The peak magnitude of count samples; false at a value that is not
// finite. Four running maxima and a count of the values that are not
// finite, so that the loop has no chain of dependent comparisons.
bool peak_of(const double* x, int64_t count, double* peak) {
    double p[4] = {0.0, 0.0, 0.0, 0.0};
    int64_t bad = 0;
    int64_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int32_t k = 0; k < 4; k++) {
            const double v = std::fabs(x[i + k]);
            bad += !(v <= 1.79769313486231570815e308);
            p[k] = v > p[k] ? v : p[k];
        }
    }
    for (; i < count; i++) {
        const double v = std::fabs(x[i]);
        bad += !(v <= 1.79769313486231570815e308);
        p[0] = v > p[0] ? v : p[0];
    }
    *peak = std::fmax(std::fmax(p[0], p[1]), std::fmax(p[2], p[3]));
    return bad == 0;
}

// The filters of a call, released however it ends.
struct Filters {
    const PolyphaseFilter* forward = nullptr;
    const PolyphaseFilter* adjoint = nullptr;
    ~Filters() {
        polyphase_release(forward);
        polyphase_adjoint_release(adjoint);
    }
};

// A signal as the chain resamples it: input sample i is
// in[i + offset] * scale for 0 <= i < padded and i + offset < count, 0
// elsewhere; its `length` outputs at 10 kHz (the input itself without a
// filter) into out. span and scratch: room for one block's inputs and the
// filter's scratch.
void to_10k(const PolyphaseFilter* f, const double* in, int64_t count, int64_t offset, int64_t padded, double scale,
            int64_t length, double* span, double* scratch, double* out) {
    const int64_t end_of_data = count - offset < padded ? count - offset : padded;
    auto sample = [&](int64_t i) { return i >= 0 && i < end_of_data ? in[i + offset] * scale : 0.0; };
    if (f == nullptr) {
        for (int64_t k = 0; k < length; k++) out[k] = sample(k);
        return;
    }
    for (int64_t k0 = 0; k0 < length; k0 += BLOCK) {
        const int32_t outputs = static_cast<int32_t>(length - k0 < BLOCK ? length - k0 : BLOCK);
        const int64_t first = polyphase_newest(f, k0) - f->taps + 1;
        const int64_t end = polyphase_newest(f, k0 + outputs - 1) + 1;
        for (int64_t i = first; i < end; i++) span[i - first] = sample(i);
        polyphase_run(f, span, first, k0, outputs, out + k0, scratch);
    }
}

int score_gradient(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count, double rate,
                   const kelvor_options* options, kelvor_scores* out, double* grad_stoi, double* grad_estoi) {
    int32_t up = 1;
    int32_t down = 1;
    int64_t length = 0;
    const int64_t deg_given = deg_count;  // the gradient's length, past a trimmed deg_count too
    int status = check_call(ref, &ref_count, deg, &deg_count, rate, options, out, &up, &down, &length);
    if (status != KELVOR_OK) return status;
    const int64_t shift = options != nullptr ? options->shift : 0;
    const int64_t padded = ref_count > deg_count ? ref_count : deg_count;

    Filters filters;
    const bool resampled = up != 1 || down != 1;
    if (resampled) {
        if ((filters.forward = polyphase_acquire(up, down)) == nullptr) return KELVOR_ERR_NO_MEMORY;
        if ((filters.adjoint = polyphase_adjoint_acquire(filters.forward)) == nullptr) return KELVOR_ERR_NO_MEMORY;
    }
    const PolyphaseFilter* f = filters.forward;
    const PolyphaseFilter* a = filters.adjoint;
    // The adjoint filter's outputs are the input samples that are inputs of
    // the scores: 0 .. inputs - 1 after the shift. It reads the 10 kHz
    // gradient from `front` before its start to `back` after its end,
    // zeros there.
    const int64_t inputs = deg_count > shift ? deg_count - shift : 0;
    int64_t front = 0;
    int64_t back = 0;
    int64_t span = 0;
    int64_t scratch = 0;
    if (resampled) {
        front = a->taps;
        back = polyphase_newest(a, padded - 1) - (length - 1) + 1;
        if (back < 0) back = 0;
        span = static_cast<int64_t>(BLOCK) * down / up + f->taps + 2;
        scratch = polyphase_scratch_size(f, BLOCK);
        const int64_t adjoint_scratch = polyphase_scratch_size(a, BLOCK);
        if (adjoint_scratch > scratch) scratch = adjoint_scratch;
    }
    // Everything in one block, so that a second call finds the heap as the
    // first left it.
    double* grad[2] = {grad_stoi, grad_estoi};
    const int64_t room = front + length + back;
    const int64_t workspace = reference_gradient_workspace(static_cast<int32_t>(length));
    const int64_t total = 2 * length + span + scratch + workspace + (grad[0] != nullptr ? room : 0) +
                          (grad[1] != nullptr ? room : 0);
    double* const block = static_cast<double*>(std::malloc(static_cast<size_t>(total) * sizeof(double)));
    if (block == nullptr) return KELVOR_ERR_NO_MEMORY;
    struct Release {
        double* p;
        ~Release() { std::free(p); }
    } release{block};
    double* x10 = block;
    double* y10 = x10 + length;
    double* buffer = y10 + length;
    double* work = buffer + span;
    double* measures = work + scratch;
    double* g10[2] = {nullptr, nullptr};
    double* next = measures + workspace;
    for (int32_t s = 0; s < 2; s++) {
        if (grad[s] == nullptr) continue;
        g10[s] = next;
        next += room;
        std::memset(g10[s], 0, static_cast<size_t>(front) * sizeof(double));
        std::memset(g10[s] + front + length, 0, static_cast<size_t>(back) * sizeof(double));
    }

    double peak_x = 0.0;
    double peak_y = 0.0;
    if (!peak_of(ref, ref_count, &peak_x) || !peak_of(deg, deg_count, &peak_y)) return KELVOR_ERR_NOT_FINITE;
    if (peak_x == 0.0) return KELVOR_ERR_SILENT;
    const double scale_y = reference_input_scale(peak_y);
    to_10k(f, ref, ref_count, 0, padded, reference_input_scale(peak_x), length, buffer, work, x10);
    to_10k(f, deg, deg_count, shift, padded, scale_y, length, buffer, work, y10);

    double stoi = 0.0;
    double estoi = 0.0;
    status = status_of(reference_gradient(x10, y10, static_cast<int32_t>(length), measures, &stoi, &estoi,
                                          g10[0] != nullptr ? g10[0] + front : nullptr,
                                          g10[1] != nullptr ? g10[1] + front : nullptr));
    if (status != KELVOR_OK) return status;
    kelvor_scores scores{};
    status = scores_of(stoi, estoi, KELVOR_PROFILE_REFERENCE, static_cast<int>(shift),
                       static_cast<double>(shift) * 1000.0 / rate, &scores);
    if (status != KELVOR_OK) return status;

    // Back to the caller's samples: the shifted-out ones are no inputs (0);
    // the others take the transposed filter's output times the input's
    // scale.
    for (int32_t s = 0; s < 2; s++) {
        if (grad[s] == nullptr) continue;
        double* g = grad[s];
        std::memset(g, 0, static_cast<size_t>(deg_count - inputs) * sizeof(double));
        std::memset(g + deg_count, 0, static_cast<size_t>(deg_given - deg_count) * sizeof(double));
        if (!resampled) {
            for (int64_t n = 0; n < inputs; n++) g[shift + n] = g10[s][n];
        } else {
            for (int64_t n0 = 0; n0 < inputs; n0 += BLOCK) {
                const int32_t count = static_cast<int32_t>(inputs - n0 < BLOCK ? inputs - n0 : BLOCK);
                const int64_t first = polyphase_newest(a, n0) - a->taps + 1;
                polyphase_run(a, g10[s] + front + first, first, n0, count, g + shift + n0, work);
            }
        }
        if (scale_y != 1.0) {
            for (int64_t n = 0; n < inputs; n++) g[shift + n] = g[shift + n] * scale_y;
        }
    }

    *out = scores;
    return KELVOR_OK;
}

}  // namespace

}  // namespace kelvor

extern "C" int kelvor_score_gradient(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count,
                                     double rate, const kelvor_options* options, kelvor_scores* out,
                                     double* grad_stoi, double* grad_estoi) {
    return kelvor::score_gradient(ref, ref_count, deg, deg_count, rate, options, out, grad_stoi, grad_estoi);
}
