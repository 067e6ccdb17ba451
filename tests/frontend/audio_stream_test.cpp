// Files read in blocks: streamed rows are the library's scores of the same
// samples in memory, at lengths on the reader's block boundaries, in
// containers that seek and in those decoded again from the start; files
// that lose their end while they are read are error rows; and a long pair
// is scored in a working set that does not grow with its length.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "frontend/audio_file.h"
#include "frontend/pair.h"
#include "frontend_support.h"
#include "kelvor/stoi.h"

using namespace kelvor::frontend;

namespace {

class AudioStreamTest : public TempDirTest {};

// Interleaved frames of `channels` channels, `pick` (0-based) holding x and
// the others its negation.
std::vector<double> with_channels(const std::vector<double>& x, int channels, int pick) {
    std::vector<double> out(x.size() * static_cast<size_t>(channels));
    for (size_t i = 0; i < x.size(); i++) {
        for (int c = 0; c < channels; c++) out[i * channels + c] = c == pick ? x[i] : -x[i];
    }
    return out;
}

TEST_F(AudioStreamTest, ReadsInAnyOrderGiveTheSamplesOfAWholeRead) {
    // Blocks at random places, forwards and back: a container whose seek
    // does not land on the very frame (Ogg) must be decoded again instead.
    const std::vector<double> x = with_channels(to_doubles(sample_ref()), 2, 1);
    struct Case {
        const char* name;
        int format;
    };
    const Case cases[] = {
        {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16}, {"float.aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}, {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM},
    };
    AudioOptions second;
    second.channel = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_sound(path(c.name), x, 16000, c.format, 2);
        const Audio whole = read_audio(path(c.name), second, "reference");
        const std::vector<double> expected = whole.as_doubles();
        std::unique_ptr<AudioStream> stream = AudioStream::open(path(c.name), second, "reference");
        ASSERT_EQ(stream->frames(), whole.frames());
        uint32_t seed = 11;
        for (int k = 0; k < 60; k++) {
            seed = seed * 1664525u + 1013904223u;
            const int64_t start = seed % static_cast<uint32_t>(whole.frames());
            const int32_t count = static_cast<int32_t>(std::min<int64_t>(1 + (seed >> 7) % 40000, whole.frames() - start));
            std::vector<double> got(static_cast<size_t>(count));
            stream->read(start, count, got.data());
            ASSERT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + start)) << start << " + " << count;
        }
    }
}

TEST_F(AudioStreamTest, StreamedRowsAreTheLibrarysScoresInMemory) {
    // Every pair is longer than 2^20 samples at 10 kHz, so the library
    // streams it in passes rather than keeping it; lengths sit on and next to
    // the reader's blocks (32768 frames, 16384 for two channels).
    struct Case {
        const char* name;
        int format;  // 0: raw .pcm
        int rate;
        int channels;
        int64_t frames;
        int shift;
        bool align;
    };
    const Case cases[] = {
        {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, 32768 * 32, 0, false},
        {"float_stereo.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 2, 16384 * 120 + 1, 500, false},
        {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16000, 1, 32768 * 60 - 1, 0, true},
        {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 22050, 1, 32768 * 80, 1234, false},
        {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 8000, 1, 32768 * 26 + 7, 0, true},
        {"odd_bytes.pcm", 0, 8000, 1, 900001, 300, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> ref = to_doubles(tiled(sample_ref(), c.frames));
        const std::vector<double> deg = to_doubles(tiled(sample_deg(), c.frames - 999));
        AudioOptions audio;
        audio.raw_rate = c.rate;
        audio.channel = c.channels > 1 ? 2 : 0;
        for (const char* side : {"ref_", "deg_"}) {
            const std::vector<double>& x = side[0] == 'r' ? ref : deg;
            if (c.format == 0) {
                std::string bytes = raw_bytes(tiled(side[0] == 'r' ? sample_ref() : sample_deg(), c.frames));
                bytes.pop_back();  // an odd last byte: the low byte of one more sample
                write_file(path(side + std::string(c.name)), bytes);
            } else {
                write_sound(path(side + std::string(c.name)), with_channels(x, c.channels, c.channels > 1 ? 1 : 0), c.rate, c.format,
                            c.channels);
            }
        }
        // The library on the samples read whole, front to back.
        const Audio r = read_audio(path(std::string("ref_") + c.name), audio, "reference");
        const Audio d = read_audio(path(std::string("deg_") + c.name), audio, "degraded");
        const std::vector<double> x = r.as_doubles();
        const std::vector<double> y = d.as_doubles();
        kelvor_options o{};
        o.shift = c.shift;
        o.align = c.align;
        o.unequal = KELVOR_UNEQUAL_PAD;
        kelvor_details* expected = nullptr;
        ASSERT_EQ(kelvor_score_details(x.data(), static_cast<int64_t>(x.size()), y.data(),
                                       static_cast<int64_t>(y.size()), c.rate, &o, &expected),
                  KELVOR_OK);

        PairSpec listed;
        listed.reference_path = path(std::string("ref_") + c.name);
        listed.degraded_path = path(std::string("deg_") + c.name);
        listed.shift = c.shift;
        listed.align = c.align;
        PairOptions options;
        options.reading = audio;
        options.scoring.unequal = KELVOR_UNEQUAL_PAD;
        Details details;
        const Row row = score_pair(listed, options, &details);
        ASSERT_EQ(row.status, KELVOR_OK) << row.message;
        EXPECT_TRUE(same_bits(*row.stoi, expected->scores.stoi));
        EXPECT_TRUE(same_bits(*row.estoi, expected->scores.estoi));
        EXPECT_EQ(*row.delay_samples, expected->scores.delay);
        EXPECT_EQ(details.kept_frames, std::vector<int32_t>(expected->kept_frames,
                                                            expected->kept_frames + expected->kept_count));
        EXPECT_TRUE(same_bits(details.estoi_segment,
                              std::vector<double>(expected->estoi_segment,
                                                  expected->estoi_segment + expected->segment_count)));
        EXPECT_EQ(*row.seconds, static_cast<double>(c.frames) / c.rate);
        kelvor_details_free(expected);
    }
}

TEST_F(AudioStreamTest, AFileThatLosesItsEndWhileReadIsAnErrorRowWithoutScores) {
    // Opened while whole, cut before it is read: the header (or the size)
    // promised frames that are no longer there.
    const std::vector<int16_t> x = tiled(sample_ref(), 8000 * 120);
    struct Case {
        const char* name;
        const char* code;
        const char* says;
    };
    const Case cases[] = {
        {"cut.wav", "format", "is damaged: its header states 960000 frames"},
        {"cut.flac", "format", "is damaged: its header states 960000 frames"},
        {"cut.pcm", "unreadable", "became shorter while being read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = c.name;
        if (name.find(".pcm") != std::string::npos) write_file(path(c.name), raw_bytes(x));
        else write_sound(path(c.name), to_doubles(x), 8000, (name.find(".flac") != std::string::npos ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16);
        std::unique_ptr<AudioStream> reference = AudioStream::open(path(c.name), AudioOptions{}, "reference");
        std::unique_ptr<AudioStream> degraded = AudioStream::open(path(c.name), AudioOptions{}, "degraded");
        ASSERT_EQ(reference->frames(), static_cast<int64_t>(x.size()));
        ASSERT_EQ(truncate(path(c.name).c_str(), static_cast<off_t>(read_file(path(c.name)).size() * 2 / 3)), 0);
        PairOptions align;
        align.scoring.align = 1;
        const Row row = score_signals(signal_of(*reference), signal_of(*degraded), align);
        EXPECT_STREQ(kelvor_status_name(row.status), c.code);
        EXPECT_NE(row.message.find(c.says), std::string::npos) << row.message;
        EXPECT_NE(row.message.find("reference file"), std::string::npos) << row.message;
        EXPECT_FALSE(row.stoi || row.estoi || row.seconds || row.rate);
    }
}

}  // namespace
