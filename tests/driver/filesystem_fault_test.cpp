// The file system failing under the tool: a results log that cannot be
// opened, writes that fail after the file was opened (a full device, a file
// size limit), and many runs appending to one log at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support.h"

namespace {

const std::string kHeader = "REFERENCE\t DEGRADED\t STOI\t ESTOI\t\tSHIFT \n";

// Runs the tool through the shell after the commands of setup (each ended
// by ";"): a file size limit, a preloaded library.
ToolRun run_tool_after(const std::string& setup, const std::vector<std::string>& args, const std::string& dir) {
    std::string command = setup + " exec \"$0\"";
    for (size_t i = 0; i < args.size(); i++) command += " \"$" + std::to_string(i + 1) + "\"";
    std::vector<std::string> argv{"/bin/sh", "-c", command, KELVOR_STOI_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

// A file size limit of `blocks` blocks of 512 bytes. Its signal is left as
// it is: the tool must keep it from ending the process.
std::string size_limit(int blocks) {
    return "ulimit -f " + std::to_string(blocks) + ";";
}

// A file system without locks. Sanitizer builds allow the preloaded library
// in front of their runtime.
const std::string kNoLocks = std::string("export LD_PRELOAD=") + KELVOR_ENOLCK_SHIM +
                             "; export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0;";
const std::string kLockWarning =
    "WARNING: Can't lock log file 'stoi_results.txt' (No locks available): row appended without the lock\n";

// Runs `count` runs at once, each in a process of its own; returns how many
// ended with status 0 and exactly `err` on standard error.
int run_together(int count, const std::function<ToolRun(int)>& run_one, const std::string& err) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            ToolRun r = run_one(i);
            _exit(r.status == 0 && r.err == err ? 0 : 1);
        }
        children.push_back(pid);
    }
    int good = 0;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) good++;
    }
    return good;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
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
    EXPECT_EQ(dangling.err,
              "WARNING: Can't open log file 'stoi_results.txt' (No such file or directory): no row written\n");
    EXPECT_FALSE(file_exists(dir + "/no-such-dir"));
    // Where the link's directory exists, the log is created there.
    ASSERT_EQ(mkdir((dir + "/no-such-dir").c_str(), 0755), 0);
    ToolRun followed = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(followed.status, 0);
    EXPECT_EQ(read_file(dir + "/no-such-dir/stoi_results.txt"), kHeader + row);
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
    EXPECT_EQ(read_only.err, "WARNING: Can't open log file 'stoi_results.txt' (Permission denied): no row written\n");
    // Debug files cannot be created there either, and that is an error.
    ToolRun debug = run({"-h", "-d", "r.wav", "d.pcm"});
    EXPECT_EQ(debug.status, 1);
    EXPECT_EQ(last_line(debug.out), "ERROR: Open 'ref.wav'");
}

TEST_F(FileSystemFault, DeviceBehindTheLogIsRefusedExceptTheNullDevice) {
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(symlink("/dev/full", (dir + "/stoi_results.txt").c_str()), 0);
    ToolRun r = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(metrics_printed(r));
    EXPECT_EQ(last_line(r.out), "ERROR: Can't move to start of log file 'stoi_results.txt'");
    // A log linked to the null device throws the rows away, as it always did.
    std::remove((dir + "/stoi_results.txt").c_str());
    ASSERT_EQ(symlink("/dev/null", (dir + "/stoi_results.txt").c_str()), 0);
    ToolRun discarded = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(discarded.status, 0);
    EXPECT_EQ(discarded.out + discarded.err, r.out.substr(0, r.out.size() - last_line(r.out).size() - 1));
}

TEST_F(FileSystemFault, NamedPipeAsTheLogWithoutAReaderIsRefusedAtOnce) {
    ASSERT_EQ(mkfifo((dir + "/stoi_results.txt").c_str(), 0644), 0);
    ToolRun r = run_tool_bounded({"-h", "r.wav", "d.pcm"}, dir, 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(metrics_printed(r));
    EXPECT_EQ(last_line(r.out), "ERROR: Can't move to start of log file 'stoi_results.txt'");
}

TEST_F(FileSystemFault, LinkPlantedAsADebugFileIsReplacedNotFollowed) {
    const std::vector<std::string> names{"ref.wav", "deg.wav", "ref10.wav", "deg10.wav"};
    write_file(dir + "/victim", "kept");
    for (const std::string& name : names) ASSERT_EQ(symlink("victim", (dir + "/" + name).c_str()), 0);
    ToolRun r = run({"-h", "-d", "r.wav", "d.pcm"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(dir + "/victim"), "kept");
    const mode_t mask = umask(0);
    umask(mask);
    for (size_t j = 0; j < names.size(); j++) {
        struct stat info;
        ASSERT_EQ(lstat((dir + "/" + names[j]).c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << names[j];
        EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask) << names[j];
        EXPECT_EQ(info.st_size, 44 + 2 * (j < 2 ? 12000 : 15000)) << names[j];
    }
}

TEST_F(FileSystemFault, DebugFileThatDoesNotFitLeavesThePreviousOneWhole) {
    // 8 kHz files hold 24,044 bytes, 10 kHz files 30,044: a limit of 50
    // blocks stops the first 10 kHz file, one of 40 blocks the first file.
    const std::vector<std::string> names{"ref.wav", "deg.wav", "ref10.wav", "deg10.wav"};
    for (int blocks : {50, 40}) {
        for (const std::string& name : names) write_file(dir + "/" + name, "previous");
        ToolRun r = run_tool_after(size_limit(blocks), {"-h", "-d", "r.wav", "d.pcm"}, dir);
        const size_t failed = blocks == 50 ? 2 : 0;
        EXPECT_EQ(r.status, 1) << blocks;
        EXPECT_EQ(last_line(r.out), "ERROR: Can't write '" + names[failed] + "'") << blocks;
        for (size_t j = 0; j < names.size(); j++) {
            EXPECT_EQ(read_file(dir + "/" + names[j]).size(), j < failed ? 24044u : 8u) << names[j];
        }
        // No temporary file is left behind, and the failed run has no row.
        EXPECT_EQ(names_in(dir), (std::vector<std::string>{"d.pcm", "deg.wav", "deg10.wav", "r.wav", "ref.wav",
                                                           "ref10.wav"}));
    }
}

TEST_F(FileSystemFault, ParallelDebugRunsLeaveEveryFileWholeFromOneRun) {
    // Eight runs whose debug files all differ; first each alone, for the
    // files it writes.
    const int runs = 8;
    const std::vector<std::string> names{"ref.wav", "deg.wav", "ref10.wav", "deg10.wav"};
    std::vector<std::vector<std::string>> alone(runs);
    for (int k = 0; k < runs; k++) {
        write_file(dir + "/in" + std::to_string(k) + ".pcm", raw_bytes(speechlike(12000 + 400 * k, 60 + k)));
        ASSERT_EQ(run({"-h", "-d", "in" + std::to_string(k) + ".pcm", "d.pcm"}).status, 0);
        for (const std::string& name : names) alone[k].push_back(read_file(dir + "/" + name));
    }
    for (int trial = 0; trial < 3; trial++) {
        auto one = [&](int k) { return run_tool({"-h", "-d", "in" + std::to_string(k) + ".pcm", "d.pcm"}, dir); };
        EXPECT_EQ(run_together(runs, one, ""), runs);
        for (size_t j = 0; j < names.size(); j++) {
            const std::string bytes = read_file(dir + "/" + names[j]);
            int from = -1;
            for (int k = 0; k < runs; k++) {
                if (bytes == alone[k][j]) from = k;
            }
            EXPECT_GE(from, 0) << names[j] << " is no run's whole file, trial " << trial;
        }
        EXPECT_EQ(names_in(dir).size(), 7u + runs);  // no temporary file left
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
    ToolRun r = run_tool_after(size_limit(2), {"-h", "r.wav", "d.pcm"}, dir);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(metrics_printed(r));
    EXPECT_EQ(last_line(r.out), "ERROR: Can't write 'stoi_results.txt'");
    EXPECT_EQ(log(), earlier);
    // With room again the next run appends its row right behind.
    ToolRun again = run({"-h", "r.wav", "d.pcm"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(log(), earlier + row);
}

TEST_F(FileSystemFault, WithoutLocksEveryRowStillLandsWholeButAPartRowStays) {
    // 24 runs at once on a file system without locks: each says so once and
    // appends its row in one write. Two may both write a header.
    auto one = [&](int) { return run_tool_after(kNoLocks, {"-h", "r.wav", "d.pcm"}, dir); };
    EXPECT_EQ(run_together(24, one, kLockWarning), 24);
    const std::string text = log();
    size_t rows = 0;
    for (size_t at = text.find(row); at != std::string::npos; at = text.find(row, at + row.size())) rows++;
    EXPECT_EQ(rows, 24u) << text;
    EXPECT_EQ((text.size() - 24 * row.size()) % kHeader.size(), 0u) << text;  // the rest: headers
    // A row that fits only in part is not cut off again: other runs' rows
    // may follow it in a log that is not locked.
    std::string earlier = kHeader;
    earlier.resize(1024 - row.size() / 2, '#');
    earlier.back() = '\n';
    write_file(dir + "/stoi_results.txt", earlier);
    ToolRun r = run_tool_after(kNoLocks + size_limit(2), {"-h", "r.wav", "d.pcm"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), "ERROR: Can't write 'stoi_results.txt'");
    EXPECT_EQ(r.err, kLockWarning);
    EXPECT_EQ(log(), (earlier + row).substr(0, 1024));
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
