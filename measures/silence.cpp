#include "measures/silence.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "common/cpu.h"
#include "common/parallel.h"
#include "measures/memory.h"
#include "measures/kernels.h"
#include "measures/spectrum.h"

namespace kelvor {

namespace {

// A sample as the measures see it: the double itself, or a 16-bit sample
// times 2^-15, which is exact and the double the pipeline converts it to.
inline double sample(const double* x, size_t i) {
    return x[i];
}

inline double sample(const int16_t* x, size_t i) {
    return static_cast<double>(x[i]) * 0x1p-15;
}

// energy[i] for the frames begin .. end - 1: the sum, in ascending n, of
// the squared windowed samples, each windowed sample also left in tmp.
template <typename T>
void frame_energies(const T* x, int32_t begin, int32_t end, const double* w, double* energy, double* tmp) {
    for (int32_t i = begin; i < end; i++) {
        const size_t at = static_cast<size_t>(i) * FRAME_HOP;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) tmp[n] = sample(x, at + n) * w[n];
        double e = 0.0;
        for (int32_t n = 0; n < FRAME_LENGTH; n++) e = e + tmp[n] * tmp[n];
        energy[i] = e;
    }
}

// Turns the energies into levels in dB; an all-zero frame gives -inf.
void levels_from_energies(int32_t frames, double* msk) {
    const double scale = 1.0 / std::sqrt(static_cast<double>(FRAME_LENGTH));  // exactly 1/16
    for (int32_t i = 0; i < frames; i++) {
        const double norm = std::sqrt(msk[i]);
        msk[i] = 20.0 * std::log10(norm * scale);
    }
}

// The frames' levels are independent of each other, and so are the
// 128-sample blocks of the rebuilt signals: both steps are shared out
// between threads (common/parallel.h) in pieces of at least this many
// frames or blocks.
constexpr int32_t MIN_FRAMES_PER_PIECE = 512;
constexpr int32_t LEVEL_BATCH = DOUBLE_LANES_AVX512;  // frames per batch of the vector kernel

// energy[i] for the frames begin .. end - 1 (begin a multiple of 8): whole
// batches of eight in the vector kernel where there is one, the rest by
// the scalar loop; every frame's sum is the same bits either way.
void energies_of(const double* x, int32_t begin, int32_t end, const double* w, double* energy, double* tmp) {
    frame_energies(x, begin, end, w, energy, tmp);
}

void energies_of(const int16_t* x, int32_t begin, int32_t end, const double* w, double* energy, double* tmp) {
    int32_t done = begin;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: {
        const int32_t batches = (end - begin) / LEVEL_BATCH;
        frame_energies_pcm_avx512(x, w, begin, batches, energy);
        done = begin + LEVEL_BATCH * batches;
        break;
    }
#endif
    default:
        break;
    }
    frame_energies(x, done, end, w, energy, tmp);
}

template <typename T>
struct LevelsJob {
    const T* x;
    int32_t frames;
    const double* window;
    double* msk;
    double* tmp;  // piece 0's scratch; the others use their own
};

template <typename T>
void levels_piece(void* context, int32_t piece, int32_t pieces) {
    const LevelsJob<T>* job = static_cast<const LevelsJob<T>*>(context);
    double own_tmp[FRAME_LENGTH];
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share_batches(job->frames, LEVEL_BATCH, piece, pieces, &begin, &end);
    energies_of(job->x, begin, end, job->window, job->msk, piece == 0 ? job->tmp : own_tmp);
    levels_from_energies(end - begin, job->msk + begin);
}

template <typename T>
void levels(const T* x, int32_t frames, const double* window, double* msk, double* tmp) {
    LevelsJob<T> job{x, frames, window, msk, tmp};
    parallel_run(parallel_pieces(frames, MIN_FRAMES_PER_PIECE), levels_piece<T>, &job);
}

// The rebuild of both signals from the kept frames. Kept frame k (the k-th
// frame above the threshold) is added at 128 k, so 128-sample block j of
// the rebuilt signals receives the second half of kept frame j - 1 and then
// the first half of kept frame j, each added to the cleared block in that
// order, as a single pass over the kept frames adds them. A piece clears
// and fills its own blocks; blocks past the last kept frame stay clear.
template <typename T>
struct RebuildJob {
    const T* x;
    const T* y;
    int32_t length;
    int32_t frames;
    const double* msk;
    double threshold;
    double* xs;
    double* ys;
    const double* window;
    int32_t* kept;
};

template <typename T>
void rebuild_piece(void* context, int32_t piece, int32_t pieces) {
    const RebuildJob<T>* job = static_cast<const RebuildJob<T>*>(context);
    const double* w = job->window;
    int32_t from = 0;
    int32_t to = 0;
    parallel_share_batches(job->length, FRAME_HOP, piece, pieces, &from, &to);
    // The share's blocks: from is a block's start, to a block's start or the
    // end of the last (short) block.
    const int32_t first_block = (from + FRAME_HOP - 1) / FRAME_HOP;
    const int32_t end_block = (to + FRAME_HOP - 1) / FRAME_HOP;
    for (int32_t n = from; n < to; n++) job->xs[n] = 0.0;
    for (int32_t n = from; n < to; n++) job->ys[n] = 0.0;

    // The kept frames whose blocks k, k + 1 meet this piece's blocks, in
    // ascending order.
    int32_t k = 0;
    for (int32_t i = 0; i < job->frames && k < end_block; i++) {
        if (!(job->msk[i] > job->threshold)) continue;  // a level equal to the threshold is dropped
        if (k + 1 >= first_block) {
            if (job->kept != nullptr && k >= first_block) job->kept[k] = i;
            const size_t at = static_cast<size_t>(i) * FRAME_HOP;
            const int32_t p = k * FRAME_HOP;
            // Its first half goes to block k, its second half to block k + 1.
            const int32_t n_begin = k >= first_block ? 0 : FRAME_HOP;
            const int32_t n_end = k + 1 < end_block ? FRAME_LENGTH : FRAME_HOP;
            for (int32_t n = n_begin; n < n_end; n++) {
                const double t = sample(job->x, at + n) * w[n];
                job->xs[p + n] = t + job->xs[p + n];
            }
            for (int32_t n = n_begin; n < n_end; n++) {
                const double t = sample(job->y, at + n) * w[n];
                job->ys[p + n] = t + job->ys[p + n];
            }
        }
        k++;
    }
}

template <typename T>
int32_t remove_frames(const T* x, const T* y, int32_t length, int32_t frames, double* xs, double* ys,
                      const double* w, int32_t* kept, MeasureFailure* failure) {
    double* msk = measure_doubles(static_cast<size_t>(frames), "remove", "msk", failure);
    if (msk == nullptr) return -1;
    for (int32_t i = 0; i < frames; i++) msk[i] = 0.0;
    double* tmp = measure_doubles(FRAME_LENGTH, "remove", "tmp", failure);
    if (tmp == nullptr) {
        std::free(msk);
        return -1;
    }

    levels(x, frames, w, msk, tmp);

    // The first of equally loud frames is the maximum; with no frame at all
    // nothing can be kept.
    double threshold = 0.0;
    if (frames > 0) {
        double loudest = msk[0];
        for (int32_t i = 1; i < frames; i++) {
            if (msk[i] > loudest) loudest = msk[i];
        }
        threshold = loudest - SILENCE_RANGE_DB;
    }
    int32_t kept_count = 0;
    for (int32_t i = 0; i < frames; i++) {
        if (msk[i] > threshold) kept_count++;
    }

    RebuildJob<T> job{x, y, length, frames, msk, threshold, xs, ys, w, kept};
    parallel_run(parallel_pieces((length + FRAME_HOP - 1) / FRAME_HOP, MIN_FRAMES_PER_PIECE), rebuild_piece<T>, &job);

    std::free(msk);
    std::free(tmp);
    return kept_count == 0 ? 0 : FRAME_HOP * (kept_count + 1);
}

}  // namespace

void frame_levels(const double* x, int32_t frames, const double* window, double* msk, double* tmp) {
    levels(x, frames, window, msk, tmp);
}

void frame_levels(const int16_t* x, int32_t frames, const double* window, double* msk, double* tmp) {
    levels(x, frames, window, msk, tmp);
}

int32_t remove(const double* x, const double* y, int32_t length, int32_t frames, double* xs, double* ys,
               const double* window, int32_t* kept, MeasureFailure* failure) {
    return remove_frames(x, y, length, frames, xs, ys, window, kept, failure);
}

int32_t remove(const int16_t* x, const int16_t* y, int32_t length, int32_t frames, double* xs, double* ys,
               const double* window, int32_t* kept, MeasureFailure* failure) {
    return remove_frames(x, y, length, frames, xs, ys, window, kept, failure);
}

}  // namespace kelvor
