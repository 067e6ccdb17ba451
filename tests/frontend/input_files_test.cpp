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
#include <map>
#include <thread>

#include "frontend/audio_file.h"
#include "frontend/error.h"
#include "frontend/pair.h"
#include "frontend_support.h"
#include "kelvor/stoi.h"

using namespace kelvor::frontend;

namespace {

class InputFiles : public TempDirTest {
protected:
    // The status code read_audio throws for a file, "ok" when it reads.
    std::string code_of(const std::string& name, const AudioOptions& options = AudioOptions{}) {
        try {
            read_audio(path(name), options, "reference");
            return "ok";
        } catch (const PairError& e) {
            message_ = e.what();
            return kelvor_status_name(e.status());
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
            const Row row = score_pair(listed, PairOptions{});
            EXPECT_EQ(std::string(kelvor_status_name(row.status)), c.code) << c.name << ": " << row.message;
            EXPECT_EQ(row.stoi.has_value(), row.ok());
        }
    }
}

TEST_F(InputFiles, ContainersCutShortAreFormatRowsAndStreamedOnesReadToTheEnd) {
    const std::vector<double> speech = to_doubles(sample_ref());
    const std::pair<const char*, int> containers[] = {
        {"wav", SF_FORMAT_WAV},   {"wavex", SF_FORMAT_WAVEX}, {"rf64", SF_FORMAT_RF64}, {"aiff", SF_FORMAT_AIFF},
        {"au", SF_FORMAT_AU},     {"w64", SF_FORMAT_W64},     {"nist", SF_FORMAT_NIST},
    };
    std::map<std::string, std::string> whole;
    for (const auto& [name, format] : containers) {
        write_sound(path(std::string("whole.") + name), speech, 8000, format | SF_FORMAT_PCM_16);
        whole[name] = read_file(path(std::string("whole.") + name));
    }
    // The bytes with a size field rewritten.
    auto sized = [](std::string bytes, size_t at, uint64_t value, int width, bool big_endian) {
        for (int i = 0; i < width; i++) {
            bytes[at + static_cast<size_t>(i)] = static_cast<char>(value >> (8 * (big_endian ? width - 1 - i : i)));
        }
        return bytes;
    };
    const std::string& wav = whole["wav"];
    const size_t data = wav.find("data") + 4;
    const size_t ds64 = whole["rf64"].find("ds64") + 16;  // the 64-bit data size
    const size_t ssnd = whole["aiff"].find("SSND") + 4;
    const size_t frames = whole["aiff"].find("COMM") + 10;
    struct Case {
        std::string name;
        std::string bytes;
        const char* code;  // "ok": the whole file's samples
    };
    std::vector<Case> cases = {
        {"listed.wav", wav + "LIST" + std::string("\x04\0\0\0abcd", 8), "ok"},  // a chunk after the data
        {"streamed_0.wav", sized(wav, data, 0, 4, false), "ok"},
        {"streamed_ones.wav", sized(wav, data, 0xFFFFFFFF, 4, false), "ok"},
        {"placeholder.wav", sized(wav, data, 0x7FFFF000, 4, false), "ok"},
        {"streamed_0.rf64", sized(whole["rf64"], ds64, 0, 8, false), "ok"},
        {"streamed_0.aiff", sized(whole["aiff"], ssnd, 0, 4, true), "ok"},
        {"streamed_ones.aiff", sized(whole["aiff"], ssnd, 0xFFFFFFFF, 4, true), "ok"},
        {"streamed_0.au", sized(whole["au"], 8, 0, 4, true), "ok"},
        {"streamed_ones.au", sized(whole["au"], 8, 0xFFFFFFFF, 4, true), "ok"},
        {"more_frames.aiff", sized(whole["aiff"], frames, speech.size() + 100, 4, true), "format"},
        {"stated_more.rf64", sized(whole["rf64"], ds64, 2 * speech.size() + 2, 8, false), "format"},
    };
    for (const auto& [name, _] : containers) {
        cases.push_back({std::string("cut.") + name, whole[name].substr(0, whole[name].size() * 3 / 5), "format"});
        cases.push_back({std::string("odd_byte_short.") + name, whole[name].substr(0, whole[name].size() - 1), "format"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path(c.name), c.bytes);
        const std::string code = code_of(c.name);
        EXPECT_EQ(code, c.code) << message_;
        if (code == "format") {
            EXPECT_NE(message_.find("is cut off: its header states"), std::string::npos) << message_;
        } else if (code == "ok") {
            EXPECT_EQ(read_audio(path(c.name), AudioOptions{}, "reference").pcm, sample_ref());
        }
        // Scored: the same status, and a score only when ok.
        PairSpec listed;
        listed.reference_path = path("whole.wav");
        listed.degraded_path = path(c.name);
        const Row row = score_pair(listed, PairOptions{});
        EXPECT_EQ(std::string(kelvor_status_name(row.status)), c.code) << row.message;
        EXPECT_EQ(row.stoi.has_value(), row.ok());
    }
}

TEST_F(InputFiles, TooLongSaysTheFilesOwnRate) {
    // Sparse raw files one sample longer than a profile takes: the library
    // refuses them before a sample is read, and the row says how long each
    // file is at its own rate.
    struct Case {
        const char* name;
        int64_t samples;
        int rate;
        int profile;
        const char* says;
    };
    const Case cases[] = {
        {"long.pcm", int64_t{KELVOR_MAX_SAMPLES} + 1, 8000, KELVOR_PROFILE_TOOL,
         "long.pcm' holds 429496730 samples at 8000 Hz, 14.9 hours; at most 14.9 hours are scored"},
        {"huge.pcm", KELVOR_MAX_SAMPLES_REFERENCE + 1, 16000, KELVOR_PROFILE_REFERENCE,
         "huge.pcm' holds 68719476737 samples at 16000 Hz"},
    };
    for (const Case& c : cases) {
        write_file(path(c.name), "");
        ASSERT_EQ(truncate(path(c.name).c_str(), static_cast<off_t>(c.samples) * 2), 0);
        PairSpec listed;
        listed.reference_path = listed.degraded_path = path(c.name);
        PairOptions options;
        options.reading.raw_rate = c.rate;
        options.scoring.profile = c.profile;
        const Row row = score_pair(listed, options);
        EXPECT_EQ(row.status, KELVOR_ERR_TOO_LONG) << row.message;
        EXPECT_NE(row.message.find(c.says), std::string::npos) << row.message;
    }
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
