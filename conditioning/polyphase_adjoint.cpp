// The adjoint filters of the resampler (polyphase_adjoint.h), and a small
// cache of them, as polyphase_acquire keeps the forward filters.
#include "conditioning/polyphase_adjoint.h"

#include <cstdlib>
#include <mutex>

namespace kelvor {

namespace {

constexpr int32_t CACHED_ADJOINTS = 16;

struct AdjointSlot {
    int32_t up;  // of the forward filter
    int32_t down;
    PolyphaseFilter* adjoint;
};

std::mutex adjoint_mutex;
AdjointSlot adjoint_cache[CACHED_ADJOINTS];
int32_t adjoints_cached = 0;

// The taps of f read back from its phase rows (row f holds h[f + up j] at
// taps - 1 - j), reversed, laid out for down / up.
PolyphaseFilter* build_adjoint(const PolyphaseFilter* f) {
    const int32_t designed = 2 * f->half + 1;
    double* reversed = static_cast<double*>(std::malloc(static_cast<size_t>(designed) * sizeof(double)));
    if (reversed == nullptr) return nullptr;
    for (int32_t i = 0; i < designed; i++) {
        const int32_t phase = i % f->up;
        const int32_t j = i / f->up;
        reversed[designed - 1 - i] = f->coefs[static_cast<size_t>(phase) * f->taps + (f->taps - 1 - j)];
    }
    PolyphaseFilter* adjoint = polyphase_layout(f->down, f->up, reversed);
    std::free(reversed);
    return adjoint;
}

}  // namespace

const PolyphaseFilter* polyphase_adjoint_acquire(const PolyphaseFilter* f) {
    std::lock_guard<std::mutex> lock(adjoint_mutex);
    for (int32_t i = 0; i < adjoints_cached; i++) {
        if (adjoint_cache[i].up == f->up && adjoint_cache[i].down == f->down) return adjoint_cache[i].adjoint;
    }
    PolyphaseFilter* adjoint = build_adjoint(f);
    if (adjoint != nullptr && adjoints_cached < CACHED_ADJOINTS) {
        adjoint_cache[adjoints_cached++] = AdjointSlot{f->up, f->down, adjoint};
    }
    return adjoint;
}

void polyphase_adjoint_release(const PolyphaseFilter* adjoint) {
    if (adjoint == nullptr) return;
    std::lock_guard<std::mutex> lock(adjoint_mutex);
    for (int32_t i = 0; i < adjoints_cached; i++) {
        if (adjoint_cache[i].adjoint == adjoint) return;
    }
    std::free(const_cast<PolyphaseFilter*>(adjoint));
}

}  // namespace kelvor
