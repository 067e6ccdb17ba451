// Inputs that must neither hang a run nor pass for audio they are not:
// named pipes, damaged or cut FLAC and Ogg streams, names with a NUL byte,
// files too long at their own rate, and samples so large that the scores
// overflow; and files that are not audio, which must not close anything
// another thread has open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "frontend/audio_file.h"
#include "frontend/error.h"
#include "frontend/pair.h"
#include "batch_support.h"
#include "kelvor/stoi.h"

using namespace kelvor::frontend;

namespace {

class InputFiles : public BatchDirTest {
protected:
    // The status code read_audio throws for a file, "ok" when it reads.
    std::string code_of(const std::string& name, const AudioOptions& options = AudioOptions{}) {
        try {
            read_audio(path(name), options, "reference");
            return "ok";
        } catch (const PairError& e) {
            message_ = e.what();
            return e.code();
        }
    }
    std::string message_;
};

TEST_F(InputFiles, ANamedPipeIsRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(path("pipe.wav").c_str(), 0644), 0);
    auto reading = std::async(std::launch::async, [&] { return code_of("pipe.wav"); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Release the blocked open so that the test can end.
        int fd = ::open(path("pipe.wav").c_str(), O_WRONLY | O_NONBLOCK);
        ADD_FAILURE() << "read_audio waits on a named pipe";
        reading.wait();
        ::close(fd);
        return;
    }
    EXPECT_EQ(reading.get(), "unreadable");

    // In a manifest and below --ref-dir: an unreadable row, and the run ends.
    write_file(path("ref.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("m.csv"), "reference,degraded\nref.wav,pipe.wav\n");
    ASSERT_EQ(::mkdir(path("A").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(path("B").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(path("A/x.wav").c_str(), 0644), 0);
    write_file(path("B/x.wav"), wav_bytes(sample_deg(), 8000));
    for (const char* args : {"m.csv", "--ref-dir A --deg-dir B"}) {
        ToolRun run = run_batch_shell(std::string("timeout 60 \"$0\" ") + args, {}, dir_);
        EXPECT_EQ(run.status, 3) << args << "\n" << run.err;
        std::vector<Row> rows = parse_rows(run.out);
        ASSERT_EQ(rows.size(), 1u) << args;
        EXPECT_EQ(rows[0].status, "unreadable");
    }
}

TEST_F(InputFiles, DamagedOrCutStreamsAreFormatRows) {
    std::vector<double> speech = to_doubles(sample_ref());
    write_sound(path("good.flac"), speech, 8000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    write_sound(path("good.ogg"), speech, 8000, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    const std::string flac = read_file(path("good.flac"));
    const std::string ogg = read_file(path("good.ogg"));
    auto damaged = [](std::string bytes, size_t from, size_t count) {
        for (size_t i = from; i < from + count && i < bytes.size(); i++) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
        return bytes;
    };
    // Ogg pages: cut exactly where one begins.
    size_t page = ogg.find("OggS", ogg.size() / 2);
    ASSERT_NE(page, std::string::npos);
    struct Case {
        const char* name;
        std::string bytes;
        const char* code;
    };
    const Case cases[] = {
        {"good.flac", flac, "ok"},
        {"cut.flac", flac.substr(0, flac.size() * 2 / 5), "format"},
        {"damaged.flac", damaged(flac, flac.size() * 2 / 5, 400), "format"},
        {"good.ogg", ogg, "ok"},
        {"padded.ogg", ogg + std::string(100, '\0'), "ok"},
        {"damaged.ogg", damaged(ogg, ogg.size() * 2 / 5, 200), "format"},
        {"cut.ogg", ogg.substr(0, ogg.size() * 2 / 5), "format"},
        {"cut_at_a_page.ogg", ogg.substr(0, page), "format"},
    };
    for (const Case& c : cases) {
        write_file(path(c.name), c.bytes);
        EXPECT_EQ(code_of(c.name), c.code) << c.name << ": " << message_;
        // Read in blocks to be scored, on either side of a pair: the same
        // status, and no score.
        for (bool reference : {true, false}) {
            PairSpec listed;
            listed.reference_path = path(reference ? c.name : "good.flac");
            listed.degraded_path = path(reference ? "good.flac" : c.name);
            const Row row = score_pair(listed, ScoreOptions{});
            EXPECT_EQ(row.status, c.code) << c.name << ": " << row.message;
            EXPECT_EQ(row.stoi.has_value(), row.ok());
        }
    }
}

TEST_F(InputFiles, TooLongSaysTheFilesOwnRate) {
    // One sample more than the tool's chain takes at 8 kHz, as a sparse raw
    // file.
    write_file(path("long.pcm"), "");
    ASSERT_EQ(truncate(path("long.pcm").c_str(), (static_cast<off_t>(KELVOR_MAX_SAMPLES) + 1) * 2), 0);
    AudioOptions tool;
    tool.tool_lengths = true;
    EXPECT_EQ(code_of("long.pcm", tool), "too_long");
    EXPECT_NE(message_.find("429496730 samples at 8000 Hz, 14.9 hours; at most 14.9 hours are scored"),
              std::string::npos)
        << message_;
    // Away from 8 kHz the limit holds at 10 kHz, after resampling.
    tool.raw_rate = 4000;
    EXPECT_EQ(code_of("long.pcm", tool), "too_long");
    EXPECT_NE(message_.find("at 4000 Hz, 29.8 hours; at most 11.9 hours are scored"), std::string::npos) << message_;
    // The reference profile streams: it takes 2^36 samples, before and
    // after resampling to 10 kHz (opened, not read).
    auto opened = [&](const std::string& name, const AudioOptions& options) -> std::string {
        try {
            AudioStream::open(path(name), options, "reference");
            return "ok";
        } catch (const PairError& e) {
            message_ = e.what();
            return e.code();
        }
    };
    AudioOptions reference;
    EXPECT_EQ(opened("long.pcm", reference), "ok");
    write_file(path("huge.pcm"), "");
    ASSERT_EQ(truncate(path("huge.pcm").c_str(), (static_cast<off_t>(KELVOR_MAX_SAMPLES_REFERENCE) + 1) * 2), 0);
    reference.raw_rate = 16000;
    EXPECT_EQ(opened("huge.pcm", reference), "too_long");
    EXPECT_NE(message_.find("68719476737 samples at 16000 Hz"), std::string::npos) << message_;
}

TEST_F(InputFiles, NamesWithANulByteAndChannelsAskedFor) {
    write_file(path("a.wav"), wav_bytes(sample_ref(), 8000));
    EXPECT_EQ(code_of(std::string("a.wav\0.ignored", 14)), "unreadable");
    EXPECT_NE(message_.find("NUL"), std::string::npos);
    std::vector<double> stereo(4000, 0.25);
    write_sound(path("stereo.wav"), stereo, 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2);
    EXPECT_EQ(code_of("stereo.wav"), "channels");
    EXPECT_NE(message_.find("choose one with --channel N"), std::string::npos) << message_;
    AudioOptions python;
    python.channel_option = "channel=N";
    EXPECT_EQ(code_of("stereo.wav", python), "channels");
    EXPECT_NE(message_.find("choose one with channel=N"), std::string::npos) << message_;
}

TEST_F(InputFiles, SamplesNearTheLargestFloatScoreAndNeverGiveNan) {
    // Speech whose loudest samples are near 1e38, a third of the largest
    // float: scaled back by the scorer, so it scores as the same speech at
    // full scale; never a NaN anywhere.
    std::vector<double> ref = to_doubles(sample_ref());
    std::vector<double> deg = to_doubles(sample_deg());
    for (double& v : ref) v *= 1e38;
    for (double& v : deg) v *= 1e38;
    write_sound(path("huge_ref.wav"), ref, 8000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_sound(path("huge_deg.wav"), deg, 8000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_file(path("m.csv"), "reference,degraded\nhuge_ref.wav,huge_deg.wav\n");
    for (const char* format : {"csv", "jsonl"}) {
        ToolRun run = run_batch({"--format", format, "--details", "d", "m.csv"}, dir_);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err.find("nan"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("nan"), std::string::npos) << run.out;
        std::vector<Row> rows = parse_rows(run.out, std::string(format) == "jsonl");
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_TRUE(rows[0].ok()) << rows[0].message;
        EXPECT_GT(*rows[0].stoi, 0.4);
        EXPECT_EQ(read_file(path("d/0.json")).find("nan"), std::string::npos);
    }
}

TEST_F(InputFiles, AFileThatIsNotAudioClosesNothingOtherThreadsHaveOpen) {
    // A failed open must close each descriptor once: a second close of the
    // same number lands on whatever another thread opened under it in
    // between (in a run, another pair's file or the output), which then
    // fails as "Bad file descriptor". One thread refuses files that are not
    // audio over and over while another opens a file and checks that it is
    // still open before it closes it.
    write_file(path("junk.wav"), "not audio");
    write_file(path("held"), "x");
    std::atomic<bool> done{false};
    std::atomic<int> lost{0};
    std::thread holder([&] {
        while (!done.load()) {
            const int fd = ::open(path("held").c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            std::this_thread::yield();
            if (::fcntl(fd, F_GETFD) == -1 || ::close(fd) != 0) lost++;
        }
    });
    int refused = 0;
    for (int i = 0; i < 3000 && lost.load() == 0; i++) refused += code_of("junk.wav") == "format";
    done = true;
    holder.join();
    EXPECT_EQ(lost.load(), 0) << "descriptors closed under another thread";
    EXPECT_GT(refused, 0) << message_;
}

}  // namespace
