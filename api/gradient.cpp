// kelvor_score_gradient (kelvor/stoi.h): the reference profile's chain on
// two arrays with the gradient of its scores with respect to the degraded
// one. The chain forward is the reference profile's: the request's checks
// (check_request), the inputs' peaks, powers of two and resampling to
// 10 kHz of the streamed chain (reference_chain.h), here into whole arrays,
// and the measures of reference_gradient, which gives a ReferenceRun's
// bits. Backward, the gradient at 10 kHz goes through the
// transposed resampler (polyphase_adjoint.h) to the input rate, and through
// the shift and the scale to the caller's samples.
//
// Pure: a call keeps its arrays to itself and frees them; what it shares
// with other calls is the read-only filters and tables built under their
// locks.
#include "kelvor/stoi.h"

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

constexpr int32_t BLOCK = REFERENCE_BLOCK;  // outputs per run of a filter

// The filters of a call, released however it ends.
struct Filters {
    const PolyphaseFilter* forward = nullptr;
    const PolyphaseFilter* adjoint = nullptr;
    ~Filters() {
        polyphase_release(forward);
        polyphase_adjoint_release(adjoint);
    }
};

int score_gradient(const double* ref, int64_t ref_count, const double* deg, int64_t deg_count, double rate,
                   const kelvor_options* options, kelvor_scores* out, double* grad_stoi, double* grad_estoi) {
    // The request path's checks, for arrays of doubles in the reference
    // profile; they trim signals to be trimmed, whose lengths are then those
    // of q's signals.
    ScoreRequest q;
    input_of(&q.reference, ref, ref_count);
    input_of(&q.degraded, deg, deg_count);
    q.rate = rate;
    q.options = options;
    q.gradient = true;
    CheckedRequest checked;
    int status = check_request(q, out, &checked);
    if (status != KELVOR_OK) return status;
    const int64_t deg_given = deg_count;  // the gradient's length, past a trimmed deg_count too
    ref_count = q.reference.signal.length;
    deg_count = q.degraded.signal.length;
    const int32_t up = checked.up;
    const int32_t down = checked.down;
    const int64_t length = checked.length;
    const int64_t shift = checked.options.shift;
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
    const int64_t span = reference_span(f);
    int64_t scratch = 0;
    if (resampled) {
        front = a->taps;
        back = polyphase_newest(a, padded - 1) - (length - 1) + 1;
        if (back < 0) back = 0;
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

    // Arrays of doubles are looked at where they lie: the peaks need no
    // buffer, and their reads do not fail.
    double peak_x = 0.0;
    double peak_y = 0.0;
    status = reference_peak(q.reference, nullptr, &peak_x);
    if (status == KELVOR_OK) status = reference_peak(q.degraded, nullptr, &peak_y);
    if (status != KELVOR_OK) return status;
    if (peak_x == 0.0) return KELVOR_ERR_SILENT;
    const double scale_y = reference_input_scale(peak_y);
    status = reference_resample(q.reference, 0, padded, reference_input_scale(peak_x), f, length, buffer, work, x10);
    if (status == KELVOR_OK) status = reference_resample(q.degraded, shift, padded, scale_y, f, length, buffer, work, y10);
    if (status != KELVOR_OK) return status;

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
