// The results log: header, rows, the shift column, and runs in parallel.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support.h"

namespace {

const std::string kHeader = "REFERENCE\t DEGRADED\t STOI\t ESTOI\t\tSHIFT \n";

class ResultsLog : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        std::vector<int16_t> clean = speechlike(24000, 5);
        write_file(dir + "/r.wav", wav_bytes(clean, 8000));
        std::vector<int16_t> deg(clean.size(), 0);
        for (size_t i = 0; i + 3 < clean.size(); i++) deg[i + 3] = static_cast<int16_t>(clean[i] / 2);
        write_file(dir + "/d.pcm", raw_bytes(deg));
    }
    void TearDown() override { remove_tree(dir); }
    ToolRun run(const std::vector<std::string>& args) { return run_tool(args, dir); }
    std::string log() { return read_file(dir + "/stoi_results.txt"); }

    // The row a run prints, rebuilt from its metrics line.
    static std::string row_of(const ToolRun& r, const std::string& ref, const std::string& deg,
                              const std::string& shift) {
        size_t at = r.out.find("Metrics  :  STOI ") + 12;
        size_t es = r.out.find("  ESTOI ");
        size_t end = r.out.find_first_of("\t\n", es + 8);
        std::string stoi = r.out.substr(at + 5, es - at - 5);
        std::string estoi = r.out.substr(es + 8, end - es - 8);
        return ref + "\t " + deg + "\t " + stoi + "\t " + estoi + "\t" + shift + "\n";
    }

    std::string dir;
};

TEST_F(ResultsLog, NewLogGetsHeaderThenOneRowPerRun) {
    ToolRun first = run({"-h", "r.wav", "d.pcm"});
    ASSERT_EQ(first.status, 0) << first.out;
    std::string row = row_of(first, "r.wav", "d.pcm", "\t   \t");
    EXPECT_EQ(log(), kHeader + row);
    ToolRun second = run({"-h", "./r.wav", dir + "/d.pcm"});
    EXPECT_EQ(log(), kHeader + row + row);
}

TEST_F(ResultsLog, HeaderOnlyWhenTheLogIsEmpty) {
    write_file(dir + "/stoi_results.txt", "");
    ToolRun r = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(log(), kHeader + row_of(r, "r.wav", "d.pcm", "\t   \t"));

    write_file(dir + "/stoi_results.txt", "\n");
    r = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(log(), "\n" + row_of(r, "r.wav", "d.pcm", "\t   \t"));
}

TEST_F(ResultsLog, ShiftColumn) {
    ToolRun aligned = run({"-h", "-a", "r.wav", "d.pcm"});
    ToolRun none = run({"-h", "-a", "r.wav", "r.wav"});
    ToolRun given = run({"-h", "-s7", "r.wav", "d.pcm"});
    ToolRun wide = run({"-h", "-s900", "r.wav", "d.pcm"});
    EXPECT_NE(aligned.out.find(" Shift 3 samples"), std::string::npos);
    EXPECT_NE(none.out.find(" (No delay found)"), std::string::npos);
    EXPECT_NE(given.out.find("\nShift 7 samples (0.875 ms)\nResampling"), std::string::npos);
    EXPECT_EQ(log(), kHeader + row_of(aligned, "r.wav", "d.pcm", "\t  3\t") +
                         row_of(none, "r.wav", "r.wav", "\t  0\t") + row_of(given, "r.wav", "d.pcm", "\t  7\t") +
                         row_of(wide, "r.wav", "d.pcm", "\t900\t"));
}

TEST_F(ResultsLog, FailedRunLeavesTheLogUntouched) {
    write_file(dir + "/stoi_results.txt", "kept\n");
    EXPECT_EQ(run({"-h", "r.wav", "missing.wav"}).status, 1);
    EXPECT_EQ(run({"-h", "-s0", "r.wav", "d.pcm"}).status, 1);
    EXPECT_EQ(log(), "kept\n");
}

TEST_F(ResultsLog, LogThatCannotBeOpenedIsSkipped) {
    ASSERT_EQ(mkdir((dir + "/stoi_results.txt").c_str(), 0755), 0);
    ToolRun r = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.size() - 1), "\n");
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos);
}

TEST_F(ResultsLog, LogThatCannotBePositioned) {
    // A named pipe opens for appending once a reader is there (the test
    // holds one), but cannot seek: the run fails instead of claiming a
    // logged result.
    const std::string fifo = dir + "/stoi_results.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ToolRun r = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(r.status, 1);
    const std::string tail = "ERROR: Can't move to start of log file 'stoi_results.txt'\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0) << "nothing may reach the log";
    close(reader);
}

TEST_F(ResultsLog, ParallelRunsKeepEveryRowWhole) {
    const int runs = 16;
    std::vector<pid_t> children;
    for (int i = 0; i < runs; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            ToolRun r = run_tool({"-h", "-s" + std::to_string(i + 1), "r.wav", "d.pcm"}, dir);
            _exit(r.status);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string text = log();
    ASSERT_EQ(text.compare(0, kHeader.size(), kHeader), 0);
    std::vector<bool> seen(runs + 1, false);
    size_t pos = kHeader.size();
    int rows = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(pos, end - pos);
        ASSERT_EQ(line.compare(0, 13, "r.wav\t d.pcm\t"), 0) << line;
        int shift = std::stoi(line.substr(line.size() - 4, 3));
        ASSERT_GE(shift, 1);
        ASSERT_LE(shift, runs);
        EXPECT_FALSE(seen[static_cast<size_t>(shift)]);
        seen[static_cast<size_t>(shift)] = true;
        rows++;
        pos = end + 1;
    }
    EXPECT_EQ(rows, runs);
}

}  // namespace
