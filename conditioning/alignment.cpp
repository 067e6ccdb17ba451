#include "conditioning/alignment.h"

#include <cstring>

#include "common/parallel.h"
#include "conditioning/kernels.h"
#include "kelvor/stoi.h"

namespace kelvor {

// The delays the library's header promises are the ones searched here.
static_assert(ALIGN_SHIFTS == KELVOR_ALIGN_DELAYS_8K, "the delays searched at 8 kHz");
static_assert(DELAY_SEARCH_MAX == KELVOR_ALIGN_DELAYS_10K, "the delays searched at 10 kHz");

namespace {

// The correlation of one candidate delay. Products of two 16-bit samples are
// exact in 32 bits and their sum is exact in 64 bits for any count that fits
// in 32 bits (|sum| < 2^31 * 2^30 = 2^61), so the result does not depend on
// the order of summation and matches a double accumulator wherever that one
// is exact.
int64_t correlation_at(const int16_t* reference, const int16_t* degraded, int32_t count, int32_t shift) {
    int64_t sum = 0;
    for (int32_t n = 0; n < count; n++) {
        int32_t product = static_cast<int32_t>(reference[n]) * static_cast<int32_t>(degraded[n + shift]);
        sum += product;
    }
    return sum;
}

// The best delay of the 900 sums: the first strictly greater value wins, so
// ties go to the smallest delay.
int32_t best_shift(const int64_t* c) {
    int32_t best = 0;
    for (int32_t s = 1; s < ALIGN_SHIFTS; s++) {
        if (c[s] > c[best]) best = s;
    }
    return best;
}

// The search's threads share out the candidate delays: each delay's sum is
// formed whole by one thread, over the whole signal in the order a single
// thread takes, and the best delay is picked from all 900 sums afterwards
// on the calling thread. A piece must have this many delays at least, and
// a signal shorter than about a second is searched on the calling thread
// alone (starting a thread would cost more than it saves).
constexpr int32_t MIN_DELAYS_PER_PIECE = 32;
constexpr int32_t MIN_SAMPLES_THREADED = 8192;

struct PlainSearch {
    const int16_t* reference;
    const int16_t* degraded;
    int32_t count;
    int64_t* c;
};

void search_plain_piece(void* context, int32_t piece, int32_t pieces) {
    const PlainSearch* job = static_cast<const PlainSearch*>(context);
    int32_t begin = 0;
    int32_t end = 0;
    parallel_share(ALIGN_SHIFTS, piece, pieces, &begin, &end);
    for (int32_t s = begin; s < end; s++) job->c[s] = correlation_at(job->reference, job->degraded, job->count, s);
}

int32_t search_plain(const int16_t* reference, const int16_t* degraded, int32_t count) {
    int64_t c[ALIGN_SHIFTS];
    PlainSearch job{reference, degraded, count, c};
    const int32_t pieces = count >= MIN_SAMPLES_THREADED ? parallel_pieces(ALIGN_SHIFTS, MIN_DELAYS_PER_PIECE) : 1;
    parallel_run(pieces, search_plain_piece, &job);
    return best_shift(c);
}

#if KELVOR_X86_KERNELS

typedef void (*ChunkKernel)(const int16_t*, const int16_t*, const int16_t*, int32_t, int32_t, int32_t, int64_t*);

struct ChunkedSearch {
    ChunkKernel kernel;
    int32_t chunk;
    int32_t residues;  // the kernel's residues: the delays come in this many classes
    const int16_t* reference;
    const int16_t* degraded;
    int32_t count;
    int64_t* c;
};

// The vector search over the delays of residues k_begin .. k_end - 1: the
// reference is taken in chunks that the kernel sums exactly in 32-bit
// lanes; each chunk's degraded window is split into high and low bytes in
// local buffers. Nothing is allocated, and the samples past count
// (reference) or count + 898 (degraded) are never read. The sums are kept
// in a local array (threads adding to neighbouring words of one array
// would fight over its cache lines) and copied to job->c at the end.
void search_chunked_piece(void* context, int32_t piece, int32_t pieces) {
    const ChunkedSearch* job = static_cast<const ChunkedSearch*>(context);
    constexpr int32_t MAX_CHUNK = ALIGN_CHUNK_AVX512;
    constexpr int32_t PAD = 32;
    alignas(64) int16_t r[MAX_CHUNK];
    alignas(64) int16_t dh[MAX_CHUNK + ALIGN_SHIFTS + PAD];
    alignas(64) int16_t dl[MAX_CHUNK + ALIGN_SHIFTS + PAD];
    int64_t c[ALIGN_SHIFTS];
    memset(c, 0, sizeof c);
    int32_t k_begin = 0;
    int32_t k_end = 0;
    parallel_share(job->residues, piece, pieces, &k_begin, &k_end);
    const int16_t* reference = job->reference;
    const int16_t* degraded = job->degraded;
    const int32_t count = job->count;
    const int32_t chunk = job->chunk;

    for (int32_t base = 0; base < count; base += chunk) {
        int32_t len = count - base < chunk ? count - base : chunk;
        int32_t padded = (len + PAD - 1) / PAD * PAD;
        memcpy(r, reference + base, static_cast<size_t>(len) * sizeof(int16_t));
        memset(r + len, 0, static_cast<size_t>(padded - len) * sizeof(int16_t));
        int32_t window = len + ALIGN_SHIFTS - 1;  // degraded samples this chunk touches
        for (int32_t i = 0; i < window; i++) {
            int32_t v = degraded[base + i];
            dh[i] = static_cast<int16_t>(v >> 8);  // arithmetic shift: floor(v / 256)
            dl[i] = static_cast<int16_t>(v & 0xFF);
        }
        int32_t filled = padded + ALIGN_SHIFTS + PAD;
        memset(dh + window, 0, static_cast<size_t>(filled - window) * sizeof(int16_t));
        memset(dl + window, 0, static_cast<size_t>(filled - window) * sizeof(int16_t));
        job->kernel(r, dh, dl, padded, k_begin, k_end, c);
    }
    for (int32_t s = 0; s < ALIGN_SHIFTS; s++) {
        const int32_t k = s % job->residues;
        if (k >= k_begin && k < k_end) job->c[s] = c[s];
    }
}

int32_t search_chunked(ChunkKernel kernel, int32_t chunk, int32_t residues, const int16_t* reference,
                       const int16_t* degraded, int32_t count) {
    int64_t c[ALIGN_SHIFTS];
    ChunkedSearch job{kernel, chunk, residues, reference, degraded, count, c};
    // A residue stands for about 900 / residues delays.
    const int32_t per_piece = residues * MIN_DELAYS_PER_PIECE / ALIGN_SHIFTS + 1;
    const int32_t pieces = count >= MIN_SAMPLES_THREADED ? parallel_pieces(residues, per_piece) : 1;
    parallel_run(pieces, search_chunked_piece, &job);
    return best_shift(c);
}

#endif

}  // namespace

int32_t search_alignment_using(IsaLevel level, const int16_t* reference, const int16_t* degraded,
                               int32_t count) {
    if (count <= 0) return search_plain(reference, degraded, count);
    switch (isa_clamp(level)) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512:
        return search_chunked(correlate_chunk_avx512, ALIGN_CHUNK_AVX512, ALIGN_RESIDUES_AVX512, reference, degraded,
                              count);
    case ISA_AVX2:
        return search_chunked(correlate_chunk_avx2, ALIGN_CHUNK_AVX2, ALIGN_RESIDUES_AVX2, reference, degraded, count);
    case ISA_SSE2:
        return search_chunked(correlate_chunk_sse2, ALIGN_CHUNK_SSE2, ALIGN_RESIDUES_SSE2, reference, degraded, count);
#endif
    default:
        return search_plain(reference, degraded, count);
    }
}

int32_t search_alignment(const int16_t* reference, const int16_t* degraded, int32_t count) {
    return search_alignment_using(isa_level(), reference, degraded, count);
}

int32_t search_alignment_double(const double* reference, const double* degraded, int32_t count, int32_t shifts) {
    // The block search fed the whole signal at once: the same sums, and the
    // same tie-break. Callers ask for at most DELAY_SEARCH_MAX delays.
    DelaySearch search;
    delay_search_start(&search, shifts);
    delay_search_feed(&search, reference, degraded, count);
    return delay_search_best(&search);
}

void delay_search_start(DelaySearch* search, int32_t shifts) {
    search->shifts = shifts < DELAY_SEARCH_MAX ? shifts : DELAY_SEARCH_MAX;
    for (int32_t s = 0; s < search->shifts; s++) search->sums[s] = 0.0;
}

void delay_search_feed(DelaySearch* search, const double* x, const double* y, int32_t count) {
    // The plain loop keeps as many sums side by side as the widest vector
    // kernel, so that their chains of additions overlap.
    constexpr int32_t LANES = DOUBLE_LANES_MAX;
    const int32_t shifts = search->shifts;
    // The vector kernels take whole groups of delays, one delay per lane,
    // each adding its terms in ascending n as the loop below does.
    int32_t done = 0;
    switch (isa_level()) {
#if KELVOR_X86_KERNELS
    case ISA_AVX512: done = delay_sums_avx512(search->sums, x, y, count, shifts); break;
    case ISA_AVX2: done = delay_sums_avx2(search->sums, x, y, count, shifts); break;
#endif
    default: break;
    }
    for (int32_t s0 = done; s0 < shifts; s0 += LANES) {
        const int32_t lanes = shifts - s0 < LANES ? shifts - s0 : LANES;
        double* sum = search->sums + s0;
        if (lanes == LANES) {
            double s[LANES];
            for (int32_t k = 0; k < LANES; k++) s[k] = sum[k];
            for (int32_t n = 0; n < count; n++) {
                const double r = x[n];
                const double* d = y + n + s0;
                for (int32_t k = 0; k < LANES; k++) s[k] = s[k] + r * d[k];
            }
            for (int32_t k = 0; k < LANES; k++) sum[k] = s[k];
        } else {
            for (int32_t k = 0; k < lanes; k++) {
                for (int32_t n = 0; n < count; n++) sum[k] = sum[k] + x[n] * y[n + s0 + k];
            }
        }
    }
}

int32_t delay_search_best(const DelaySearch* search) {
    int32_t best = 0;
    for (int32_t s = 1; s < search->shifts; s++) {
        if (search->sums[s] > search->sums[best]) best = s;
    }
    return best;
}

}  // namespace kelvor
