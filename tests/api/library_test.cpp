// The library's C interface: the tool's scores, the same bits from several
// threads as from separate processes, every status, the 10 kHz entry and
// the details.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "conditioning/alignment.h"
#include "conditioning/resampler.h"
#include "kelvor/stoi.h"
#include "measures/stoi.h"
#include "support.h"

using namespace kelvor;

namespace {

// Options of the tool's chain: align, shift, double table.
kelvor_options tool_options(int align, int shift, int double_table) {
    kelvor_options o{};
    o.align = align;
    o.shift = shift;
    o.double_table = double_table;
    return o;
}

struct Pair {
    std::vector<int16_t> ref;
    std::vector<int16_t> deg;
    std::vector<std::string> flags;  // the tool's options
    kelvor_options options;          // the same for the library
};

struct Result {
    int status;
    double stoi;
    double estoi;
    int delay;
};

// Speech-like references and degraded copies: delayed, attenuated, noisy,
// of other lengths, under each way of choosing the delay and both tables.
std::vector<Pair> make_pairs() {
    struct Shape {
        int32_t length;
        int32_t delay;
        double noise;
        std::vector<std::string> flags;
        kelvor_options options;
    };
    const Shape shapes[] = {
        {16000, 0, 0.3, {}, tool_options(0, 0, 0)},          {14001, 211, 0.5, {"-a"}, tool_options(1, 0, 0)},
        {20000, 37, 0.2, {"-s37"}, tool_options(0, 37, 0)},  {12500, 0, 1.0, {"-r"}, tool_options(0, 0, 1)},
        {18000, 640, 0.1, {"-a", "-r"}, tool_options(1, 0, 1)}, {15000, 900, 0.4, {"-s900"}, tool_options(0, 900, 0)},
    };
    std::vector<Pair> pairs;
    uint32_t seed = 7;
    for (const Shape& s : shapes) {
        Pair p;
        p.ref = speechlike(s.length, seed++);
        const std::vector<int16_t> other = speechlike(s.length, seed++, 3000.0);
        p.deg.assign(static_cast<size_t>(s.length - 400), 0);
        for (size_t i = static_cast<size_t>(s.delay); i < p.deg.size(); i++) {
            p.deg[i] = static_cast<int16_t>(0.6 * p.ref[i - s.delay] + s.noise * other[i]);
        }
        p.flags = s.flags;
        p.options = s.options;
        pairs.push_back(p);
    }
    return pairs;
}

Result in_this_process(const Pair& p) {
    kelvor_scores s{};
    s.stoi = s.estoi = -9.0;
    s.delay = -9;
    const int status = kelvor_score_pcm8k(p.ref.data(), static_cast<int64_t>(p.ref.size()), p.deg.data(),
                                          static_cast<int64_t>(p.deg.size()), &p.options, &s);
    return Result{status, s.stoi, s.estoi, s.delay};
}

Result parse_pair_output(const std::string& out) {
    Result r{-99, 0.0, 0.0, 0};
    if (std::sscanf(out.c_str(), "status %d stoi %la estoi %la delay %d", &r.status, &r.stoi, &r.estoi, &r.delay) != 4) {
        r.status = -99;
    }
    return r;
}

// The library scoring one pair in a process of its own.
Result in_own_process(const std::string& dir, int index, const Pair& p, long refuse_from = 0) {
    std::vector<std::string> argv{KELVOR_SCORE_PAIR_EXE};
    argv.insert(argv.end(), p.flags.begin(), p.flags.end());
    if (refuse_from > 0) argv.push_back("-f" + std::to_string(refuse_from));
    argv.push_back(dir + "/r" + std::to_string(index) + ".raw");
    argv.push_back(dir + "/d" + std::to_string(index) + ".raw");
    const ToolRun run = run_program(argv, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    return parse_pair_output(run.out);
}

std::string rounded(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", v);
    return text;
}

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        pairs_ = make_pairs();
        for (size_t i = 0; i < pairs_.size(); i++) {
            write_file(dir_ + "/r" + std::to_string(i) + ".raw", raw_bytes(pairs_[i].ref));
            write_file(dir_ + "/d" + std::to_string(i) + ".raw", raw_bytes(pairs_[i].deg));
        }
    }
    void TearDown() override { remove_tree(dir_); }

    std::string dir_;
    std::vector<Pair> pairs_;
};

TEST_F(Library, ThreadsGiveTheBitsOfSeparateProcessesAndTheToolsScores) {
    std::vector<Result> alone;
    for (size_t i = 0; i < pairs_.size(); i++) {
        const Result r = in_own_process(dir_, static_cast<int>(i), pairs_[i]);
        ASSERT_EQ(r.status, KELVOR_OK) << "pair " << i;
        alone.push_back(r);

        // The tool on the same samples prints the same scores and delay.
        std::vector<std::string> args{"-h"};
        args.insert(args.end(), pairs_[i].flags.begin(), pairs_[i].flags.end());
        args.push_back("r" + std::to_string(i) + ".raw");
        args.push_back("d" + std::to_string(i) + ".raw");
        const ToolRun tool = run_tool(args, dir_);
        ASSERT_EQ(tool.status, 0) << tool.out;
        const std::string metrics = "Metrics  :  STOI " + rounded(r.stoi) + "  ESTOI " + rounded(r.estoi);
        EXPECT_NE(tool.out.find(metrics), std::string::npos) << "pair " << i << ": " << tool.out;
        if (pairs_[i].options.align) {
            const std::string shift = r.delay == 0 ? "(No delay found)" : "Shift " + std::to_string(r.delay) + " samples";
            EXPECT_NE(tool.out.find("Search alignment... " + shift), std::string::npos) << tool.out;
        } else {
            EXPECT_EQ(r.delay, pairs_[i].options.shift);
        }
    }

    // Four threads, each through all pairs three times from its own
    // starting pair, so that every pair runs beside different others.
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 3;
    const size_t n = pairs_.size();
    std::vector<std::vector<Result>> seen(THREADS, std::vector<Result>(ROUNDS * n));
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&, t] {
            for (size_t k = 0; k < ROUNDS * n; k++) {
                const size_t i = (k + static_cast<size_t>(t) * 2) % n;
                seen[t][k] = in_this_process(pairs_[i]);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < THREADS; t++) {
        for (size_t k = 0; k < ROUNDS * n; k++) {
            const size_t i = (k + static_cast<size_t>(t) * 2) % n;
            const Result& r = seen[t][k];
            EXPECT_EQ(r.status, KELVOR_OK);
            EXPECT_TRUE(same_bits(r.stoi, alone[i].stoi)) << "thread " << t << " pair " << i;
            EXPECT_TRUE(same_bits(r.estoi, alone[i].estoi)) << "thread " << t << " pair " << i;
            EXPECT_EQ(r.delay, alone[i].delay);
        }
    }
}

// The thread setting: refused when negative, and whatever its value the
// scores and delays are the one-thread bits.
TEST_F(Library, ThreadCountChangesNoBit) {
    EXPECT_EQ(kelvor_set_threads(-1), KELVOR_ERR_BAD_ARGUMENT);
    int previous = kelvor_set_threads(1);
    EXPECT_EQ(previous, 0);  // the default: every processor
    std::vector<Result> alone;
    for (const Pair& p : pairs_) alone.push_back(in_this_process(p));
    for (int threads : {2, 3, 7, 0}) {
        kelvor_set_threads(threads);
        for (size_t i = 0; i < pairs_.size(); i++) {
            const Result r = in_this_process(pairs_[i]);
            EXPECT_TRUE(r.status == alone[i].status && same_bits(r.stoi, alone[i].stoi) &&
                        same_bits(r.estoi, alone[i].estoi) && r.delay == alone[i].delay)
                << "pair " << i << " threads " << threads;
        }
    }
}

// A count above the most threads a call uses is stored as that most, on
// the calling thread alone.
TEST(LibraryThreads, ACountAboveTheMostIsStoredAsTheMost) {
    std::thread([] {
        EXPECT_EQ(kelvor_set_threads(1000), 0);
        EXPECT_EQ(kelvor_set_threads(KELVOR_MAX_THREADS + 1), KELVOR_MAX_THREADS);
        EXPECT_EQ(kelvor_set_threads(-1), KELVOR_ERR_BAD_ARGUMENT);
        EXPECT_EQ(kelvor_set_threads(0), KELVOR_MAX_THREADS);
    }).join();
}

TEST_F(Library, RunningOutOfMemoryIsAStatusAtEveryRequest) {
    // Every heap request of a scoring refused in turn, and all after it:
    // each run ends with a status, never a crash, and the FFT's tables fail
    // as their own status.
    std::vector<int> statuses;
    for (long from = 1; from < 200; from++) {
        const Result r = in_own_process(dir_, 1, pairs_[1], from);
        statuses.push_back(r.status);
        if (r.status == KELVOR_OK) break;
        EXPECT_TRUE(r.status == KELVOR_ERR_NO_MEMORY || r.status == KELVOR_ERR_FFT_TABLES) << from << ": " << r.status;
    }
    ASSERT_EQ(statuses.back(), KELVOR_OK) << "still failing after " << statuses.size() << " requests";
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), KELVOR_ERR_FFT_TABLES), statuses.end());
    EXPECT_EQ(statuses.front(), KELVOR_ERR_NO_MEMORY);
}

TEST(LibraryStatus, EveryRefusalHasItsStatusAndText) {
    const std::vector<int16_t> speech = speechlike(16000, 3);
    const std::vector<int16_t> silent(16000, 0);
    const std::vector<double> speech10(20000, 0.25);
    std::vector<double> nan10 = speech10;
    nan10[777] = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> inf10 = speech10;
    inf10[3] = -std::numeric_limits<double>::infinity();
    const kelvor_options align_and_shift = tool_options(1, 5, 0);
    const kelvor_options shift_901 = tool_options(0, 901, 0);
    const kelvor_options shift_negative = tool_options(0, -1, 0);
    kelvor_options shift_1125 = tool_options(0, 1125, 0);
    shift_1125.profile = KELVOR_PROFILE_TOOL;
    kelvor_options shift_1126 = shift_1125;
    shift_1126.shift = 1126;
    const int64_t n = static_cast<int64_t>(speech.size());
    const int64_t n10 = static_cast<int64_t>(speech10.size());
    kelvor_scores out{};

    struct Case {
        const char* what;
        int status;
        int expected;
    };
    const Case cases[] = {
        {"speech", kelvor_score_pcm8k(speech.data(), n, speech.data(), n, nullptr, &out), KELVOR_OK},
        {"null result", kelvor_score_pcm8k(speech.data(), n, speech.data(), n, nullptr, nullptr), KELVOR_ERR_BAD_ARGUMENT},
        {"null samples", kelvor_score_pcm8k(nullptr, n, speech.data(), n, nullptr, &out), KELVOR_ERR_BAD_ARGUMENT},
        {"negative count", kelvor_score_pcm8k(speech.data(), -1, speech.data(), n, nullptr, &out), KELVOR_ERR_BAD_ARGUMENT},
        {"too long", kelvor_score_pcm8k(speech.data(), int64_t{KELVOR_MAX_SAMPLES} + 1, speech.data(), n, nullptr, &out),
         KELVOR_ERR_TOO_LONG},
        {"empty", kelvor_score_pcm8k(nullptr, 0, nullptr, 0, nullptr, &out), KELVOR_ERR_TOO_SHORT},
        {"silent reference", kelvor_score_pcm8k(silent.data(), n, speech.data(), n, nullptr, &out), KELVOR_ERR_SILENT},
        {"short", kelvor_score_pcm8k(speech.data(), 3000, speech.data(), 3000, nullptr, &out), KELVOR_ERR_TOO_SHORT},
        {"align and shift", kelvor_score_pcm8k(speech.data(), n, speech.data(), n, &align_and_shift, &out),
         KELVOR_ERR_CONFLICT},
        {"shift 901", kelvor_score_pcm8k(speech.data(), n, speech.data(), n, &shift_901, &out), KELVOR_ERR_BAD_SHIFT},
        {"shift -1", kelvor_score_pcm8k(speech.data(), n, speech.data(), n, &shift_negative, &out), KELVOR_ERR_BAD_SHIFT},
        {"10k shift 1125", kelvor_score_10k(speech10.data(), n10, speech10.data(), n10, &shift_1125, &out), KELVOR_OK},
        {"10k shift 1126", kelvor_score_10k(speech10.data(), n10, speech10.data(), n10, &shift_1126, &out),
         KELVOR_ERR_BAD_SHIFT},
        {"10k NaN", kelvor_score_10k(nan10.data(), n10, speech10.data(), n10, nullptr, &out), KELVOR_ERR_NOT_FINITE},
        {"10k infinity", kelvor_score_10k(speech10.data(), n10, inf10.data(), n10, nullptr, &out), KELVOR_ERR_NOT_FINITE},
    };
    for (const Case& c : cases) EXPECT_EQ(c.status, c.expected) << c.what;

    // Every status has a text of its own; anything else is unknown.
    std::vector<std::string> texts;
    for (int status = KELVOR_OK; status > KELVOR_ERR_LAST; status--) {
        const std::string text = kelvor_status_text(status);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 0) << status;
        EXPECT_NE(text, "Unknown status") << status;
        texts.push_back(text);
    }
    EXPECT_STREQ(kelvor_status_text(KELVOR_ERR_LAST), "Unknown status");
    EXPECT_STREQ(kelvor_status_text(1), "Unknown status");
    EXPECT_STREQ(kelvor_version(), "2.0.0");
}

// Resampled 10 kHz samples of a pair, as the tool hands them to the
// measures.
void resampled(const std::vector<int16_t>& x, std::vector<int16_t>* y) {
    const int32_t n = static_cast<int32_t>(x.size());
    y->assign(static_cast<size_t>(resampled_length(n)), 0);
    resample_8k_to_10k(x.data(), n, y->data(), resampler_taps_float);
}

std::vector<double> as_doubles(const std::vector<int16_t>& x) {
    std::vector<double> d(x.size());
    for (size_t i = 0; i < x.size(); i++) d[i] = x[i] / 32768.0;
    return d;
}

TEST(Library10k, SixteenBitSamplesGiveTheMeasuresBitsAndTheDelayIsFound) {
    std::vector<int16_t> ref10, deg10;
    resampled(speechlike(16000, 41), &ref10);
    std::vector<int16_t> deg8 = speechlike(16000, 41);
    for (int16_t& v : deg8) v = static_cast<int16_t>(v / 3);
    resampled(deg8, &deg10);
    MeasureResult measured{};
    ASSERT_EQ(stoi_estoi_pcm(ref10.data(), deg10.data(), static_cast<int32_t>(ref10.size()), &measured), MEASURE_OK);

    const std::vector<double> x = as_doubles(ref10);
    std::vector<double> y = as_doubles(deg10);
    kelvor_options tool = tool_options(0, 0, 0);
    tool.profile = KELVOR_PROFILE_TOOL;
    kelvor_scores s{};
    ASSERT_EQ(kelvor_score_10k(x.data(), static_cast<int64_t>(x.size()), y.data(), static_cast<int64_t>(y.size()),
                               &tool, &s),
              KELVOR_OK);
    EXPECT_TRUE(same_bits(s.stoi, measured.stoi));
    EXPECT_TRUE(same_bits(s.estoi, measured.estoi));

    // The degraded signal delayed by 1000 samples (100 ms): found, and
    // scored as the undelayed pair.
    y.insert(y.begin(), 1000, 0.0);
    kelvor_options align = tool;
    align.align = 1;
    kelvor_scores aligned{};
    ASSERT_EQ(kelvor_score_10k(x.data(), static_cast<int64_t>(x.size()), y.data(), static_cast<int64_t>(y.size()),
                               &align, &aligned),
              KELVOR_OK);
    EXPECT_EQ(aligned.delay, 1000);
    EXPECT_NEAR(aligned.stoi, s.stoi, 1e-3);
}

TEST(Library10k, DelaySearchOnDoublesIsThePlainSumPerDelay) {
    // Eight delays at a time, and the remainder, against one sum per delay;
    // ties go to the smaller delay.
    std::vector<double> ref(3001), deg(3001 + 29);
    for (size_t i = 0; i < ref.size(); i++) ref[i] = std::sin(0.37 * i) + 0.25 * std::cos(1.7 * i);
    for (size_t i = 0; i < deg.size(); i++) deg[i] = std::sin(0.37 * i + 0.9) + 1e-3 * std::cos(5.1 * i);
    int32_t best = 0;
    double best_sum = 0.0;
    for (int32_t s = 0; s < 30; s++) {
        double sum = 0.0;
        for (size_t n = 0; n < ref.size(); n++) sum = sum + ref[n] * deg[n + s];
        if (s == 0 || sum > best_sum) best = s, best_sum = sum;
    }
    EXPECT_EQ(search_alignment_double(ref.data(), deg.data(), 3001, 30), best);
    std::vector<double> zeros(3100, 0.0);
    EXPECT_EQ(search_alignment_double(ref.data(), zeros.data(), 3001, 30), 0);
}

TEST(LibraryDetails, TheirMeansAreTheScores) {
    std::vector<int16_t> ref = speechlike(24000, 51);
    for (size_t i = 8000; i < 12000; i++) ref[i] = 0;  // a pause that removal drops
    std::vector<int16_t> deg = ref;
    const std::vector<int16_t> noise = speechlike(24000, 52, 5000.0);
    for (size_t i = 0; i < deg.size(); i++) deg[i] = static_cast<int16_t>(deg[i] / 2 + noise[i] / 2);
    const kelvor_options options = tool_options(1, 0, 0);
    kelvor_details* d = nullptr;
    ASSERT_EQ(kelvor_details_pcm8k(ref.data(), 24000, deg.data(), 24000, &options, &d), KELVOR_OK);
    kelvor_scores plain{};
    ASSERT_EQ(kelvor_score_pcm8k(ref.data(), 24000, deg.data(), 24000, &options, &plain), KELVOR_OK);

    ASSERT_EQ(d->band_count, 15);
    const int32_t m = d->segment_count;
    double sum = 0.0;
    for (int32_t i = 0; i < 15 * m; i++) sum = sum + d->stoi_correlation[i];
    EXPECT_TRUE(same_bits(sum / (15 * m), plain.stoi));
    EXPECT_TRUE(same_bits(d->scores.stoi, plain.stoi));
    double esum = 0.0;
    for (int32_t i = 0; i < m; i++) esum = esum + d->estoi_segment[i];
    EXPECT_TRUE(same_bits(esum / m, plain.estoi));
    EXPECT_EQ(d->scores.delay, plain.delay);

    // The pause's frames are gone; segments are kept frames m .. m + 29,
    // so M = kept - 31, and they run forward in time.
    EXPECT_EQ(d->frame_count, (30000 - 257) / 128 + 1);
    EXPECT_LT(d->kept_count, d->frame_count - 25);
    EXPECT_EQ(m, d->kept_count - 31);
    for (int32_t i = 1; i < d->kept_count; i++) EXPECT_LT(d->kept_frames[i - 1], d->kept_frames[i]);
    for (int32_t i = 0; i < m; i++) {
        EXPECT_GE(d->segment_end[i] - d->segment_start[i], 0.3968 - 1e-12);
        if (i > 0) {
            EXPECT_GT(d->segment_start[i], d->segment_start[i - 1]);
        }
    }
    EXPECT_DOUBLE_EQ(d->band_centre_hz[0], 150.0);
    EXPECT_NEAR(d->band_centre_hz[14], 150.0 * 16.0 * std::cbrt(4.0), 1e-9);  // 150 Hz * 2^(14/3)
    kelvor_details_free(d);

    kelvor_details* none = reinterpret_cast<kelvor_details*>(&plain);
    EXPECT_EQ(kelvor_details_pcm8k(ref.data(), 3000, deg.data(), 3000, nullptr, &none), KELVOR_ERR_TOO_SHORT);
    EXPECT_EQ(none, nullptr);
    kelvor_details_free(nullptr);
}

}  // namespace
