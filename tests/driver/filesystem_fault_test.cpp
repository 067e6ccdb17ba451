// The file system failing under the tool: a results log that cannot be
// opened, writes that fail after the file was opened (a full device, a file
// size limit), and many runs appending to one log at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support.h"

namespace {

const std::string kHeader = "REFERENCE\t DEGRADED\t STOI\t ESTOI\t\tSHIFT \n";

// Runs the tool through the shell with a file size limit of `blocks` blocks
// of 512 bytes; the limit's signal is ignored, so an oversized write fails
// with an error instead of ending the process.
ToolRun run_tool_size_limited(const std::vector<std::string>& args, const std::string& dir, int blocks) {
    std::string command = "trap '' XFSZ; ulimit -f " + std::to_string(blocks) + " && exec \"$0\"";
    for (size_t i = 0; i < args.size(); i++) command += " \"$" + std::to_string(i + 1) + "\"";
    std::vector<std::string> argv{"/bin/sh", "-c", command, KELVOR_STOI_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

std::string last_line(const std::string& out) {
    size_t end = out.size();
    if (end > 0 && out[end - 1] == '\n') end--;
    size_t start = out.rfind('\n', end == 0 ? 0 : end - 1);
    return out.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

class FileSystemFault : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        std::vector<int16_t> clean = speechlike(12000, 41);
        std::vector<int16_t> deg(clean.size());
        for (size_t i = 0; i < clean.size(); i++) deg[i] = static_cast<int16_t>(clean[i] / 3 + (i % 23) * 30);
        write_file(dir + "/r.wav", wav_bytes(clean, 8000));
        write_file(dir + "/d.pcm", raw_bytes(deg));
        ToolRun plain = run({"-h", "r.wav", "d.pcm"});
        ASSERT_EQ(plain.status, 0);
        row = read_file(dir + "/stoi_results.txt").substr(kHeader.size());
        ASSERT_FALSE(row.empty());
        std::remove((dir + "/stoi_results.txt").c_str());
    }
    void TearDown() override {
        chmod(dir.c_str(), 0755);
        remove_tree(dir);
    }
    ToolRun run(const std::vector<std::string>& args) { return run_tool(args, dir); }
    std::string log() { return read_file(dir + "/stoi_results.txt"); }
    bool metrics_printed(const ToolRun& r) { return r.out.find("\t Metrics  :  STOI ") != std::string::npos; }

    std::string dir;
    std::string row;  // the row of r.wav against d.pcm without options
};

TEST_F(FileSystemFault, LogThatCannotBeCreatedIsSkippedWithStatusZero) {
    // A dangling symbolic link into a directory that does not exist: the log
    // cannot be created, whoever runs the tool.
    ASSERT_EQ(symlink("no-such-dir/stoi_results.txt", (dir + "/stoi_results.txt").c_str()), 0);
    ToolRun dangling = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(dangling.status, 0);
    EXPECT_TRUE(metrics_printed(dangling));
    EXPECT_EQ(dangling.out.find("ERROR"), std::string::npos);
    EXPECT_FALSE(file_exists(dir + "/no-such-dir"));
}

TEST_F(FileSystemFault, ReadOnlyWorkingDirectory) {
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    if (access(dir.c_str(), W_OK) == 0) {
        GTEST_SKIP() << "this user can write into a read-only directory (root): that case is not observable";
    }
    ToolRun read_only = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(read_only.status, 0);
    EXPECT_TRUE(metrics_printed(read_only));
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
    // Debug files cannot be created there either, and that is an error.
    ToolRun debug = run({"-h", "-d", "r.wav", "d.pcm"});
    EXPECT_EQ(debug.status, 1);
    EXPECT_EQ(last_line(debug.out), "ERROR: Open 'ref.wav'");
}

TEST_F(FileSystemFault, FullDeviceBehindTheLogIsAnError) {
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(symlink("/dev/full", (dir + "/stoi_results.txt").c_str()), 0);
    ToolRun r = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(metrics_printed(r));
    EXPECT_EQ(last_line(r.out), "ERROR: Can't write 'stoi_results.txt'");
}

TEST_F(FileSystemFault, FullDeviceBehindEachDebugFileIsAnError) {
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::vector<std::string> names{"ref.wav", "deg.wav", "ref10.wav", "deg10.wav"};
    for (size_t k = 0; k < names.size(); k++) {
        for (const std::string& name : names) std::remove((dir + "/" + name).c_str());
        ASSERT_EQ(symlink("/dev/full", (dir + "/" + names[k]).c_str()), 0);
        ToolRun r = run({"-h", "-d", "r.wav", "d.pcm"});
        EXPECT_EQ(r.status, 1) << names[k];
        EXPECT_EQ(last_line(r.out), "ERROR: Can't write '" + names[k] + "'") << names[k];
        // The files before it are complete, none after it exists, and the
        // failed run has no row.
        for (size_t j = 0; j < k; j++) {
            const int32_t samples = j < 2 ? 12000 : 15000;
            EXPECT_EQ(read_file(dir + "/" + names[j]).size(), 44u + 2u * samples) << names[j];
        }
        for (size_t j = k + 1; j < names.size(); j++) EXPECT_FALSE(file_exists(dir + "/" + names[j])) << names[j];
        EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
    }
}

TEST_F(FileSystemFault, RowThatDoesNotFitLeavesTheLogAsItWas) {
    // The log fills its file size limit up to a few bytes: the new row fits
    // only in part. The log must not keep that part.
    std::string earlier = kHeader;
    while (earlier.size() + row.size() <= 1000) earlier += row;
    earlier.resize(1024 - row.size() / 2, '#');
    earlier.back() = '\n';
    write_file(dir + "/stoi_results.txt", earlier);
    ToolRun r = run_tool_size_limited({"-h", "r.wav", "d.pcm"}, dir, 2);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(metrics_printed(r));
    EXPECT_EQ(last_line(r.out), "ERROR: Can't write 'stoi_results.txt'");
    EXPECT_EQ(log(), earlier);
    // With room again the next run appends its row right behind.
    ToolRun again = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(log(), earlier + row);
}

TEST_F(FileSystemFault, FullDeviceBehindStandardOutputIsAnError) {
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // The scores cannot reach the console: the run failed and logs nothing.
    ToolRun r = run_program({"/bin/sh", "-c", "exec \"$0\" -h r.wav d.pcm > /dev/full", KELVOR_STOI_EXE}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Can't write 'standard output'\n");
    EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
}

TEST_F(FileSystemFault, SixtyFourRunsInParallelWriteOneHeaderAndEveryRowWhole) {
    const int runs = 64;
    // Each run reports its output through a pipe of its own.
    std::vector<pid_t> children;
    std::vector<int> pipes;
    for (int i = 0; i < runs; i++) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            ToolRun r = run_tool({"-h", "-s" + std::to_string(i + 1), "r.wav", "d.pcm"}, dir);
            std::string report = std::to_string(r.status) + "\n" + r.out;
            ssize_t ignored = write(fds[1], report.data(), report.size());
            (void)ignored;
            _exit(0);
        }
        close(fds[1]);
        children.push_back(pid);
        pipes.push_back(fds[0]);
    }
    std::vector<std::string> expected_rows;
    for (int i = 0; i < runs; i++) {
        std::string report;
        char buffer[4096];
        ssize_t got;
        while ((got = read(pipes[static_cast<size_t>(i)], buffer, sizeof buffer)) > 0) {
            report.append(buffer, static_cast<size_t>(got));
        }
        close(pipes[static_cast<size_t>(i)]);
        waitpid(children[static_cast<size_t>(i)], nullptr, 0);
        ASSERT_EQ(report.compare(0, 2, "0\n"), 0) << report;
        // The row this run must have written, from its printed scores.
        size_t at = report.find("Metrics  :  STOI ");
        ASSERT_NE(at, std::string::npos);
        size_t es = report.find("  ESTOI ", at);
        size_t end = report.find('\n', es);
        std::string stoi = report.substr(at + 17, es - at - 17);
        std::string estoi = report.substr(es + 8, end - es - 8);
        char shift[16];
        snprintf(shift, sizeof shift, "\t%3d\t", i + 1);
        expected_rows.push_back("r.wav\t d.pcm\t " + stoi + "\t " + estoi + "\t" + shift + "\n");
    }
    std::string text = log();
    ASSERT_EQ(text.compare(0, kHeader.size(), kHeader), 0);
    std::vector<std::string> rows;
    size_t pos = kHeader.size();
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos) << "last row unterminated";
        rows.push_back(text.substr(pos, end + 1 - pos));
        pos = end + 1;
    }
    std::sort(rows.begin(), rows.end());
    std::sort(expected_rows.begin(), expected_rows.end());
    EXPECT_EQ(rows, expected_rows);
}

}  // namespace
