// Whole runs of the executable: the console lines of each option, the
// inputs as they are read, and the debug WAV files.
#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "driver_texts.h"
#include "support.h"

namespace {

struct Scores {
    std::string stoi;
    std::string estoi;
};

// The two numbers of the metrics line, as printed.
Scores printed_scores(const std::string& out) {
    const std::string stoi_tag = "\t Metrics  :  STOI ";
    const std::string estoi_tag = "  ESTOI ";
    size_t at = out.find(stoi_tag);
    if (at == std::string::npos) return {"", ""};
    at += stoi_tag.size();
    size_t mid = out.find(estoi_tag, at);
    if (mid == std::string::npos) return {"", ""};
    size_t end = out.find_first_of("\t\n", mid + estoi_tag.size());
    return {out.substr(at, mid - at), out.substr(mid + estoi_tag.size(), end - mid - estoi_tag.size())};
}

// The output with every " t=<seconds>sec" written as " t=#sec"; a time that
// is not a number in %g form is left as it is, so the comparison fails.
std::string mask_timings(const std::string& out) {
    std::string masked;
    size_t pos = 0;
    for (size_t at = out.find(" t=", pos); at != std::string::npos; at = out.find(" t=", pos)) {
        size_t digits = at + 3;
        size_t end = out.find_first_not_of("0123456789.e+-", digits);
        if (end == std::string::npos || end == digits || out.compare(end, 3, "sec") != 0) {
            masked += out.substr(pos, digits - pos);
            pos = digits;
            continue;
        }
        masked += out.substr(pos, at - pos) + " t=#sec";
        pos = end + 3;
    }
    return masked + out.substr(pos);
}

std::string metrics_line(const Scores& s) {
    return "\t Metrics  :  STOI " + s.stoi + "  ESTOI " + s.estoi;
}

std::vector<int16_t> delayed(const std::vector<int16_t>& x, int32_t d) {
    std::vector<int16_t> y(x.size(), 0);
    for (size_t i = 0; i + static_cast<size_t>(d) < x.size(); i++) y[i + static_cast<size_t>(d)] = x[i];
    return y;
}

class Run : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        clean = speechlike(24000, 7);
        write_file(dir + "/r.wav", wav_bytes(clean, 8000));
        write_file(dir + "/d.wav", wav_bytes(delayed(clean, 137), 8000));
    }
    void TearDown() override { remove_tree(dir); }
    ToolRun run(const std::vector<std::string>& args) { return run_tool(args, dir); }

    std::string dir;
    std::vector<int16_t> clean;
};

const std::string kFiles = reference_line("r.wav", 24000) + degraded_line("d.wav", 24000);
const std::string kResampling = "\nResampling Reference...\nResampling Degraded... \nSTOI processing...";

TEST_F(Run, PlainRunPrintsExactlyItsLines) {
    ToolRun r = run({"r.wav", "d.wav"});
    ASSERT_EQ(r.status, 0) << r.out;
    Scores s = printed_scores(r.out);
    ASSERT_FALSE(s.stoi.empty()) << r.out;
    EXPECT_EQ(r.out, kFiles + banner_text() + kResampling + metrics_line(s) + "\n");
    EXPECT_EQ(r.err, "");
    // -h hides only the banner; options after the file names count too.
    ToolRun hidden = run({"r.wav", "d.wav", "-h"});
    EXPECT_EQ(hidden.out, kFiles + kResampling + metrics_line(s) + "\n");
    EXPECT_EQ(hidden.status, 0);
}

TEST_F(Run, AlignmentFindsAndAppliesTheDelay) {
    ToolRun r = run({"-h", "-a", "r.wav", "d.wav"});
    ASSERT_EQ(r.status, 0) << r.out;
    Scores aligned = printed_scores(r.out);
    EXPECT_EQ(r.out, kFiles + "\nSearch alignment... Shift 137 samples" + kResampling + metrics_line(aligned) + "\n");
    // The same shift given by hand gives the same scores.
    ToolRun by_hand = run({"-h", "-s137", "r.wav", "d.wav"});
    EXPECT_EQ(by_hand.out, kFiles + "\nShift 137 samples (17.125 ms)" + kResampling + metrics_line(aligned) + "\n");
    // A pair without delay.
    ToolRun none = run({"-h", "-a", "r.wav", "r.wav"});
    EXPECT_NE(none.out.find("\nSearch alignment... (No delay found)\nResampling Reference..."), std::string::npos)
        << none.out;
    // Aligning raises the score of the delayed copy above the unaligned one.
    Scores unaligned = printed_scores(run({"-h", "r.wav", "d.wav"}).out);
    EXPECT_GT(std::stod(aligned.stoi), std::stod(unaligned.stoi));
}

TEST_F(Run, TimingAndDoubleResamplerNotes) {
    ToolRun r = run({"-t", "-r", "-a", "-h", "r.wav", "d.wav"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string t = " t=#sec";
    EXPECT_EQ(mask_timings(r.out),
              kFiles + "\nSearch alignment... Shift 137 samples" + t + "\nResampling Reference..." + t +
                  " \t(double)\nResampling Degraded... " + t + " \t(double)\nSTOI processing..." +
                  metrics_line(printed_scores(r.out)) + "\t" + t + t + "\n");
    // Without -t and -r neither note appears anywhere.
    ToolRun plain = run({"-a", "-h", "r.wav", "d.wav"});
    EXPECT_EQ(plain.out.find(" t="), std::string::npos);
    EXPECT_EQ(plain.out.find("(double)"), std::string::npos);
}

TEST_F(Run, DebugFilesHoldTheComparedSignals) {
    // 8001 samples: the 10 kHz files hold 5 * 8001 / 4 = 10001 samples.
    std::vector<int16_t> ref = speechlike(8001, 11);
    std::vector<int16_t> deg = speechlike(7000, 12);  // shorter: padded with zeros
    write_file(dir + "/r8001.wav", wav_bytes(ref, 8000));
    write_file(dir + "/d7000.pcm", raw_bytes(deg));
    ToolRun r = run({"-d", "-h", "r8001.wav", "d7000.pcm"});
    ASSERT_EQ(r.status, 0) << r.out;
    int32_t n = static_cast<int32_t>(ref.size());
    int32_t m = 5 * n / 4;
    EXPECT_NE(r.out.find("\nDebug output  8kHz  : ref.wav deg.wav\nDebug output 10kHz  : ref10.wav deg10.wav\n"),
              std::string::npos);

    struct Expect {
        const char* name;
        int32_t rate;
        int32_t samples;
    };
    for (Expect e : {Expect{"ref.wav", 8000, n}, Expect{"deg.wav", 8000, n}, Expect{"ref10.wav", 10000, m},
                     Expect{"deg10.wav", 10000, m}}) {
        std::string bytes = read_file(dir + "/" + e.name);
        ASSERT_EQ(bytes.size(), 44u + 2u * static_cast<size_t>(e.samples)) << e.name;
        std::vector<int16_t> no_samples;
        std::string header = wav_bytes(no_samples, e.rate).substr(0, 40);
        // RIFF size and data size carry the real data size.
        uint32_t data = 2u * static_cast<uint32_t>(e.samples);
        std::string expected_header = header;
        for (int i = 0; i < 4; i++) expected_header[4 + i] = static_cast<char>(((36 + data) >> (8 * i)) & 0xFF);
        EXPECT_EQ(bytes.substr(0, 40), expected_header) << e.name;
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(static_cast<uint8_t>(bytes[40 + i]), (data >> (8 * i)) & 0xFF) << e.name;
    }
    EXPECT_EQ(load_samples(dir + "/ref.wav"), ref);
    std::vector<int16_t> padded = deg;
    padded.resize(ref.size(), 0);
    EXPECT_EQ(load_samples(dir + "/deg.wav"), padded);
}

TEST_F(Run, DebugDegradedFileFollowsOnlyTheSearchedShift) {
    ToolRun aligned = run({"-d", "-h", "-a", "r.wav", "d.wav"});
    ASSERT_EQ(aligned.status, 0);
    std::vector<int16_t> deg = delayed(clean, 137);
    std::vector<int16_t> from_shift(deg.begin() + 137, deg.end());
    from_shift.resize(deg.size(), 0);
    EXPECT_EQ(load_samples(dir + "/deg.wav"), from_shift);
    std::vector<int16_t> deg10_aligned = load_samples(dir + "/deg10.wav");

    // With -s the 8 kHz file starts at the first sample, the 10 kHz one is
    // the shifted signal: the same as with the searched shift.
    ToolRun by_hand = run({"-d", "-h", "-s137", "r.wav", "d.wav"});
    ASSERT_EQ(by_hand.status, 0);
    EXPECT_EQ(load_samples(dir + "/deg.wav"), deg);
    EXPECT_EQ(load_samples(dir + "/deg10.wav"), deg10_aligned);
}

TEST_F(Run, DebugFileThatCannotBeCreated) {
    ASSERT_EQ(mkdir((dir + "/deg10.wav").c_str(), 0755), 0);
    ToolRun r = run({"-d", "-h", "r.wav", "d.wav"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nDebug output  8kHz  : ref.wav deg.wav\nERROR: Open 'deg10.wav'\n"), std::string::npos)
        << r.out;
    // Files written before it are complete; no row is logged.
    EXPECT_EQ(read_file(dir + "/ref10.wav").size(), 44u + 2u * 30000u);
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
}

TEST_F(Run, WavHeaderIsSkippedNotRead) {
    // A 44-byte header that is not RIFF changes nothing: byte 44 on is
    // 8 kHz mono. (One claiming another format is refused.)
    std::string junk = wav_bytes(clean, 8000);
    junk.replace(0, 44, 44, '\x55');
    write_file(dir + "/junk.wav", junk);
    Scores plain = printed_scores(run({"-h", "r.wav", "r.wav"}).out);
    ToolRun r = run({"-h", "r.wav", "junk.wav"});
    EXPECT_EQ(r.out, reference_line("r.wav", 24000) + degraded_line("junk.wav", 24000) + kResampling +
                         metrics_line(plain) + "\n");
    // The same samples raw, under names that are and are not WAV names.
    write_file(dir + "/take.wav.pcm", wav_bytes(clean, 8000));
    write_file(dir + "/raw.Wav", raw_bytes(clean));
    write_file(dir + "/upper.WAV", wav_bytes(clean, 8000));
    EXPECT_EQ(printed_scores(run({"-h", "r.wav", "take.wav.pcm"}).out).stoi, plain.stoi);
    EXPECT_EQ(printed_scores(run({"-h", "raw.Wav", "upper.WAV"}).out).stoi, plain.stoi);
    // A .Wav name is raw: raw data of 44 bytes more are 22 samples more,
    // and a RIFF header in it would be read as samples, so it is refused.
    write_file(dir + "/speech.Wav", std::string(44, '\x01') + raw_bytes(clean));
    EXPECT_EQ(run({"speech.Wav", "-Q"}).out, reference_line("speech.Wav", 24022) + "ERROR: Unknown option -Q\n");
    write_file(dir + "/header.Wav", wav_bytes(clean, 8000));
    EXPECT_EQ(run({"header.Wav", "-Q"}).out, "ERROR: Reference 'header.Wav' is a WAV file of 8000 Hz, 1 channel(s), "
                                             "16 bits, format 1 named as raw data, not 8000 Hz 16-bit mono PCM: score "
                                             "it with kelvor-batch\n");
}

TEST_F(Run, ShortAndEmptyInputs) {
    write_file(dir + "/empty.wav", wav_bytes({}, 8000));
    write_file(dir + "/empty.pcm", "");
    ToolRun r = run({"-h", "empty.wav", "empty.pcm"});
    EXPECT_EQ(r.out, reference_line("empty.wav", 0) + degraded_line("empty.pcm", 0) + kResampling +
                         "ERROR: STOI -- Too short file\n");
    EXPECT_EQ(r.status, 1);

    // A 20-byte WAV file: its header read consumed everything.
    write_file(dir + "/short.wav", std::string(20, 'x'));
    ToolRun s = run({"-h", "r.wav", "short.wav"});
    EXPECT_EQ(s.out, reference_line("r.wav", 24000) + degraded_line("short.wav", 10) +
                         "ERROR: Can't read 'short.wav' bytes 20 0\n");
    EXPECT_EQ(s.status, 1);
    ToolRun b = run({"short.wav", "r.wav"});
    EXPECT_EQ(b.out, reference_line("short.wav", 10) + degraded_line("r.wav", 24000) + banner_text() +
                         "ERROR: Can't read 'short.wav' bytes 20 0\n");
}

TEST_F(Run, OddByteCounts) {
    // The odd last byte becomes the low byte of one more sample whose high
    // byte is zero; a reference that is the longer input keeps it in a spare
    // byte beyond the samples that are scored.
    std::string odd = raw_bytes(clean) + std::string(1, '\x7f');
    write_file(dir + "/odd.pcm", odd);
    Scores even = printed_scores(run({"-h", "r.wav", "r.wav"}).out);
    ToolRun as_reference = run({"-h", "odd.pcm", "r.wav"});
    EXPECT_EQ(as_reference.out, reference_line("odd.pcm", 24000) + degraded_line("r.wav", 24000) + kResampling +
                                    metrics_line(even) + "\n");
    std::vector<int16_t> longer = clean;
    longer.push_back(0x7f);
    write_file(dir + "/r24001.pcm", raw_bytes(longer));
    ToolRun as_degraded = run({"-h", "-d", "r24001.pcm", "odd.pcm"});
    ASSERT_EQ(as_degraded.status, 0) << as_degraded.out;
    EXPECT_EQ(load_samples(dir + "/deg.wav"), longer);
}

TEST_F(Run, DisplayNamesDropDirectories) {
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    write_file(dir + "/sub/C:\\data\\ref.wav", wav_bytes(clean, 8000));
    write_file(dir + "/sub/tail\\", raw_bytes(clean));
    ToolRun r = run({"sub/C:\\data\\ref.wav", "./sub/tail\\", "-Q"});
    EXPECT_EQ(r.out, reference_line("ref.wav", 24000) + degraded_line("./sub/tail\\", 24000) +
                         "ERROR: Unknown option -Q\n");
}

// The tool pinned to one processor (as under `taskset -c 0`) runs every
// step on one thread; on every processor it shares them out. Every byte it
// writes must be the same: the console (timings aside), the results log
// and the debug files, with the delay searched, given and with the double
// table, on a minute of speech with a pause and a noisy, delayed copy.
TEST_F(Run, OneProcessorAndEveryProcessorWriteTheSameBytes) {
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    if (CPU_COUNT(&all) < 2) GTEST_SKIP() << "one processor: the threaded chain cannot run here";
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; CPU_COUNT(&one) == 0; cpu++) {
        if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &one);
    }
    std::vector<int16_t> ref = speechlike(480000, 9);
    std::fill(ref.begin() + 100000, ref.begin() + 140000, 0);
    const std::vector<int16_t> other = speechlike(480000, 10, 3000.0);
    std::vector<int16_t> deg = delayed(ref, 411);
    for (size_t i = 0; i < deg.size(); i++) deg[i] = static_cast<int16_t>(0.7 * deg[i] + 0.5 * other[i]);
    write_file(dir + "/long_ref.pcm", raw_bytes(ref));
    write_file(dir + "/long_deg.wav", wav_bytes(deg, 8000));

    const char* const files[] = {"stoi_results.txt", "ref.wav", "deg.wav", "ref10.wav", "deg10.wav"};
    auto outputs = [&](const std::vector<std::string>& args, const cpu_set_t& cpus) {
        for (const char* name : files) std::remove((dir + "/" + name).c_str());
        EXPECT_EQ(sched_setaffinity(0, sizeof cpus, &cpus), 0);
        const ToolRun r = run(args);
        EXPECT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
        std::vector<std::string> written{mask_timings(r.out), r.err, std::to_string(r.status)};
        for (const char* name : files) written.push_back(read_file(dir + "/" + name));
        return written;
    };
    const std::vector<std::string> runs[] = {{"-a", "-t", "-d", "long_ref.pcm", "long_deg.wav"},
                                             {"-h", "-s411", "-r", "-t", "-d", "long_ref.pcm", "long_deg.wav"},
                                             {"-h", "-d", "long_deg.wav", "long_ref.pcm"}};
    for (const std::vector<std::string>& args : runs) {
        const std::vector<std::string> alone = outputs(args, one);
        EXPECT_EQ(alone[2], "0") << alone[0];
        EXPECT_FALSE(alone[3].empty() || alone[7].empty());  // a row and the last debug file
        const std::vector<std::string> shared = outputs(args, all);
        for (size_t i = 0; i < alone.size(); i++) {
            EXPECT_TRUE(alone[i] == shared[i]) << args[2] << ": output " << i << " differs:\n"
                                               << alone[i].substr(0, 400) << "\n---\n" << shared[i].substr(0, 400);
        }
    }
}

}  // namespace
