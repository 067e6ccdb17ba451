// kelvor-batch on inputs that reach it through the shell: named pipes in a
// manifest and below folders, manifests from standard input and pipes,
// names that are not UTF-8, samples near the largest float, and the peak
// memory of a long pair.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch_support.h"
#include "frontend/row.h"
#include "kelvor/stoi.h"

using namespace kelvor::frontend;

namespace {

class CommandInputs : public TempDirTest {};

TEST_F(CommandInputs, ANamedPipeIsAnUnreadableRowAndTheRunEnds) {
    ASSERT_EQ(::mkfifo(path("pipe.wav").c_str(), 0644), 0);
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
        EXPECT_EQ(rows[0].status, KELVOR_ERR_UNREADABLE);
    }
}

TEST_F(CommandInputs, SamplesNearTheLargestFloatScoreAndNeverGiveNan) {
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

TEST_F(CommandInputs, ManifestsFromStandardInputAndPipes) {
    write_sample_pair();
    write_file(path("m.csv"), "\xEF\xBB\xBFreference,degraded\nref.wav,deg.wav\nref.wav,none.wav\n");
    ToolRun from_file = run_batch({"m.csv"}, dir_);
    ASSERT_EQ(from_file.status, 3) << from_file.err;
    const char* const scripts[] = {
        "cat m.csv | \"$0\" -",
        "cat m.csv | \"$0\" /dev/stdin",
        "\"$0\" - < m.csv",
        "mkfifo fifo.csv && { cat m.csv > fifo.csv & } && \"$0\" fifo.csv",
        "cat m.csv | \"$0\" --progress -",
    };
    for (const char* script : scripts) {
        SCOPED_TRACE(script);
        ToolRun piped = run_batch_shell(script, {}, dir_);
        EXPECT_EQ(piped.status, 3) << piped.err;
        EXPECT_EQ(piped.out, from_file.out);
        ::unlink(path("fifo.csv").c_str());
    }
    // A stream has no total to show.
    ToolRun progress = run_batch_shell("cat m.csv | \"$0\" --progress -", {}, dir_);
    EXPECT_NE(progress.err.find("2 done"), std::string::npos) << progress.err;
    // A stream is read once: -o of a resumed run is checked as well.
    ToolRun first = run_batch_shell("cat m.csv | \"$0\" -o out.csv -", {}, dir_);
    ToolRun resumed = run_batch_shell("cat m.csv | \"$0\" --resume -o out.csv -", {}, dir_);
    EXPECT_EQ(resumed.status, 3) << resumed.err;
    EXPECT_EQ(read_file(path("out.csv")), from_file.out);
    EXPECT_NE(resumed.err.find("(2 already in"), std::string::npos) << resumed.err;
}

TEST_F(CommandInputs, NamesThatAreNotUtf8KeepTheirBytes) {
    write_file(path("ref.wav"), wav_bytes(sample_ref(), 8000));
    const std::string odd = "caf\xe9 \xff.wav";  // Latin-1, and a byte no encoding of text uses
    write_file(path(odd), wav_bytes(sample_deg(), 8000));
    write_file(path("m.csv"), "reference,degraded\nref.wav," + odd + "\n");
    ToolRun csv = run_batch({"m.csv"}, dir_);
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find("ref.wav," + odd + ","), std::string::npos);
    ToolRun jsonl = run_batch({"--format", "jsonl", "m.csv"}, dir_);
    ASSERT_EQ(jsonl.status, 0) << jsonl.err;
    // Valid JSON: the bytes as the escapes of Python's surrogateescape.
    EXPECT_NE(jsonl.out.find("\"degraded\": \"caf\\udce9 \\udcff.wav\""), std::string::npos) << jsonl.out;
    std::vector<Row> back = parse_rows(jsonl.out, true);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].degraded, odd);
}

TEST_F(CommandInputs, PeakMemoryDoesNotGrowWithTheLength) {
    // kelvor-batch on a 10-minute and on a 2-minute 16 kHz pair (both long
    // enough to be streamed): the longer file, 19 MB of samples per side,
    // adds next to nothing to the peak (reading them whole needed about
    // 600 MB per hour of 16 kHz audio).
    auto peak_kb = [&](int seconds) {
        // The files are written by a child of their own: a process started
        // from this one begins with this one's resident pages, which count
        // in its peak.
        const pid_t writer = fork();
        if (writer == 0) {
            write_pcm16(path("ref.wav"), tiled(sample_ref(), 16000LL * seconds), 16000);
            write_pcm16(path("deg.wav"), tiled(sample_deg(), 16000LL * seconds), 16000);
            _exit(0);
        }
        EXPECT_EQ(wait_batch(writer), 0);
        write_file(path("m.csv"), "reference,degraded\nref.wav,deg.wav\n");
        struct rusage usage {};
        EXPECT_EQ(wait_batch(spawn_batch({"-j1", "--align", "m.csv"}, dir_), &usage), 0);
        return usage.ru_maxrss;
    };
    const long two = peak_kb(120);
    const long ten = peak_kb(600);
    EXPECT_LT(ten, two + 4096) << "peak " << two << " kB for 2 minutes, " << ten << " kB for 10";
}

}  // namespace
