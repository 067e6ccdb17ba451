// The whole measure on 16-bit signals: properties, failures, and agreement
// with independently computed scores.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "measures/correlation.h"
#include "measures/memory.h"
#include "measures/pipeline.h"
#include "measures/spectrum.h"
#include "measures/stoi.h"
#include "measures_support.h"
#include "support.h"

using namespace kelvor;

namespace {

typedef MeasureResult Scores;

Scores measure(const std::vector<int16_t>& ref, const std::vector<int16_t>& deg) {
    const Scores s = measure_run(ref, deg);
    EXPECT_EQ(s.failure.status, MEASURE_OK);
    return s;
}

// Speech-like reference plus an independently seeded disturbance.
std::vector<int16_t> noisy_copy(const std::vector<int16_t>& ref, uint32_t seed, double amount) {
    std::vector<int16_t> other = speechlike(static_cast<int32_t>(ref.size()), seed, 4000.0);
    std::vector<int16_t> out(ref.size());
    for (size_t i = 0; i < ref.size(); i++) out[i] = static_cast<int16_t>(0.5 * ref[i] + amount * other[i]);
    return out;
}

struct ChildRun {
    int status;
    std::string out;
};

// Runs body in a child process with standard output in a pipe.
template <typename Body>
ChildRun run_in_child(Body body) {
    int fds[2];
    if (pipe(fds) != 0) return {-1, ""};
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    ChildRun run{-1, ""};
    char buf[4096];
    ssize_t got;
    while ((got = read(fds[0], buf, sizeof buf)) > 0) run.out.append(buf, static_cast<size_t>(got));
    close(fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
    return run;
}

// A run whose status is not MEASURE_OK, in a child process: the measures
// must neither print nor end the process.
ChildRun failing_run_in_child(const std::vector<int16_t>& ref, const std::vector<int16_t>& deg,
                              MeasureStatus expected) {
    return run_in_child([&] { _exit(measure_run(ref, deg).failure.status == expected ? 0 : 2); });
}

// All frames equally loud: period 64 divides the hop.
std::vector<int16_t> steady_tone(int32_t count) {
    std::vector<int16_t> s(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; i++) s[i] = static_cast<int16_t>(9000.0 * std::sin(6.283185307179586 * (i % 64) / 64.0));
    return s;
}

}  // namespace

TEST(Measure, IdenticalSignalsScoreOne) {
    std::vector<int16_t> ref = speechlike(30000, 11);
    Scores s = measure(ref, ref);
    EXPECT_NEAR(s.stoi, 1.0, 1e-9);
    EXPECT_NEAR(s.estoi, 1.0, 1e-9);
    EXPECT_GE(s.t1, 0.0);
    EXPECT_GE(s.t2, 0.0);
}

TEST(Measure, ScaleOfTheDegradedSignalAndRepeatedRunsKeepStoi) {
    std::vector<int16_t> ref = speechlike(30000, 12);
    std::vector<int16_t> deg = noisy_copy(ref, 99, 0.4);
    std::vector<int16_t> twice(deg.size());
    for (size_t i = 0; i < deg.size(); i++) twice[i] = static_cast<int16_t>(2 * deg[i]);
    Scores once = measure(ref, deg);
    Scores doubled = measure(ref, twice);
    Scores again = measure(ref, deg);  // every run starts its own noise generator afresh
    EXPECT_EQ(once.stoi, doubled.stoi);
    EXPECT_TRUE(same_bits(once.stoi, again.stoi));
    EXPECT_NEAR(once.estoi, doubled.estoi, 1e-9);
    EXPECT_TRUE(same_bits(once.estoi, again.estoi));
    EXPECT_TRUE(once.stoi > 0.3 && once.stoi < 0.999);
}

TEST(Measure, ShortestRunnableInputHasOneSegment) {
    // 4352 samples of steady sound: 32 frames kept, 31 after rebuilding.
    std::vector<int16_t> ref = steady_tone(4352);
    Scores s = measure(ref, ref);
    EXPECT_NEAR(s.stoi, 1.0, 1e-9);
    EXPECT_NEAR(s.estoi, 1.0, 1e-9);
}

TEST(Measure, TooLittleSpeechIsAStatusWithoutOutput) {
    // 4224 samples of steady sound: all 31 frames kept, 30 after rebuilding.
    std::vector<int16_t> tone = steady_tone(4224);
    ChildRun run = failing_run_in_child(tone, tone, MEASURE_TOO_SHORT);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    // A digitally silent reference, whatever the degraded signal holds.
    std::vector<int16_t> silent(20000, 0);
    std::vector<int16_t> deg = speechlike(20000, 14);
    run = failing_run_in_child(silent, deg, MEASURE_TOO_SHORT);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
}

TEST(Measure, OutOfMemoryNamesOperationAndArray) {
    // A byte count that does not fit in size_t is refused like a failed
    // allocation.
    MeasureFailure failure{};
    EXPECT_EQ(measure_doubles(SIZE_MAX / 4, "STOI", "ax_hat", &failure), nullptr);
    EXPECT_EQ(failure.status, MEASURE_NO_MEMORY);
    EXPECT_STREQ(failure.operation, "STOI");
    EXPECT_STREQ(failure.array, "ax_hat");
}

TEST(Measure, SilentEndOfDegradedSignalGivesAFiniteScore) {
    // A degraded file one second shorter than its reference arrives padded
    // with digital silence: its band envelopes are exactly zero there.
    std::vector<int16_t> ref = speechlike(40000, 15);
    std::vector<int16_t> deg = noisy_copy(ref, 97, 0.2);
    for (size_t i = 30000; i < deg.size(); i++) deg[i] = 0;
    Scores s = measure(ref, deg);
    EXPECT_TRUE(std::isfinite(s.stoi));
    EXPECT_TRUE(std::isfinite(s.estoi));
    Scores intact = measure(ref, noisy_copy(ref, 97, 0.2));
    // Segments over the silent second correlate 0, so the score drops.
    EXPECT_LT(s.stoi, intact.stoi - 0.05);
    EXPECT_GT(s.stoi, 0.0);
}

TEST(Measure, AgreesWithIndependentScores) {
    std::ifstream table(source_path("tests/data/measures/expected.tsv"));
    ASSERT_TRUE(table.good());
    std::string line;
    std::getline(table, line);  // header
    int pairs = 0;
    while (std::getline(table, line)) {
        if (line.empty()) continue;
        std::istringstream fields(line);
        std::string ref_name, deg_name;
        double stoi, estoi, stoi_tol, estoi_tol;
        fields >> ref_name >> deg_name >> stoi >> estoi >> stoi_tol >> estoi_tol;
        ASSERT_FALSE(fields.fail()) << line;
        std::vector<int16_t> ref = load_samples(source_path("tests/data/measures/" + ref_name));
        std::vector<int16_t> deg = load_samples(source_path("tests/data/measures/" + deg_name));
        ASSERT_EQ(ref.size(), deg.size()) << ref_name;
        ASSERT_GT(ref.size(), 10000u) << ref_name;
        Scores s = measure(ref, deg);
        EXPECT_NEAR(s.stoi, stoi, stoi_tol) << ref_name;
        EXPECT_NEAR(s.estoi, estoi, estoi_tol) << ref_name;
        std::printf("%-24s STOI %.10f (diff %.2e)  ESTOI %.10f (diff %.2e)\n", ref_name.c_str(),
                    s.stoi, s.stoi - stoi, s.estoi, s.estoi - estoi);
        pairs++;
    }
    EXPECT_EQ(pairs, 6);
}

// The whole measure with its steps shared out between threads: the scores
// and every intermediate result (kept frames, each band's and segment's
// correlation, each segment's ESTOI) are the one-thread bits, at every
// level, on 16-bit samples and on doubles. The signals are long enough for
// several pieces in every step, with pauses that silent-frame removal drops
// (so blocks of the rebuilt signal and kept frames part ways), and of
// lengths that leave different remainders of frames and segments.
template <typename T>
std::vector<double> everything(const std::vector<T>& ref, const std::vector<T>& deg) {
    const int32_t n = static_cast<int32_t>(ref.size());
    std::vector<int32_t> kept(static_cast<size_t>(frame_count(n)) + 1, -1);
    MeasureDetails d{kept.data(), 0, 0, nullptr, nullptr};
    MeasureResult r{};
    MeasureStatus status;
    if constexpr (std::is_same<T, int16_t>::value) status = stoi_estoi_pcm(ref.data(), deg.data(), n, &r, &d);
    else status = stoi_estoi(ref.data(), deg.data(), n, &r, &d);
    EXPECT_EQ(status, MEASURE_OK);
    EXPECT_LT(d.kept_count, frame_count(n)) << "no frame was dropped";
    std::vector<double> all{r.stoi, r.estoi};
    all.insert(all.end(), kept.begin(), kept.begin() + d.kept_count);
    if (status == MEASURE_OK) {
        all.insert(all.end(), d.stoi_correlation, d.stoi_correlation + BAND_COUNT * d.segments);
        all.insert(all.end(), d.estoi_segment, d.estoi_segment + d.segments);
    }
    std::free(d.stoi_correlation);
    std::free(d.estoi_segment);
    return all;
}

TEST(MeasureThreads, SharedStepsGiveTheOneThreadBits) {
    for (int32_t n : {150000, 300000 + 128 * 3 + 77, 452101}) {
        std::vector<int16_t> ref = speechlike(n, static_cast<uint32_t>(n));
        for (int32_t at : {n / 7, n / 2 - 300, n - n / 5}) {
            for (int32_t i = at; i < at + 6000; i++) ref[static_cast<size_t>(i)] = 0;
        }
        const std::vector<int16_t> deg = noisy_copy(ref, static_cast<uint32_t>(n) + 1, 0.4);
        std::vector<double> ref_d(ref.begin(), ref.end()), deg_d(deg.begin(), deg.end());
        for (size_t i = 0; i < ref_d.size(); i++) {
            ref_d[i] *= 0x1p-15;
            deg_d[i] *= 0x1p-15;
        }
        for (IsaLevel level : kIsaLevels) {
            if (level > isa_supported()) continue;
            IsaLimit limit(level);
            std::vector<double> pcm_alone, double_alone;
            {
                ThreadSetting one(1);
                pcm_alone = everything(ref, deg);
                double_alone = everything(ref_d, deg_d);
            }
            for (int32_t threads : kThreadCounts) {
                ThreadSetting shared(threads);
                EXPECT_TRUE(same_bits(everything(ref, deg), pcm_alone)) << n << " level " << level << " x" << threads;
                EXPECT_TRUE(same_bits(everything(ref_d, deg_d), double_alone))
                    << "doubles, " << n << " level " << level << " x" << threads;
            }
        }
    }
}
