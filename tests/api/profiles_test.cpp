// The two profiles through the C interface: which call gives which numbers,
// the limits at their edges, every refusal with its status, the table of
// statuses, and inputs that only a power of two apart score alike.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "kelvor/stoi.h"
#include "support.h"

namespace {

std::vector<double> as_doubles(const std::vector<int16_t>& x) {
    std::vector<double> d(x.size());
    for (size_t i = 0; i < x.size(); i++) d[i] = x[i] / 32768.0;
    return d;
}

kelvor_options with_profile(int profile) {
    kelvor_options o{};
    o.profile = profile;
    return o;
}

struct Pair {
    std::vector<int16_t> ref;
    std::vector<int16_t> deg;
};

Pair speech_pair(int32_t n, uint32_t seed) {
    Pair p;
    p.ref = speechlike(n, seed);
    const std::vector<int16_t> other = speechlike(n, seed + 1, 4000.0);
    p.deg.resize(static_cast<size_t>(n));
    for (size_t i = 0; i < p.deg.size(); i++) p.deg[i] = static_cast<int16_t>(0.7 * p.ref[i] + 0.5 * other[i]);
    return p;
}

TEST(Profiles, EachCallGivesItsProfilesBits) {
    const Pair p = speech_pair(24000, 5);
    const std::vector<double> x = as_doubles(p.ref);
    const std::vector<double> y = as_doubles(p.deg);
    const int64_t n = static_cast<int64_t>(x.size());
    const kelvor_options tool = with_profile(KELVOR_PROFILE_TOOL);
    const kelvor_options reference = with_profile(KELVOR_PROFILE_REFERENCE);

    kelvor_scores pcm_tool{}, pcm_default{}, any_tool{}, pcm_reference{}, any_reference{}, any_default{};
    ASSERT_EQ(kelvor_score_pcm8k(p.ref.data(), n, p.deg.data(), n, &tool, &pcm_tool), KELVOR_OK);
    ASSERT_EQ(kelvor_score_pcm8k(p.ref.data(), n, p.deg.data(), n, nullptr, &pcm_default), KELVOR_OK);
    ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 8000, &tool, &any_tool), KELVOR_OK);
    ASSERT_EQ(kelvor_score_pcm8k(p.ref.data(), n, p.deg.data(), n, &reference, &pcm_reference), KELVOR_OK);
    ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 8000, &reference, &any_reference), KELVOR_OK);
    ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 8000, nullptr, &any_default), KELVOR_OK);

    // The tool profile: the tool's chain whichever call; the default of
    // the 16-bit call.
    EXPECT_TRUE(same_bits(any_tool.stoi, pcm_tool.stoi) && same_bits(any_tool.estoi, pcm_tool.estoi));
    EXPECT_TRUE(same_bits(pcm_default.stoi, pcm_tool.stoi));
    EXPECT_EQ(pcm_tool.profile, KELVOR_PROFILE_TOOL);
    // The reference profile: 16-bit samples and their doubles alike; the
    // default of the any-rate call.
    EXPECT_TRUE(same_bits(pcm_reference.stoi, any_reference.stoi) && same_bits(pcm_reference.estoi, any_reference.estoi));
    EXPECT_TRUE(same_bits(any_default.stoi, any_reference.stoi));
    EXPECT_EQ(any_reference.profile, KELVOR_PROFILE_REFERENCE);
    // The two profiles differ, but not by much.
    EXPECT_NE(pcm_tool.stoi, any_reference.stoi);
    EXPECT_NEAR(pcm_tool.stoi, any_reference.stoi, 0.02);

    // At 10 kHz the 10 kHz call is the any-rate call.
    kelvor_scores at10{}, any10{};
    ASSERT_EQ(kelvor_score_10k(x.data(), n, y.data(), n, nullptr, &at10), KELVOR_OK);
    ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 10000, nullptr, &any10), KELVOR_OK);
    EXPECT_TRUE(same_bits(at10.stoi, any10.stoi) && same_bits(at10.estoi, any10.estoi));

    // Details: the reference profile's sums in its documented order.
    kelvor_details* d = nullptr;
    ASSERT_EQ(kelvor_score_details(x.data(), n, y.data(), n, 8000, nullptr, &d), KELVOR_OK);
    const int32_t m = d->segment_count;
    EXPECT_EQ(m, d->kept_count - 30);
    double stoi = 0.0;
    for (int32_t s = 0; s < m; s++) {
        double bands = 0.0;
        for (int32_t j = 0; j < 15; j++) bands = bands + d->stoi_correlation[j * m + s];
        stoi = stoi + bands;
    }
    double estoi = 0.0;
    for (int32_t s = 0; s < m; s++) estoi = estoi + d->estoi_segment[s];
    EXPECT_TRUE(same_bits(stoi / (15 * m), any_reference.stoi));
    EXPECT_TRUE(same_bits(estoi / m, any_reference.estoi));
    EXPECT_TRUE(same_bits(d->scores.stoi, any_reference.stoi));
    kelvor_details_free(d);
}

TEST(Profiles, DelaysAreFoundAndGivenInTheInputsSamples) {
    const Pair p = speech_pair(24000, 9);
    std::vector<double> x = as_doubles(p.ref);
    std::vector<double> y(x.size(), 0.0);
    for (size_t i = 480; i < y.size(); i++) y[i] = 0.5 * x[i - 480];  // 60 ms late at 8 kHz
    const int64_t n = static_cast<int64_t>(x.size());
    kelvor_options align{};
    align.align = 1;
    kelvor_scores found{};
    ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 8000, &align, &found), KELVOR_OK);
    EXPECT_EQ(found.delay, 480);
    EXPECT_DOUBLE_EQ(found.delay_ms, 60.0);
    kelvor_options shift{};
    shift.shift = 480;
    kelvor_scores given{};
    ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 8000, &shift, &given), KELVOR_OK);
    EXPECT_EQ(given.delay, 480);
    EXPECT_DOUBLE_EQ(given.delay_ms, 60.0);
    EXPECT_GT(given.stoi, 0.99);
    EXPECT_NEAR(found.stoi, given.stoi, 1e-3);
}

TEST(Profiles, LimitsAtTheirEdges) {
    EXPECT_EQ(kelvor_max_shift(8000), KELVOR_MAX_SHIFT_8K);
    EXPECT_EQ(kelvor_max_shift(10000), KELVOR_MAX_SHIFT_10K);
    EXPECT_EQ(kelvor_max_shift(16000), 1800);
    EXPECT_EQ(kelvor_max_shift(44100), 4961);
    EXPECT_EQ(kelvor_max_shift(0), 0);
    EXPECT_EQ(kelvor_max_shift(NAN), 0);

    const Pair p = speech_pair(16000, 13);
    const std::vector<double> x = as_doubles(p.ref);
    const int64_t n = static_cast<int64_t>(x.size());
    kelvor_scores out{};
    struct Case {
        double rate;
        int shift;
        int expected;
    };
    const Case cases[] = {
        {8000, 900, KELVOR_OK},       {8000, 901, KELVOR_ERR_BAD_SHIFT},     {10000, 1125, KELVOR_OK},
        {10000, 1126, KELVOR_ERR_BAD_SHIFT}, {16000, 1800, KELVOR_OK},      {16000, 1801, KELVOR_ERR_BAD_SHIFT},
        {16000, -1, KELVOR_ERR_BAD_SHIFT},   {KELVOR_MIN_RATE, 0, KELVOR_OK}, {KELVOR_MIN_RATE - 1, 0, KELVOR_ERR_BAD_RATE},
        {KELVOR_MAX_RATE + 1, 0, KELVOR_ERR_BAD_RATE}, {9999, 0, KELVOR_ERR_BAD_RATE}, {16000.5, 0, KELVOR_ERR_BAD_RATE},
    };
    for (const Case& c : cases) {
        kelvor_options o{};
        o.shift = c.shift;
        const int status = kelvor_score(x.data(), n, x.data(), n, c.rate, &o, &out);
        // A rate of 1000 Hz leaves 160,000 samples at 10 kHz: scored.
        EXPECT_EQ(status, c.expected) << c.rate << " Hz, shift " << c.shift;
    }
    // Shifts of the fixed-rate calls, in both profiles.
    for (int profile : {KELVOR_PROFILE_REFERENCE, KELVOR_PROFILE_TOOL}) {
        kelvor_options o = with_profile(profile);
        o.shift = 1125;
        EXPECT_EQ(kelvor_score_10k(x.data(), n, x.data(), n, &o, &out), KELVOR_OK) << profile;
        o.shift = 1126;
        EXPECT_EQ(kelvor_score_10k(x.data(), n, x.data(), n, &o, &out), KELVOR_ERR_BAD_SHIFT) << profile;
        o.shift = 900;
        EXPECT_EQ(kelvor_score_pcm8k(p.ref.data(), n, p.ref.data(), n, &o, &out), KELVOR_OK) << profile;
        o.shift = 901;
        EXPECT_EQ(kelvor_score_pcm8k(p.ref.data(), n, p.ref.data(), n, &o, &out), KELVOR_ERR_BAD_SHIFT) << profile;
    }
    // The length at 10 kHz is checked before anything is read or
    // allocated: 2^33 samples at 1 kHz would be ten times as many at
    // 10 kHz. The tool profile takes fewer samples than the reference's.
    const int64_t reference_longest = KELVOR_MAX_SAMPLES_REFERENCE;
    kelvor_options pad{};
    pad.unequal = KELVOR_UNEQUAL_PAD;
    EXPECT_EQ(kelvor_score(x.data(), reference_longest / 8, x.data(), 10, 1000, &pad, &out), KELVOR_ERR_TOO_LONG);
    EXPECT_EQ(kelvor_score(x.data(), reference_longest + 1, x.data(), 10, 16000, &pad, &out), KELVOR_ERR_TOO_LONG);
    const kelvor_options tool = with_profile(KELVOR_PROFILE_TOOL);
    EXPECT_EQ(kelvor_score(x.data(), int64_t{KELVOR_MAX_SAMPLES} + 1, x.data(), 10, 8000, &tool, &out),
              KELVOR_ERR_TOO_LONG);
    // The longest input of a profile at a rate, or why there is none. A
    // reader that fails shows where the checks let a call through: the
    // reference profile streams inputs up to that length, and not one more.
    struct Unread {
        static int read(void*, int64_t, int32_t, double*) { return KELVOR_ERR_UNREADABLE; }
    };
    struct Longest {
        int profile;
        double rate;
        int64_t expected;
    };
    const Longest longest[] = {
        {KELVOR_PROFILE_REFERENCE, 10000, reference_longest},
        {KELVOR_PROFILE_REFERENCE, 16000, reference_longest},
        {KELVOR_PROFILE_REFERENCE, 8000, reference_longest * 4 / 5},    // 5 / 4 as many at 10 kHz
        {KELVOR_PROFILE_REFERENCE, 7000, reference_longest * 7 / 10},   // 10 / 7, rounded down
        {KELVOR_PROFILE_REFERENCE, 1000, reference_longest / 10},
        {KELVOR_PROFILE_TOOL, 8000, KELVOR_MAX_SAMPLES},
        {KELVOR_PROFILE_TOOL, 10000, KELVOR_MAX_SAMPLES},
        {KELVOR_PROFILE_TOOL, 16000, KELVOR_ERR_PROFILE},
        {KELVOR_PROFILE_REFERENCE, 999, KELVOR_ERR_BAD_RATE},
        {KELVOR_PROFILE_REFERENCE, NAN, KELVOR_ERR_BAD_RATE},
        {KELVOR_PROFILE_DEFAULT, 8000, KELVOR_ERR_BAD_ARGUMENT},
        {3, 8000, KELVOR_ERR_BAD_ARGUMENT},
    };
    for (const Longest& c : longest) {
        SCOPED_TRACE(std::to_string(c.profile) + " at " + std::to_string(c.rate) + " Hz");
        EXPECT_EQ(kelvor_max_length(c.profile, c.rate), c.expected);
        if (c.profile != KELVOR_PROFILE_REFERENCE || c.expected < 0) continue;
        const kelvor_options o = with_profile(c.profile);
        for (const int64_t length : {c.expected, c.expected + 1}) {
            const kelvor_signal s{length, Unread::read, nullptr};
            EXPECT_EQ(kelvor_score_signals(&s, &s, c.rate, &o, &out),
                      length == c.expected ? KELVOR_ERR_UNREADABLE : KELVOR_ERR_TOO_LONG)
                << length;
        }
    }
    const kelvor_signal endless{INT64_MAX, Unread::read, nullptr};
    EXPECT_EQ(kelvor_score_signals(&endless, &endless, 16000, nullptr, &out), KELVOR_ERR_TOO_LONG);
    const kelvor_signal one_more{int64_t{KELVOR_MAX_SAMPLES} + 1, Unread::read, nullptr};
    EXPECT_EQ(kelvor_score_signals(&one_more, &one_more, 8000, &tool, &out), KELVOR_ERR_TOO_LONG);
}

// What a reader returns ends the call as a status of the table: its own
// failure status, or unreadable for anything else (-1 would read as
// too_short), in both profiles.
TEST(Profiles, AFailedReadEndsTheCallWithAStatusOfTheTable) {
    struct Failing {
        static int read(void* context, int64_t, int32_t, double*) { return *static_cast<const int*>(context); }
    };
    struct Case {
        int returned;
        int expected;
    };
    const Case cases[] = {
        {KELVOR_ERR_FORMAT, KELVOR_ERR_FORMAT},   {KELVOR_ERR_NO_MEMORY, KELVOR_ERR_NO_MEMORY},
        {KELVOR_ERR_FAILED, KELVOR_ERR_FAILED},   {-1, KELVOR_ERR_UNREADABLE},
        {1, KELVOR_ERR_UNREADABLE},               {7, KELVOR_ERR_UNREADABLE},
        {KELVOR_ERR_LAST, KELVOR_ERR_UNREADABLE}, {-1000, KELVOR_ERR_UNREADABLE},
    };
    for (int profile : {KELVOR_PROFILE_REFERENCE, KELVOR_PROFILE_TOOL}) {
        const kelvor_options o = with_profile(profile);
        for (Case c : cases) {
            const kelvor_signal s{16000, Failing::read, &c.returned};
            kelvor_scores out{};
            EXPECT_EQ(kelvor_score_signals(&s, &s, 8000, &o, &out), c.expected)
                << "profile " << profile << ", read returns " << c.returned;
        }
    }
}

TEST(Profiles, EveryRefusalHasItsStatus) {
    const Pair p = speech_pair(16000, 17);
    const std::vector<double> x = as_doubles(p.ref);
    std::vector<double> not_pcm = x;
    not_pcm[10] += 1e-9;
    std::vector<double> nan = x;
    nan[100] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> zeros(x.size(), 0.0);
    const int64_t n = static_cast<int64_t>(x.size());
    kelvor_scores out{};
    kelvor_options reserved{};
    reserved.reserved[10] = 1;  // the last of them
    kelvor_options bad_profile{};
    bad_profile.profile = 3;
    kelvor_options conflict{};
    conflict.align = 1;
    conflict.shift = 4;
    const kelvor_options tool = with_profile(KELVOR_PROFILE_TOOL);
    kelvor_options no_rule{};
    no_rule.unequal = KELVOR_UNEQUAL_TRIM + 1;
    kelvor_options tool_refuses = tool;
    tool_refuses.unequal = KELVOR_UNEQUAL_REFUSE;
    struct Case {
        const char* what;
        int status;
        int expected;
    };
    const Case cases[] = {
        {"reserved options", kelvor_score(x.data(), n, x.data(), n, 8000, &reserved, &out), KELVOR_ERR_BAD_ARGUMENT},
        {"unknown profile", kelvor_score(x.data(), n, x.data(), n, 8000, &bad_profile, &out), KELVOR_ERR_BAD_ARGUMENT},
        {"null result", kelvor_score(x.data(), n, x.data(), n, 8000, nullptr, nullptr), KELVOR_ERR_BAD_ARGUMENT},
        {"null samples", kelvor_score(nullptr, n, x.data(), n, 8000, nullptr, &out), KELVOR_ERR_BAD_ARGUMENT},
        {"align and shift", kelvor_score(x.data(), n, x.data(), n, 8000, &conflict, &out), KELVOR_ERR_CONFLICT},
        {"NaN", kelvor_score(nan.data(), n, x.data(), n, 16000, nullptr, &out), KELVOR_ERR_NOT_FINITE},
        {"NaN, tool", kelvor_score(x.data(), n, nan.data(), n, 8000, &tool, &out), KELVOR_ERR_NOT_FINITE},
        {"silent reference", kelvor_score(zeros.data(), n, x.data(), n, 16000, nullptr, &out), KELVOR_ERR_SILENT},
        {"silent reference, tool", kelvor_score(zeros.data(), n, x.data(), n, 8000, &tool, &out), KELVOR_ERR_SILENT},
        {"silent reference, tool at 10 kHz", kelvor_score_10k(zeros.data(), n, x.data(), n, &tool, &out),
         KELVOR_ERR_SILENT},
        {"one silent sample, tool", kelvor_score(zeros.data(), 1, x.data(), n, 8000, &tool, &out), KELVOR_ERR_SILENT},
        {"empty signals", kelvor_score(nullptr, 0, nullptr, 0, 16000, nullptr, &out), KELVOR_ERR_TOO_SHORT},
        {"empty reference", kelvor_score(nullptr, 0, x.data(), n, 16000, nullptr, &out), KELVOR_ERR_LENGTH_MISMATCH},
        {"lengths differ", kelvor_score(x.data(), n, x.data(), n - 1, 16000, nullptr, &out),
         KELVOR_ERR_LENGTH_MISMATCH},
        {"lengths differ, tool", kelvor_score(x.data(), n, x.data(), n - 1, 8000, &tool, &out), KELVOR_OK},
        {"lengths differ, tool refuses", kelvor_score(x.data(), n, x.data(), n - 1, 8000, &tool_refuses, &out),
         KELVOR_ERR_LENGTH_MISMATCH},
        {"unknown rule for lengths", kelvor_score(x.data(), n, x.data(), n, 8000, &no_rule, &out),
         KELVOR_ERR_BAD_ARGUMENT},
        {"short", kelvor_score(x.data(), 3000, x.data(), 3000, 8000, nullptr, &out), KELVOR_ERR_TOO_SHORT},
        {"tool at 16 kHz", kelvor_score(x.data(), n, x.data(), n, 16000, &tool, &out), KELVOR_ERR_PROFILE},
        {"tool, not 16-bit", kelvor_score(not_pcm.data(), n, x.data(), n, 8000, &tool, &out), KELVOR_ERR_PROFILE},
        {"silent degraded", kelvor_score(x.data(), n, zeros.data(), n, 16000, nullptr, &out), KELVOR_OK},
    };
    for (const Case& c : cases) EXPECT_EQ(c.status, c.expected) << c.what;
}

// Every call writes the reserved members of its scores as zero, over
// whatever the caller's record held, in both profiles, details included.
TEST(Profiles, ReservedScoresAreWrittenAsZero) {
    const Pair p = speech_pair(16000, 29);
    const std::vector<double> x = as_doubles(p.ref);
    const std::vector<double> y = as_doubles(p.deg);
    const int64_t n = static_cast<int64_t>(x.size());
    auto reserved_zero = [](const kelvor_scores& s) {
        for (int r : s.reserved) {
            if (r != 0) return false;
        }
        return true;
    };
    for (int profile : {KELVOR_PROFILE_REFERENCE, KELVOR_PROFILE_TOOL}) {
        const kelvor_options o = with_profile(profile);
        kelvor_scores s[3];
        std::memset(s, 0xA5, sizeof s);
        ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 8000, &o, &s[0]), KELVOR_OK);
        ASSERT_EQ(kelvor_score_pcm8k(p.ref.data(), n, p.deg.data(), n, &o, &s[1]), KELVOR_OK);
        ASSERT_EQ(kelvor_score_10k(x.data(), n, y.data(), n, &o, &s[2]), KELVOR_OK);
        for (const kelvor_scores& one : s) EXPECT_TRUE(reserved_zero(one)) << profile;
        kelvor_details* d = nullptr;
        ASSERT_EQ(kelvor_score_details(x.data(), n, y.data(), n, 8000, &o, &d), KELVOR_OK);
        EXPECT_TRUE(reserved_zero(d->scores)) << profile;
        kelvor_details_free(d);
    }
}

TEST(Profiles, StatusTable) {
    std::set<std::string> names;
    for (int status = KELVOR_OK; status > KELVOR_ERR_LAST; status--) {
        const std::string name = kelvor_status_name(status);
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(kelvor_status_from_name(name.c_str()), status) << name;
        EXPECT_NE(std::string(kelvor_status_text(status)), "Unknown status") << status;
        const int category = kelvor_status_category(status);
        EXPECT_EQ(category == KELVOR_CATEGORY_NONE, status == KELVOR_OK) << status;
    }
    EXPECT_STREQ(kelvor_status_name(KELVOR_ERR_LAST), "unknown");
    EXPECT_EQ(kelvor_status_from_name("nonsense"), KELVOR_ERR_LAST);
    EXPECT_EQ(kelvor_status_from_name(nullptr), KELVOR_ERR_LAST);
    EXPECT_EQ(kelvor_status_category(KELVOR_ERR_MISSING), KELVOR_CATEGORY_MISSING);
    EXPECT_EQ(kelvor_status_category(KELVOR_ERR_NO_MEMORY), KELVOR_CATEGORY_MEMORY);
    EXPECT_EQ(kelvor_status_category(KELVOR_ERR_FORMAT), KELVOR_CATEGORY_FILE);
    EXPECT_EQ(kelvor_status_category(1), KELVOR_CATEGORY_INTERNAL);
    EXPECT_EQ(kelvor_profile_from_name("reference"), KELVOR_PROFILE_REFERENCE);
    EXPECT_EQ(kelvor_profile_from_name("tool"), KELVOR_PROFILE_TOOL);
    EXPECT_EQ(kelvor_profile_from_name("Tool"), -1);
    EXPECT_STREQ(kelvor_profile_name(KELVOR_PROFILE_TOOL), "tool");
}

TEST(Profiles, ScaleByAPowerOfTwoScoresAlike) {
    // The reference's small constant would swamp a signal 2^-60 below full
    // scale, and squares of one 2^600 above would overflow: both are
    // scaled back first.
    const Pair p = speech_pair(16000, 23);
    const std::vector<double> x = as_doubles(p.ref);
    const std::vector<double> y = as_doubles(p.deg);
    const int64_t n = static_cast<int64_t>(x.size());
    kelvor_scores normal{};
    ASSERT_EQ(kelvor_score(x.data(), n, y.data(), n, 8000, nullptr, &normal), KELVOR_OK);
    for (double factor : {0x1p-60, 0x1p-1000, 0x1p600}) {
        std::vector<double> sx = x, sy = y;
        for (double& v : sx) v *= factor;
        for (double& v : sy) v *= factor;
        kelvor_scores scaled{};
        ASSERT_EQ(kelvor_score(sx.data(), n, sy.data(), n, 8000, nullptr, &scaled), KELVOR_OK) << factor;
        EXPECT_NEAR(scaled.stoi, normal.stoi, 1e-12) << factor;
        EXPECT_NEAR(scaled.estoi, normal.estoi, 1e-12) << factor;
    }
}

}  // namespace

// Signals of different lengths, padded or trimmed as asked, score as the
// caller's own equal-length pair would: zeros after the shorter signal, or
// both cut to the shorter, in either profile and with a shift (the
// lengths compared before it). A trimmed signal's tail is never read: a
// NaN there does not count.
TEST(Profiles, UnequalLengthsArePaddedOrTrimmedAsAsked) {
    const Pair p = speech_pair(24000, 41);
    const std::vector<double> x = as_doubles(p.ref);
    const std::vector<double> y = as_doubles(p.deg);
    const int64_t n = static_cast<int64_t>(x.size());
    const int64_t cut = n - 1234;
    struct Case {
        int profile;
        int unequal;
        bool degraded_shorter;
        int shift;
    };
    std::vector<Case> cases;
    for (int profile : {KELVOR_PROFILE_REFERENCE, KELVOR_PROFILE_TOOL}) {
        for (int unequal : {KELVOR_UNEQUAL_PAD, KELVOR_UNEQUAL_TRIM}) {
            for (bool degraded_shorter : {true, false}) {
                for (int shift : {0, 333}) cases.push_back({profile, unequal, degraded_shorter, shift});
            }
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "profile " << c.profile << ", unequal " << c.unequal << ", degraded "
                                          << (c.degraded_shorter ? "shorter" : "longer") << ", shift " << c.shift);
        std::vector<double> ref = x;
        std::vector<double> deg = y;
        std::vector<double>& shorter = c.degraded_shorter ? deg : ref;
        std::vector<double>& longer = c.degraded_shorter ? ref : deg;
        shorter.resize(static_cast<size_t>(cut));
        // The equal-length pair the rule stands for.
        std::vector<double> ref_equal = ref;
        std::vector<double> deg_equal = deg;
        const size_t length = c.unequal == KELVOR_UNEQUAL_PAD ? x.size() : static_cast<size_t>(cut);
        ref_equal.resize(length, 0.0);
        deg_equal.resize(length, 0.0);
        const int rate = c.profile == KELVOR_PROFILE_TOOL ? 8000 : 16000;
        kelvor_options o = with_profile(c.profile);
        o.shift = c.shift;
        kelvor_scores expected{};
        ASSERT_EQ(kelvor_score(ref_equal.data(), static_cast<int64_t>(length), deg_equal.data(),
                               static_cast<int64_t>(length), rate, &o, &expected),
                  KELVOR_OK);
        o.unequal = c.unequal;
        if (c.unequal == KELVOR_UNEQUAL_TRIM) longer[static_cast<size_t>(cut) + 7] = std::nan("");
        kelvor_scores got{};
        ASSERT_EQ(kelvor_score(ref.data(), static_cast<int64_t>(ref.size()), deg.data(),
                               static_cast<int64_t>(deg.size()), rate, &o, &got),
                  KELVOR_OK);
        EXPECT_TRUE(same_bits(got.stoi, expected.stoi));
        EXPECT_TRUE(same_bits(got.estoi, expected.estoi));
        o.unequal = KELVOR_UNEQUAL_REFUSE;
        EXPECT_EQ(kelvor_score(ref.data(), static_cast<int64_t>(ref.size()), deg.data(),
                               static_cast<int64_t>(deg.size()), rate, &o, &got),
                  KELVOR_ERR_LENGTH_MISMATCH);
    }
}
