// Signals read on demand: the same bits as the same samples in memory
// whether a pair is kept at 10 kHz between the passes or resampled again,
// on lengths at every boundary; the reads the library makes; and a long
// pair in a bounded working set.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/request.h"
#include "kelvor/stoi.h"
#include "support.h"

namespace {

// A signal in memory behind the reader interface, recording its reads.
struct Recorded {
    const std::vector<double>* samples;
    int64_t next = 0;  // where the current pass has got to
    int passes = 0;
    bool ordered = true;
    int fail_at_pass = -1;
};

int read_recorded(void* context, int64_t start, int32_t count, double* out) {
    Recorded* r = static_cast<Recorded*>(context);
    if (r->passes == 0 || start < r->next) r->passes++, r->next = start;  // a new pass
    if (start != r->next || count < 1 || count > 65536 || start + count > static_cast<int64_t>(r->samples->size())) {
        r->ordered = false;
    }
    if (r->passes == r->fail_at_pass) return KELVOR_ERR_UNREADABLE;
    std::memcpy(out, r->samples->data() + start, static_cast<size_t>(count) * sizeof(double));
    r->next = start + count;
    return KELVOR_OK;
}

kelvor_signal signal_of(Recorded* r) {
    return kelvor_signal{static_cast<int64_t>(r->samples->size()), read_recorded, r};
}

// Speech-like bursts with pauses; silence at the start and the end.
std::vector<double> speech(int64_t n, int rate, uint32_t seed, double level = 0.3) {
    std::vector<double> x(static_cast<size_t>(n), 0.0);
    for (int64_t i = 0; i < n; i++) {
        seed = seed * 1664525u + 1013904223u;
        const double t = static_cast<double>(i) / rate;
        const double envelope = std::fmax(0.0, std::sin(2 * M_PI * 1.9 * t + 0.3));
        x[static_cast<size_t>(i)] = level * envelope * ((static_cast<int32_t>(seed >> 8) % 20001) / 10000.0 - 1.0);
    }
    for (int64_t i = 0; i < n / 20; i++) x[static_cast<size_t>(i)] = x[static_cast<size_t>(n - 1 - i)] = 0.0;
    return x;
}

struct Result {
    int status;
    kelvor_scores scores{};
    std::vector<double> correlation;
    std::vector<int32_t> kept;
};

// What a details call gave, its block freed.
Result collected(int status, kelvor_details* d) {
    Result r;
    r.status = status;
    if (status == KELVOR_OK) {
        r.scores = d->scores;
        r.correlation.assign(d->stoi_correlation, d->stoi_correlation + 15 * d->segment_count);
        r.kept.assign(d->kept_frames, d->kept_frames + d->kept_count);
    }
    kelvor_details_free(d);
    return r;
}

// The details of a pair in memory, as kelvor_score_details gives them, the
// pair kept at 10 kHz between the passes up to keep_limit samples.
Result in_memory(const std::vector<double>& x, const std::vector<double>& y, int rate, const kelvor_options& o,
                 int64_t keep_limit = kelvor::REFERENCE_KEEP_LIMIT) {
    kelvor::ScoreRequest q;
    kelvor::input_of(&q.reference, x.data(), static_cast<int64_t>(x.size()));
    kelvor::input_of(&q.degraded, y.data(), static_cast<int64_t>(y.size()));
    q.rate = rate;
    q.options = &o;
    q.keep_limit = keep_limit;
    kelvor_details* d = nullptr;
    const int status = kelvor::score_request(q, nullptr, &d);
    return collected(status, d);
}

// The same read through signals that record their reads, every pair
// resampled again for the second pass.
Result streamed(const std::vector<double>& x, const std::vector<double>& y, int rate, const kelvor_options& o,
                bool* ordered) {
    Recorded rx{&x};
    Recorded ry{&y};
    kelvor::ScoreRequest q;
    kelvor::input_of(&q.reference, signal_of(&rx));
    kelvor::input_of(&q.degraded, signal_of(&ry));
    q.rate = rate;
    q.options = &o;
    q.keep_limit = 0;
    kelvor_details* d = nullptr;
    const int status = kelvor::score_request(q, nullptr, &d);
    *ordered = rx.ordered && ry.ordered;
    return collected(status, d);
}

TEST(Streaming, TheSameBitsAtEveryBoundary) {
    struct Case {
        int rate;
        int64_t length;  // input samples
        bool align;
        int shift;
        int status;
    };
    const Case cases[] = {
        // On either side of the shortest of these pairs that keeps a
        // segment (its pauses are silent frames).
        {10000, 6891, false, 0, KELVOR_ERR_TOO_SHORT}, {10000, 6892, false, 0, KELVOR_OK},
        // Around a block of the chain.
        {10000, 8192, false, 0, KELVOR_OK}, {10000, 8193, true, 0, KELVOR_OK},
        {10000, 16384 + 128, false, 37, KELVOR_OK}, {8000, 40000, true, 0, KELVOR_OK},
        {16000, 3 * 8192 + 1, false, 0, KELVOR_OK}, {44100, 88200, true, 0, KELVOR_OK},
        {48000, 60000, false, 500, KELVOR_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.length) + " samples");
        const std::vector<double> x = speech(c.length, c.rate, 3);
        std::vector<double> y = speech(c.length, c.rate, 4, 0.1);
        for (size_t i = 200; i < y.size(); i++) y[i] += 0.7 * x[i - 200];
        kelvor_options o{};
        o.align = c.align;
        o.shift = c.shift;
        const Result kept = in_memory(x, y, c.rate, o);
        bool ordered = false;
        const Result again = streamed(x, y, c.rate, o, &ordered);
        const Result memory = in_memory(x, y, c.rate, o, 0);
        EXPECT_TRUE(ordered);
        ASSERT_EQ(kept.status, c.status);
        ASSERT_EQ(again.status, c.status);
        ASSERT_EQ(memory.status, c.status);
        if (c.status != KELVOR_OK) continue;
        for (const Result* r : {&again, &memory}) {
            EXPECT_TRUE(same_bits(r->scores.stoi, kept.scores.stoi));
            EXPECT_TRUE(same_bits(r->scores.estoi, kept.scores.estoi));
            EXPECT_EQ(r->scores.delay, kept.scores.delay);
            EXPECT_EQ(r->correlation, kept.correlation);
            EXPECT_EQ(r->kept, kept.kept);
        }
        if (c.align) {
            EXPECT_NEAR(kept.scores.delay_ms, 200.0 * 1000.0 / c.rate, 0.1);
        }
    }
}

TEST(Streaming, ReadFailuresEndTheCallAndTheToolProfileReadsWhole) {
    const std::vector<double> x = speech(24000, 8000, 5);
    // The reference is read twice (its peak; at 10 kHz for both passes),
    // the degraded signal twice (its peak; the second pass).
    for (int pass : {1, 2, 3, 4}) {
        Recorded rx{&x};
        Recorded ry{&x};
        (pass <= 2 ? rx : ry).fail_at_pass = pass <= 2 ? pass : pass - 2;
        const kelvor_signal sx = signal_of(&rx);
        const kelvor_signal sy = signal_of(&ry);
        kelvor_scores out{};
        EXPECT_EQ(kelvor_score_signals(&sx, &sy, 8000, nullptr, &out), KELVOR_ERR_UNREADABLE) << pass;
    }
    // Tool profile: 16-bit values only, scored as kelvor_score does.
    std::vector<double> pcm(x.size());
    for (size_t i = 0; i < x.size(); i++) pcm[i] = std::round(x[i] * 32768.0) / 32768.0;
    Recorded rx{&pcm};
    Recorded ry{&pcm};
    const kelvor_signal sx = signal_of(&rx);
    const kelvor_signal sy = signal_of(&ry);
    kelvor_options tool{};
    tool.profile = KELVOR_PROFILE_TOOL;
    kelvor_scores a{}, b{};
    ASSERT_EQ(kelvor_score_signals(&sx, &sy, 8000, &tool, &a), KELVOR_OK);
    ASSERT_EQ(kelvor_score(pcm.data(), 24000, pcm.data(), 24000, 8000, &tool, &b), KELVOR_OK);
    EXPECT_TRUE(same_bits(a.stoi, b.stoi));
    Recorded rz{&x};
    const kelvor_signal sz = signal_of(&rz);
    EXPECT_EQ(kelvor_score_signals(&sz, &sy, 8000, &tool, &a), KELVOR_ERR_PROFILE);
    // A NaN is not_finite, as kelvor_score says of the same samples, even
    // after a sample that is no 16-bit value.
    std::vector<double> nan = x;
    nan.back() = std::nan("");
    Recorded rn{&nan};
    const kelvor_signal sn = signal_of(&rn);
    EXPECT_EQ(kelvor_score_signals(&sz, &sn, 8000, &tool, &a), KELVOR_ERR_NOT_FINITE);
    EXPECT_EQ(kelvor_score(x.data(), 24000, nan.data(), 24000, 8000, &tool, &b), KELVOR_ERR_NOT_FINITE);
    const kelvor_signal broken{10, nullptr, nullptr};
    EXPECT_EQ(kelvor_score_signals(&broken, &sy, 8000, nullptr, &a), KELVOR_ERR_BAD_ARGUMENT);
}

// A signal made as it is read: speech-like noise of any length.
struct Generated {
    int64_t length;
    uint32_t seed;
};

int read_generated(void* context, int64_t start, int32_t count, double* out) {
    const Generated* g = static_cast<const Generated*>(context);
    for (int32_t i = 0; i < count; i++) {
        uint32_t s = static_cast<uint32_t>(start + i) * 2654435761u ^ g->seed;
        s = s * 1664525u + 1013904223u;
        const double t = static_cast<double>(start + i) / 16000.0;
        out[i] = 0.3 * std::fmax(0.0, std::sin(2 * M_PI * 1.3 * t)) * ((static_cast<int32_t>(s >> 8) % 20001) / 10000.0 - 1.0);
    }
    return KELVOR_OK;
}

long peak_kb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atol(line + 6);
    }
    std::fclose(f);
    return kb;
}

TEST(Streaming, TenMinutesInABoundedWorkingSet) {
    // Ten minutes at 16 kHz (77 MB per signal as doubles) scored in a child
    // process whose peak resident memory is reset first: the working set,
    // details included, stays far below one signal's size.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FILE* clear = std::fopen("/proc/self/clear_refs", "w");
        if (clear == nullptr || std::fputs("5", clear) < 0 || std::fclose(clear) != 0) _exit(2);
        const long before = peak_kb();
        Generated gx{16000LL * 600, 1};
        Generated gy{16000LL * 600, 2};
        const kelvor_signal sx{gx.length, read_generated, &gx};
        const kelvor_signal sy{gy.length, read_generated, &gy};
        kelvor_details* d = nullptr;
        if (kelvor_details_signals(&sx, &sy, 16000, nullptr, &d) != KELVOR_OK) _exit(3);
        kelvor_details_free(d);
        const long grown = peak_kb() - before;
        _exit(grown >= 0 && grown < 32 * 1024 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no peak reset, 3: scoring failed, 4: too much memory";
}

}  // namespace
