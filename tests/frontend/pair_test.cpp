// Reading audio files of every kind and scoring pairs at every rate, with
// every kind of error row.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "frontend/audio_file.h"
#include "frontend/error.h"
#include "frontend/pair.h"
#include "frontend/row_format.h"
#include "frontend_support.h"
#include "kelvor/stoi.h"

using namespace kelvor::frontend;

namespace {

class PairTest : public TempDirTest {};

TEST_F(PairTest, EveryContainerAndSubtypeReadsWithItsHeaderHonoured) {
    std::vector<double> x = to_doubles(sample_ref());
    x.resize(8000);
    struct Case {
        const char* name;
        int format;
        int rate;
        bool pcm16;
        double tolerance;  // largest difference to the written samples
    };
    const Case cases[] = {
        {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, true, 0},
        {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 16000, false, 0},
        {"pcm32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 8000, false, 0},
        {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000, false, 1.0 / 128},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, false, 0},
        {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 22050, false, 0},
        {"extensible.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 8000, true, 0},
        {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, false, 1.0 / 64},
        {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, true, 0},
        {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, false, 0},
        {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 16000, true, 0},
        {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 16000, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_sound(path(c.name), x, c.rate, c.format);
        Audio a = read_audio(path(c.name), AudioOptions{}, "reference");
        EXPECT_EQ(a.rate, c.rate);
        EXPECT_EQ(a.pcm16, c.pcm16);
        ASSERT_EQ(a.frames(), static_cast<int64_t>(x.size()));
        if (c.tolerance < 0) continue;  // lossy
        std::vector<double> y = a.as_doubles();
        double worst = 0;
        for (size_t i = 0; i < x.size(); i++) worst = std::max(worst, std::fabs(y[i] - x[i]));
        EXPECT_LE(worst, c.tolerance);
        if (c.pcm16) {
            for (size_t i = 0; i < x.size(); i++) ASSERT_EQ(a.pcm[i], sample_ref()[i]);
        }
    }
}

TEST_F(PairTest, RawFilesAndChannels) {
    // An odd last byte is the low byte of one more sample; the rate is
    // --raw-rate's.
    write_file(path("odd.raw"), std::string("\x01\x02\x03", 3));
    AudioOptions options;
    options.raw_rate = 16000;
    Audio raw = read_audio(path("odd.raw"), options, "reference");
    EXPECT_EQ(raw.rate, 16000);
    ASSERT_TRUE(raw.pcm16);
    EXPECT_EQ(raw.pcm, (std::vector<int16_t>{0x0201, 0x0003}));

    std::vector<double> stereo;
    for (int i = 0; i < 100; i++) {
        stereo.push_back(i / 1024.0);
        stereo.push_back(-i / 1024.0);
    }
    write_sound(path("stereo.wav"), stereo, 8000, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2);
    struct Case {
        int channel;
        const char* code;  // nullptr: read
    };
    for (Case c : {Case{0, "channels"}, Case{3, "channels"}, Case{1, nullptr}, Case{2, nullptr}}) {
        options.channel = c.channel;
        try {
            Audio a = read_audio(path("stereo.wav"), options, "degraded");
            ASSERT_EQ(c.code, nullptr) << "channel " << c.channel;
            ASSERT_EQ(a.values.size(), 100u);
            EXPECT_EQ(a.values[7], (c.channel == 1 ? 1 : -1) * stereo[14]);
        } catch (const PairError& e) {
            ASSERT_NE(c.code, nullptr) << e.what();
            EXPECT_STREQ(kelvor_status_name(e.status()), c.code);
        }
    }
}

// The library's options of a pair.
kelvor_options scoring(int shift, bool align, int profile = KELVOR_PROFILE_REFERENCE, bool double_table = false) {
    kelvor_options o{};
    o.shift = shift;
    o.align = align ? 1 : 0;
    o.profile = profile;
    o.double_table = double_table ? 1 : 0;
    return o;
}

Audio audio_of(const std::vector<double>& x, int rate) {
    Audio a;
    a.rate = rate;
    a.values = x;
    return a;
}

Audio audio_of(const std::vector<int16_t>& x, int rate) {
    Audio a;
    a.rate = rate;
    a.pcm16 = true;
    a.pcm = x;
    return a;
}

TEST(ScoreAudio, OtherRatesScoreCloseToTheSameSpeechAt8kHz) {
    Row at8 = score_audio(audio_of(sample_ref(), 8000), audio_of(sample_deg(), 8000), scoring(0, true));
    ASSERT_TRUE(at8.ok()) << at8.message;
    EXPECT_EQ(*at8.delay_samples, 320);
    std::vector<double> ref = to_doubles(sample_ref());
    std::vector<double> deg = to_doubles(sample_deg());
    for (int rate : {16000, 48000}) {
        SCOPED_TRACE(rate);
        Row r = score_audio(audio_of(resampled(ref, 8000, rate), rate), audio_of(resampled(deg, 8000, rate), rate),
                            scoring(0, true));
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_NEAR(*r.stoi, *at8.stoi, 0.01);
        EXPECT_NEAR(*r.estoi, *at8.estoi, 0.02);
        EXPECT_NEAR(*r.delay_ms, 40.0, 0.15);
        EXPECT_EQ(*r.delay_samples, std::llround(*r.delay_ms * rate / 1000.0));
        EXPECT_EQ(*r.rate, rate);
        EXPECT_DOUBLE_EQ(*r.seconds, *at8.seconds);
        // A shift given in the files' samples moves the same way.
        Row shifted = score_audio(audio_of(resampled(ref, 8000, rate), rate),
                                  audio_of(resampled(deg, 8000, rate), rate), scoring(320 * rate / 8000, false));
        ASSERT_TRUE(shifted.ok()) << shifted.message;
        EXPECT_NEAR(*shifted.stoi, *r.stoi, 0.005);
        EXPECT_EQ(*shifted.delay_samples, 320 * rate / 8000);
        EXPECT_DOUBLE_EQ(*shifted.delay_ms, 40.0);
    }
    std::vector<double> ref16 = resampled(ref, 8000, 16000);
    Row self = score_audio(audio_of(ref16, 16000), audio_of(ref16, 16000), scoring(0, false));
    ASSERT_TRUE(self.ok());
    EXPECT_NEAR(*self.stoi, 1.0, 1e-12);
    EXPECT_NEAR(*self.estoi, 1.0, 1e-12);
}

TEST(ScoreAudio, TenKilohertzIsScoredAsItIs) {
    std::vector<double> ref = resampled(to_doubles(sample_ref()), 8000, 10000);
    std::vector<double> deg = resampled(to_doubles(sample_deg()), 8000, 10000);
    Row r = score_audio(audio_of(ref, 10000), audio_of(deg, 10000), scoring(0, true));
    kelvor_options options{};
    options.align = 1;
    kelvor_scores direct{};
    ASSERT_EQ(kelvor_score_10k(ref.data(), static_cast<int64_t>(ref.size()), deg.data(),
                               static_cast<int64_t>(deg.size()), &options, &direct),
              KELVOR_OK);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r.stoi, direct.stoi);
    EXPECT_EQ(*r.estoi, direct.estoi);
    EXPECT_EQ(*r.delay_samples, direct.delay);
}

// The segment times a details file leaves out are the library's own.
TEST(ScoreAudio, SegmentTimesFollowFromTheKeptFramesAsTheLibraryGivesThem) {
    Details details;
    ASSERT_TRUE(score_audio(audio_of(sample_ref(), 8000), audio_of(sample_deg(), 8000), scoring(0, true), &details).ok());
    std::vector<double> start;
    std::vector<double> end;
    segment_times(details.kept_frames, details.estoi_segment.size(), start, end);
    EXPECT_EQ(start, details.segment_start);
    EXPECT_EQ(end, details.segment_end);
    // A segment spans 30 kept frames: one fewer cannot hold the last.
    const size_t segments = details.estoi_segment.size();
    segment_times(std::vector<int32_t>(details.kept_frames.begin(), details.kept_frames.begin() + segments + 28),
                  segments, start, end);
    EXPECT_TRUE(start.empty() && end.empty());
}

// The 8 kHz path with the double table is the library's -r scoring; the
// table must reach it (the two tables give different bits on speech).
TEST(ScoreAudio, DoubleTableReachesTheEightKilohertzPath) {
    const std::vector<int16_t>& ref = sample_ref();
    const std::vector<int16_t>& deg = sample_deg();
    for (int table = 0; table <= 1; table++) {
        Row r = score_audio(audio_of(ref, 8000), audio_of(deg, 8000), scoring(0, true, KELVOR_PROFILE_TOOL, table == 1));
        kelvor_options options{};
        options.align = 1;
        options.double_table = table;
        kelvor_scores direct{};
        ASSERT_EQ(kelvor_score_pcm8k(ref.data(), static_cast<int64_t>(ref.size()), deg.data(),
                                     static_cast<int64_t>(deg.size()), &options, &direct),
                  KELVOR_OK);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(*r.stoi, direct.stoi);
        EXPECT_EQ(*r.estoi, direct.estoi);
        EXPECT_EQ(*r.delay_samples, direct.delay);
    }
    Row plain = score_audio(audio_of(ref, 8000), audio_of(deg, 8000), scoring(0, true, KELVOR_PROFILE_TOOL));
    Row doubled = score_audio(audio_of(ref, 8000), audio_of(deg, 8000), scoring(0, true, KELVOR_PROFILE_TOOL, true));
    EXPECT_NE(*plain.stoi, *doubled.stoi);
}

// A pair asked to stop ends at its next block, as a failed row; asked and
// never told to, it scores as without the question.
TEST(ScoreAudio, ACancelledPairEndsAtItsNextBlock) {
    const std::vector<double> ref = resampled(to_doubles(sample_ref()), 8000, 16000);
    const std::vector<double> deg = resampled(to_doubles(sample_deg()), 8000, 16000);
    const Audio x = audio_of(ref, 16000);
    const Audio y = audio_of(deg, 16000);
    PairOptions options;
    options.scoring = scoring(0, false);
    const Row plain = score_signals(signal_of(x, "x"), signal_of(y, "y"), options);
    int asked = 0;
    const Row kept = score_signals(signal_of(x, "x"), signal_of(y, "y"), options, nullptr, [&] { return ++asked < 0; });
    ASSERT_TRUE(kept.ok());
    EXPECT_GT(asked, 1);
    EXPECT_EQ(*kept.stoi, *plain.stoi);
    EXPECT_EQ(*kept.estoi, *plain.estoi);
    asked = 0;
    const Row stopped = score_signals(signal_of(x, "x"), signal_of(y, "y"), options, nullptr, [&] { return ++asked > 1; });
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(stopped.status, KELVOR_ERR_FAILED);
    EXPECT_EQ(stopped.message, pair_message(KELVOR_ERR_FAILED, "interrupted"));
}

TEST_F(PairTest, EveryErrorRowKind) {
    std::vector<double> speech = to_doubles(sample_ref());
    write_pcm16(path("ref.wav"), sample_ref(), 8000);
    write_pcm16(path("deg.wav"), sample_deg(), 8000);
    write_sound(path("ref16.wav"), resampled(speech, 8000, 16000), 16000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_sound(path("ref9999.wav"), resampled(speech, 8000, 9999), 9999, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_sound(path("stereo.wav"), std::vector<double>(2000, 0.1), 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2);
    write_pcm16(path("short.wav"), std::vector<int16_t>(sample_ref().begin(), sample_ref().begin() + 2000), 8000);
    write_pcm16(path("silent.wav"), std::vector<int16_t>(sample_ref().size(), 0), 8000);
    std::vector<double> nan = speech;
    nan[1000] = std::numeric_limits<double>::quiet_NaN();
    write_sound(path("nan.wav"), nan, 8000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_file(path("garbage.wav"), "RIFF\x10\x00\x00\x00WAVEjunkjunkjunk");
    write_file(path("empty.wav"), "");
    ASSERT_EQ(system(("mkdir " + path("folder.wav")).c_str()), 0);
    // One sample more than the library takes, as a sparse raw file.
    write_file(path("long.pcm"), "");
    ASSERT_EQ(truncate(path("long.pcm").c_str(), (static_cast<off_t>(KELVOR_MAX_SAMPLES) + 1) * 2), 0);

    struct Case {
        const char* reference;
        const char* degraded;
        int shift;
        bool align;
        const char* code;
        int profile = KELVOR_PROFILE_REFERENCE;
    };
    const Case cases[] = {
        {"ref.wav", "deg.wav", 0, true, "ok"},
        {"ref.wav", "deg.wav", 0, true, "ok", KELVOR_PROFILE_TOOL},
        {"ref16.wav", "ref16.wav", 0, false, "profile", KELVOR_PROFILE_TOOL},
        {"ref9999.wav", "ref9999.wav", 0, false, "bad_rate"},
        {"absent.wav", "deg.wav", 0, false, "missing"},
        {"ref.wav", "absent.wav", 0, false, "missing"},
        {"folder.wav", "deg.wav", 0, false, "unreadable"},
        {"garbage.wav", "deg.wav", 0, false, "format"},
        {"empty.wav", "deg.wav", 0, false, "format"},
        {"ref.wav", "stereo.wav", 0, false, "channels"},
        {"ref.wav", "ref16.wav", 0, false, "rate_mismatch"},
        {"short.wav", "short.wav", 0, false, "too_short"},
        {"silent.wav", "deg.wav", 0, false, "silent"},
        {"ref.wav", "silent.wav", 0, false, "ok"},
        {"ref.wav", "short.wav", 0, false, "length_mismatch"},
        {"ref.wav", "short.wav", 0, false, "ok", KELVOR_PROFILE_TOOL},
        {"nan.wav", "deg.wav", 0, false, "not_finite"},
        {"ref.wav", "deg.wav", 901, false, "bad_shift"},
        {"ref.wav", "deg.wav", 900, false, "ok"},
        {"ref16.wav", "ref16.wav", 1801, false, "bad_shift"},
        {"ref16.wav", "ref16.wav", 1800, false, "ok"},
        {"ref.wav", "deg.wav", 320, true, "conflict"},
        {"long.pcm", "deg.wav", 0, false, "too_long", KELVOR_PROFILE_TOOL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reference) + " " + c.degraded);
        PairSpec listed;
        listed.reference = c.reference;
        listed.degraded = c.degraded;
        listed.reference_path = path(c.reference);
        listed.degraded_path = path(c.degraded);
        listed.shift = c.shift;
        listed.align = c.align;
        PairOptions options;
        options.scoring.profile = c.profile;
        Row row = score_pair(listed, options);
        EXPECT_EQ(std::string(kelvor_status_name(row.status)), c.code) << row.message;
        EXPECT_EQ(row.reference, c.reference);
        EXPECT_EQ(row.ok(), row.message.empty()) << row.message;
        EXPECT_EQ(row.ok(), row.stoi.has_value());
        // Every status a row can carry is one of the library's.
        EXPECT_EQ(kelvor_status_from_name(kelvor_status_name(row.status)), row.status);
    }
    // The tool profile's verdict on a silent reference is the library's.
    const std::vector<int16_t> zeros(40000, 0);
    const kelvor_options tool = scoring(0, false, KELVOR_PROFILE_TOOL);
    kelvor_scores ignored{};
    PairSpec silent;
    silent.reference_path = path("silent.wav");
    silent.degraded_path = path("deg.wav");
    PairOptions options;
    options.scoring = tool;
    EXPECT_EQ(score_pair(silent, options).status,
              kelvor_score_pcm8k(zeros.data(), 40000, sample_deg().data(), static_cast<int64_t>(sample_deg().size()),
                                 &tool, &ignored));

    PairSpec listed;
    listed.set_error(KELVOR_ERR_BAD_ROW, "manifest line 3 has 1 field, its header 2");
    Row row = score_pair(listed, PairOptions{});
    EXPECT_EQ(row.status, KELVOR_ERR_BAD_ROW);
    EXPECT_EQ(row.message, "A listing row that cannot be used: manifest line 3 has 1 field, its header 2");
}

}  // namespace
