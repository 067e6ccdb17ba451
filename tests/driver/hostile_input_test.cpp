// Inputs a test campaign throws at the tool, run on the real executable:
// files that are missing, not files, empty or a few bytes long, headers that
// lie, extreme signals, silence, inputs too long to hold, a file that
// shrinks while the tool holds it, tokens in every order and a very long
// command line. Each ends with scores and status 0 or with the tool's own
// message and status 1, and only a completed run leaves a row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "driver_texts.h"
#include "support.h"

namespace {

const std::string kRunTail = "\nResampling Reference...\nResampling Degraded... \nSTOI processing...";
const std::string kTooShort = kRunTail + "ERROR: STOI -- Too short file\n";

// The two printed scores; empty when the metrics line is missing or they are
// not finite numbers.
std::vector<double> printed_scores(const std::string& out) {
    const std::string label = "\t Metrics  :  STOI ";
    size_t at = out.find(label);
    if (at == std::string::npos) return {};
    const char* p = out.c_str() + at + label.size();
    char* end = nullptr;
    double stoi = strtod(p, &end);
    if (end == p || strncmp(end, "  ESTOI ", 8) != 0) return {};
    p = end + 8;
    double estoi = strtod(p, &end);
    if (end == p || !std::isfinite(stoi) || !std::isfinite(estoi)) return {};
    return {stoi, estoi};
}

std::vector<int16_t> constant(int32_t count, int16_t value) {
    return std::vector<int16_t>(static_cast<size_t>(count), value);
}

std::vector<int16_t> square_wave(int32_t count, int32_t half_period) {
    std::vector<int16_t> s(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; i++) s[static_cast<size_t>(i)] = (i / half_period) % 2 ? 32767 : -32768;
    return s;
}

bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

// Runs the tool through the shell with an address-space limit (in KiB), so
// that an attempt to allocate gigabytes fails instead of succeeding.
ToolRun run_tool_limited(const std::vector<std::string>& args, const std::string& dir, long limit_kib) {
    std::string command = "ulimit -v " + std::to_string(limit_kib) + " && exec \"$0\"";
    for (size_t i = 0; i < args.size(); i++) command += " \"$" + std::to_string(i + 1) + "\"";
    std::vector<std::string> argv{"/bin/sh", "-c", command, KELVOR_STOI_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        speech = speechlike(12000, 31);
        write_file(dir + "/r.wav", wav_bytes(speech, 8000));
    }
    void TearDown() override { remove_tree(dir); }
    ToolRun run(const std::vector<std::string>& args) { return run_tool(args, dir); }
    std::string log() { return read_file(dir + "/stoi_results.txt"); }
    void sparse_file(const std::string& name, off_t size) {
        int fd = open((dir + "/" + name).c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0) << strerror(errno);
        close(fd);
    }

    std::string dir;
    std::vector<int16_t> speech;
};

TEST_F(HostileInput, FilesThatAreNotThereOrNotFiles) {
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo.pcm").c_str(), 0644), 0);  // no writer will come
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::string ref_line = reference_line("r.wav", 12000);
    const std::vector<Case> cases = {
        {{"missing.wav", "r.wav"}, "ERROR: Can't open Reference 'missing.wav'\n"},
        {{"r.wav", "missing.pcm"}, ref_line + "ERROR: Can't open Degraded 'missing.pcm'\n"},
        {{"sub", "r.wav"}, "ERROR: Can't open Reference 'sub'\n"},
        {{"r.wav", "sub/"}, ref_line + "ERROR: Can't open Degraded 'sub/'\n"},
        {{"-h", "r.wav", "/"}, ref_line + "ERROR: Can't open Degraded '/'\n"},
        // Pipes, devices and /proc entries are not recordings: none is waited
        // on, none is scored as silence.
        {{"fifo.pcm", "r.wav"}, "ERROR: Can't open Reference 'fifo.pcm'\n"},
        {{"r.wav", "fifo.pcm"}, ref_line + "ERROR: Can't open Degraded 'fifo.pcm'\n"},
        {{"r.wav", "/dev/zero"}, ref_line + "ERROR: Can't open Degraded '/dev/zero'\n"},
        {{"r.wav", "/dev/null"}, ref_line + "ERROR: Can't open Degraded '/dev/null'\n"},
        {{"r.wav", "/proc/self/status"}, ref_line + "ERROR: Can't open Degraded '/proc/self/status'\n"},
    };
    for (const Case& c : cases) {
        ToolRun r = run_tool_bounded(c.args, dir, 60);
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
}

TEST_F(HostileInput, EmptyTinyAndOddSizedFiles) {
    write_file(dir + "/empty.wav", "");
    write_file(dir + "/empty.pcm", "");
    write_file(dir + "/one.wav", "R");
    write_file(dir + "/h43.wav", wav_bytes({}, 8000).substr(0, 43));
    write_file(dir + "/h44.wav", wav_bytes({}, 8000));
    write_file(dir + "/h45.wav", wav_bytes({}, 8000) + "\x01");
    write_file(dir + "/one.pcm", "\x01");
    write_file(dir + "/three.pcm", "\x01\x02\x03");
    struct Case {
        std::string ref;
        std::string deg;
        std::string out;  // after the file lines
        int ref_samples;
        int deg_samples;
    };
    const std::vector<Case> cases = {
        // Nothing to score: the reference is silent.
        {"empty.wav", "empty.pcm", kTooShort, 0, 0},
        {"h44.wav", "h45.wav", kTooShort, 0, 0},
        {"one.pcm", "three.pcm", kTooShort, 0, 1},
        {"three.pcm", "h45.wav", kTooShort, 1, 0},
        // A WAV file shorter than its header: the header read took it all.
        {"one.wav", "r.wav", "ERROR: Can't read 'one.wav' bytes 1 0\n", 0, 12000},
        {"r.wav", "h43.wav", "ERROR: Can't read 'h43.wav' bytes 43 0\n", 12000, 21},
        // Against speech, an empty or one-byte degraded file is silence.
        {"r.wav", "empty.wav", "", 12000, 0},
        {"r.wav", "one.pcm", "", 12000, 0},
    };
    for (const Case& c : cases) {
        ToolRun r = run({"-h", c.ref, c.deg});
        const std::string files = reference_line(c.ref, c.ref_samples) + degraded_line(c.deg, c.deg_samples);
        const std::string what = c.ref + " " + c.deg;
        if (c.out.empty()) {
            // Silence against speech scores STOI 0.
            EXPECT_EQ(r.status, 0) << what << "\n" << r.out;
            EXPECT_EQ(r.out.compare(0, files.size() + kRunTail.size(), files + kRunTail), 0) << what;
            ASSERT_EQ(printed_scores(r.out).size(), 2u) << what << "\n" << r.out;
            EXPECT_EQ(printed_scores(r.out)[0], 0.0) << what;
        } else {
            EXPECT_EQ(r.out, files + c.out) << what;
            EXPECT_EQ(r.status, 1) << what;
        }
    }
    // Only the two completed runs wrote rows.
    std::string text = log();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

TEST_F(HostileInput, ExtremeSignalsScoreFinitely) {
    const int32_t n = 12000;
    write_file(dir + "/square.pcm", raw_bytes(square_wave(n, 20)));
    write_file(dir + "/square7.pcm", raw_bytes(square_wave(n, 7)));
    write_file(dir + "/dc.pcm", raw_bytes(constant(n, 32767)));
    write_file(dir + "/lowest.pcm", raw_bytes(constant(n, -32768)));
    write_file(dir + "/silence.pcm", raw_bytes(constant(n, 0)));
    // A 44-byte header that is not RIFF is skipped like any other.
    std::string junk_header = wav_bytes(speech, 8000);
    junk_header.replace(0, 44, 44, '\x7f');
    write_file(dir + "/junk_header.wav", junk_header);
    struct Case {
        std::string ref;
        std::string deg;
        double stoi;  // exact expected STOI, or NAN for any finite value
    };
    const std::vector<Case> cases = {
        {"square.pcm", "square.pcm", 1.0},   {"square.pcm", "square7.pcm", NAN}, {"dc.pcm", "dc.pcm", 1.0},
        {"lowest.pcm", "lowest.pcm", 1.0},   {"dc.pcm", "lowest.pcm", NAN},      {"lowest.pcm", "r.wav", NAN},
        {"r.wav", "lowest.pcm", NAN},        {"r.wav", "square.pcm", NAN},       {"r.wav", "silence.pcm", 0.0},
        {"r.wav", "junk_header.wav", 1.0},
    };
    for (const Case& c : cases) {
        for (const char* option : {"-a", "-r"}) {
            ToolRun r = run({"-h", option, c.ref, c.deg});
            const std::string what = c.ref + " " + c.deg + " " + option;
            ASSERT_EQ(r.status, 0) << what << "\n" << r.out;
            std::vector<double> scores = printed_scores(r.out);
            ASSERT_EQ(scores.size(), 2u) << what << "\n" << r.out;
            EXPECT_LE(std::fabs(scores[0]), 1.0) << what;
            EXPECT_LE(std::fabs(scores[1]), 1.0) << what;
            if (!std::isnan(c.stoi)) {
                EXPECT_EQ(scores[0], c.stoi) << what;
            }
        }
    }
    // A reference that is digital silence has nothing to score, whatever
    // the degraded file holds.
    for (const char* deg : {"r.wav", "silence.pcm", "lowest.pcm"}) {
        ToolRun r = run({"-h", "silence.pcm", deg});
        EXPECT_EQ(r.status, 1) << deg;
        EXPECT_EQ(r.out.substr(r.out.size() - kTooShort.size()), kTooShort) << deg;
    }
    std::string text = log();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 2 * static_cast<long>(cases.size()));
}

TEST_F(HostileInput, ControlCharacterInAFileNameIsRefusedBeforeAnythingIsRead) {
    const std::string ref_line = reference_line("r.wav", 12000);
    for (const std::string name : {"a\nb.pcm", "a\tb.pcm", "\x1b[2J.pcm", "del\x7f.pcm"}) {
        write_file(dir + "/" + name, raw_bytes(speech));
        ToolRun as_reference = run({"-h", name, "r.wav"});
        EXPECT_EQ(as_reference.out, "ERROR: Control character in Reference file name\n");
        EXPECT_EQ(as_reference.status, 1);
        ToolRun as_degraded = run({"-h", "r.wav", name});
        EXPECT_EQ(as_degraded.out, ref_line + "ERROR: Control character in Degraded file name\n");
        EXPECT_EQ(as_degraded.status, 1);
    }
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
}

TEST_F(HostileInput, HeaderSkipIsDecidedByTheFilesOwnName) {
    // ".wav" in a directory name says nothing about the file; in the file's
    // own name it does, anywhere.
    ASSERT_EQ(mkdir((dir + "/take.wavs").c_str(), 0755), 0);
    write_file(dir + "/take.wavs/ref.pcm", raw_bytes(speech));
    write_file(dir + "/take.wav.pcm", raw_bytes(speech));
    const std::string files = reference_line("ref.pcm", 12000) + degraded_line("r.wav", 12000);
    ToolRun in_directory = run({"-h", "take.wavs/ref.pcm", "r.wav"});
    EXPECT_EQ(in_directory.out.substr(0, files.size()), files);
    ASSERT_EQ(printed_scores(in_directory.out).size(), 2u) << in_directory.out;
    EXPECT_EQ(printed_scores(in_directory.out)[0], 1.0);
    ToolRun in_name = run({"-h", "take.wav.pcm", "r.wav"});
    const std::string skipped = reference_line("take.wav.pcm", 11978);
    EXPECT_EQ(in_name.out.substr(0, skipped.size()), skipped);
}

TEST_F(HostileInput, AnotherFormatIsRefusedBeforeAnythingIsLogged) {
    ToolRun plain = run({"-h", "r.wav", "r.wav"});
    ASSERT_EQ(plain.err, "");
    auto patched = [&](std::string bytes, size_t at, const std::string& value) {
        bytes.replace(at, value.size(), value);
        return bytes;
    };
    const std::string wav = wav_bytes(speech, 8000);
    // An extensible header stating 8 kHz 16-bit mono PCM: fmt chunk of 40
    // bytes, format 0xFFFE, the PCM subtype's first bytes 01 00.
    std::string extensible = wav.substr(0, 16) + std::string("\x28\0\0\0\xfe\xff", 6) + wav.substr(22, 14) +
                             std::string("\x16\0\x10\0\x04\0\0\0\x01\0", 10) + std::string(14, '\x11') + wav.substr(36);
    struct Case {
        std::string name;
        std::string bytes;
        std::string is;  // what the refusal says the file is; empty: scored
    };
    const std::vector<Case> cases = {
        {"wide.wav", wav_bytes(speech, 16000), "a WAV file of 16000 Hz, 1 channel(s), 16 bits, format 1"},
        {"stereo.wav", wav_bytes(speech, 8000, 2), "a WAV file of 8000 Hz, 2 channel(s), 16 bits, format 1"},
        {"float.wav", patched(wav, 20, std::string("\x03", 1)), "a WAV file of 8000 Hz, 1 channel(s), 16 bits, format 3"},
        {"avi.wav", patched(wav, 8, "AVI "), "a RIFF file that is not WAVE"},
        {"real.flac", "fLaC" + raw_bytes(speech), "a FLAC file"},
        {"flac.wav", "fLaC" + raw_bytes(speech), "a FLAC file"},
        {"real.ogg", "OggS" + raw_bytes(speech), "an Ogg file"},
        {"aiff.raw", "FORM\x01\x02\x03\x04" "AIFF" + raw_bytes(speech), "an AIFF file"},
        {"header.pcm", wav, "a WAV file of 8000 Hz, 1 channel(s), 16 bits, format 1 named as raw data"},
        // Kept as they were: raw data, a header stating 8 kHz 16-bit mono
        // PCM (extensible too), a header that is not RIFF.
        {"raw.pcm", raw_bytes(speech), ""},
        {"ext.wav", extensible, ""},
        {"not_riff.wav", patched(wav, 0, "X"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir + "/" + c.name, c.bytes);
        for (bool as_reference : {true, false}) {
            ToolRun r = as_reference ? run({"-h", c.name, "r.wav"}) : run({"-h", "r.wav", c.name});
            if (!c.is.empty()) {
                const std::string refusal = "ERROR: " + std::string(as_reference ? "Reference" : "Degraded") + " '" +
                                            c.name + "' is " + c.is +
                                            ", not 8000 Hz 16-bit mono PCM: score it with kelvor-batch\n";
                EXPECT_EQ(r.out, (as_reference ? "" : reference_line("r.wav", 12000)) + refusal);
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, "");
            } else {
                EXPECT_EQ(r.status, 0) << r.out;
            }
        }
    }
    // Today's warning stays for the extensible header.
    EXPECT_EQ(run({"-h", "ext.wav", "r.wav"}).err,
              "WARNING: Header of 'ext.wav' states 8000 Hz, 1 channel(s), 16 bits, format 65534; read as 8000 Hz, "
              "1 channel, 16 bits, format 1 (PCM)\n");
    // Only the runs that scored left a row.
    std::string text = log();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 + 2 * 3 + 1);
}

TEST_F(HostileInput, InputsTooLongToHoldAreRefusedBeforeAnythingIsAllocated) {
    // 2 GiB + 1 byte, sparse: far more than 429496729 samples.
    const off_t two_gib_plus_one = (off_t{1} << 31) + 1;
    sparse_file("huge.pcm", two_gib_plus_one);
    sparse_file("huge.wav", two_gib_plus_one);
    // The largest accepted length and one sample more.
    sparse_file("longest.pcm", off_t{429496729} * 2);
    sparse_file("too_long.pcm", off_t{429496730} * 2);

    // Under a 64 MiB address-space limit a refusal that allocated first
    // would say "Not enough memory!". Sanitizer builds cannot run under such
    // a limit; they check the messages only.
    auto limited = [&](const std::vector<std::string>& args) {
        return sanitized_build() ? run(args) : run_tool_limited(args, dir, 64 * 1024);
    };
    const std::string ref_line = reference_line("r.wav", 12000);
    ToolRun as_reference = limited({"-h", "huge.pcm", "r.wav"});
    EXPECT_EQ(as_reference.out, "ERROR: File too long (more than 429496729 samples) 'huge.pcm'\n");
    EXPECT_EQ(as_reference.status, 1);
    ToolRun as_degraded = limited({"r.wav", "huge.wav"});
    EXPECT_EQ(as_degraded.out, ref_line + "ERROR: File too long (more than 429496729 samples) 'huge.wav'\n");
    EXPECT_EQ(as_degraded.status, 1);
    ToolRun one_more = limited({"r.wav", "too_long.pcm"});
    EXPECT_EQ(one_more.out, ref_line + "ERROR: File too long (more than 429496729 samples) 'too_long.pcm'\n");

    // The longest input is accepted; a third file ends the run before any
    // buffer exists.
    ToolRun longest = limited({"longest.pcm", "r.wav", "x"});
    EXPECT_EQ(longest.out, reference_line("longest.pcm", 429496729) + degraded_line("r.wav", 12000) +
                               "ERROR: Too many arguments!\n" + banner_text() + usage_text());
    // Scoring it needs gigabytes; when the heap cannot give them the run
    // ends with the driver's message instead of a crash.
    if (!sanitized_build()) {
        ToolRun starved = run_tool_limited({"-h", "longest.pcm", "r.wav"}, dir, 512 * 1024);
        EXPECT_EQ(starved.out, reference_line("longest.pcm", 429496729) + degraded_line("r.wav", 12000) +
                                   "ERROR: Not enough memory!\n");
        EXPECT_EQ(starved.status, 1);
    }
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
}

TEST_F(HostileInput, ReferenceShortenedBetweenMeasuringAndReading) {
    // The tool measures the reference, then opens the degraded file. A write
    // lease on the degraded file holds that open until the reference has
    // been cut short.
    write_file(dir + "/r.pcm", raw_bytes(speech));
    write_file(dir + "/d.pcm", raw_bytes(speech));
    const std::string deg = dir + "/d.pcm";
    int fd = open(deg.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // The lease-break signal must not end the test.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGIO, &ignore, &previous);
    if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
        int error = errno;
        close(fd);
        sigaction(SIGIO, &previous, nullptr);
        GTEST_SKIP() << "file leases are not available here: " << strerror(error);
    }
    ToolRun r{"", "", -1};
    std::thread tool([&] { r = run_tool({"-h", "r.pcm", "d.pcm"}, dir); });
    bool broken = false;
    for (int i = 0; i < 2000 && !broken; i++) {
        broken = fcntl(fd, F_GETLEASE) != F_WRLCK;
        if (!broken) usleep(5000);
    }
    EXPECT_TRUE(broken) << "the tool never opened the degraded file";
    EXPECT_EQ(truncate((dir + "/r.pcm").c_str(), 1001), 0);
    fcntl(fd, F_SETLEASE, F_UNLCK);
    close(fd);
    tool.join();
    sigaction(SIGIO, &previous, nullptr);

    EXPECT_EQ(r.out, reference_line("r.pcm", 12000) + degraded_line("d.pcm", 12000) +
                         "ERROR: Can't read 'r.pcm' bytes 24000 1001\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
}

TEST_F(HostileInput, DebugOutputNeverOverwritesAnInput) {
    // An input named like a debug file in the working directory would be
    // replaced by a shifted, padded copy of itself.
    write_file(dir + "/deg.wav", wav_bytes(speechlike(12000, 34), 8000));
    const std::string deg_before = read_file(dir + "/deg.wav");
    ToolRun named = run({"-h", "-d", "-a", "r.wav", "deg.wav"});
    EXPECT_EQ(named.status, 1);
    EXPECT_NE(named.out.find("\t Metrics  :  STOI "), std::string::npos);
    EXPECT_EQ(named.out.substr(named.out.rfind('\n', named.out.size() - 2)),
              "\nERROR: Debug output would overwrite an input 'deg.wav'\n");
    EXPECT_EQ(read_file(dir + "/deg.wav"), deg_before);
    EXPECT_EQ(read_file(dir + "/ref.wav").size(), 44u + 2u * 12000u);  // written before it

    // Under another path or through a hard link it is the same file.
    std::remove((dir + "/ref.wav").c_str());
    ToolRun by_path = run({"-h", "-d", "./deg.wav", "r.wav"});
    EXPECT_EQ(by_path.out.substr(by_path.out.rfind('\n', by_path.out.size() - 2)),
              "\nERROR: Debug output would overwrite an input 'deg.wav'\n");
    EXPECT_EQ(read_file(dir + "/deg.wav"), deg_before);
    std::remove((dir + "/deg.wav").c_str());
    const std::string r_before = read_file(dir + "/r.wav");
    ASSERT_EQ(link((dir + "/r.wav").c_str(), (dir + "/ref10.wav").c_str()), 0);
    ToolRun linked = run({"-h", "-d", "r.wav", "r.wav"});
    EXPECT_EQ(linked.status, 1);
    EXPECT_EQ(linked.out.substr(linked.out.rfind('\n', linked.out.size() - 2)),
              "\nERROR: Debug output would overwrite an input 'ref10.wav'\n");
    EXPECT_EQ(read_file(dir + "/r.wav"), r_before);
    EXPECT_TRUE(file_exists(dir + "/deg.wav"));
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
}

TEST_F(HostileInput, OptionAndFileTokensInEveryOrder) {
    write_file(dir + "/d.pcm", raw_bytes(speechlike(12000, 32)));
    // Every order of two options and two files: the first file is the
    // reference, and the output depends on nothing else.
    std::vector<std::string> tokens{"-h", "-s7", "d.pcm", "r.wav"};
    std::sort(tokens.begin(), tokens.end());
    std::string by_reference[2];
    int runs = 0;
    do {
        const bool r_first = std::find(tokens.begin(), tokens.end(), "r.wav") <
                             std::find(tokens.begin(), tokens.end(), "d.pcm");
        ToolRun r = run(tokens);
        ASSERT_EQ(r.status, 0) << r.out;
        std::string& expected = by_reference[r_first ? 0 : 1];
        if (expected.empty()) expected = r.out;
        EXPECT_EQ(r.out, expected) << tokens[0] << " " << tokens[1] << " " << tokens[2] << " " << tokens[3];
        runs++;
    } while (std::next_permutation(tokens.begin(), tokens.end()));
    EXPECT_EQ(runs, 24);
    EXPECT_EQ(by_reference[0].compare(0, 11, "Reference: "), 0);
    EXPECT_NE(by_reference[0].find("Reference: r.wav"), std::string::npos);
    EXPECT_NE(by_reference[1].find("Reference: d.pcm"), std::string::npos);
    EXPECT_NE(by_reference[0].find("\nShift 7 samples (0.875 ms)"), std::string::npos);
    std::string text = log();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 25);
}

TEST_F(HostileInput, CommandLineOfOneHundredThousandCharacters) {
    write_file(dir + "/d.pcm", raw_bytes(speechlike(12000, 33)));
    // 33,333 options of three characters with their blanks, then the files.
    std::vector<std::string> args(33333, "-t");
    args.push_back("r.wav");
    args.push_back("d.pcm");
    ToolRun many = run(args);
    EXPECT_EQ(many.status, 0) << many.out.substr(0, 400);
    EXPECT_EQ(printed_scores(many.out).size(), 2u);
    EXPECT_NE(many.out.find("\nResampling Reference... t="), std::string::npos);

    // One name of 100,000 characters cannot be opened, and is shown whole.
    std::string name(100000, 'n');
    ToolRun long_name = run({"-h", "r.wav", name});
    EXPECT_EQ(long_name.out, reference_line("r.wav", 12000) + "ERROR: Can't open Degraded '" + name + "'\n");
    EXPECT_EQ(long_name.status, 1);
    // And as an option, only its letter counts.
    ToolRun long_option = run({"-s" + std::string(99998, '9'), "r.wav", "d.pcm"});
    EXPECT_EQ(long_option.out, "ERROR: Illegal shift value 2147483647\n");
}

}  // namespace
