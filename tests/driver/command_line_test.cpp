// The command line: tokens, options, their checks and the order in which
// errors are found, observed on the real executable.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "driver_texts.h"
#include "support.h"

namespace {

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        write_file(dir + "/r.wav", wav_bytes(speechlike(24000, 1), 8000));
        write_file(dir + "/d.wav", wav_bytes(speechlike(24000, 1), 8000));
    }
    void TearDown() override { remove_tree(dir); }
    ToolRun run(const std::vector<std::string>& args) { return run_tool(args, dir); }

    std::string dir;
};

const std::string kFiles = reference_line("r.wav", 24000) + degraded_line("d.wav", 24000);

TEST_F(CommandLine, MissingFilesPrintErrorBannerAndUsage) {
    const std::string tail = "ERROR: No Reference or/and Degraded file(s)\n" + banner_text() + usage_text();
    ToolRun none = run({});
    EXPECT_EQ(none.out, tail);
    EXPECT_EQ(none.status, 1);

    // Only a reference: its line comes first; -h does not hide this banner.
    ToolRun one = run({"-h", "r.wav"});
    EXPECT_EQ(one.out, reference_line("r.wav", 24000) + tail);
    EXPECT_EQ(one.status, 1);

    // Options alone and blank arguments make no file tokens.
    ToolRun blanks = run({"", "   ", "-t"});
    EXPECT_EQ(blanks.out, tail);
    EXPECT_EQ(blanks.status, 1);
}

TEST_F(CommandLine, ThirdFileStopsBeforeLookingFurther) {
    const std::string tail = "ERROR: Too many arguments!\n" + banner_text() + usage_text();
    // The unknown option after the third file is never reached.
    ToolRun r = run({"-h", "r.wav", "d.wav", "x.wav", "-Q"});
    EXPECT_EQ(r.out, kFiles + tail);
    EXPECT_EQ(r.status, 1);
    // The third name need not exist: it is refused before it is opened.
    ToolRun missing = run({"r.wav", "d.wav", "no-such-file"});
    EXPECT_EQ(missing.out, kFiles + tail);
}

TEST_F(CommandLine, ShiftValuesOutsideOneToNineHundredAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-s0", "0"}, {"-s", "0"}, {"-s901", "901"}, {"-s-5", "-5"}, {"-sx12", "0"},
        {"-s99999999999999", "2147483647"}, {"-s-99999999999999", "-2147483648"}};
    for (const auto& c : cases) {
        ToolRun r = run({c.first, "r.wav", "d.wav"});
        EXPECT_EQ(r.out, "ERROR: Illegal shift value " + c.second + "\n") << c.first;
        EXPECT_EQ(r.status, 1) << c.first;
    }
    // Refused at the token: files after it are not opened.
    ToolRun after = run({"r.wav", "-s1000", "d.wav"});
    EXPECT_EQ(after.out, reference_line("r.wav", 24000) + "ERROR: Illegal shift value 1000\n");
}

TEST_F(CommandLine, UnknownOptions) {
    for (const std::string opt : {"-A", "-x", "-5", "-S3", "-T"}) {
        ToolRun r = run({opt, "r.wav", "d.wav"});
        EXPECT_EQ(r.out, std::string("ERROR: Unknown option -") + opt[1] + "\n") << opt;
        EXPECT_EQ(r.status, 1);
    }
    ToolRun lone = run({"-", "r.wav", "d.wav"});
    EXPECT_EQ(lone.out, "ERROR: Unknown option -\n");
    EXPECT_EQ(lone.status, 1);
    // A file whose name begins with "-" is read as an option.
    write_file(dir + "/-q.wav", wav_bytes(speechlike(100, 2), 8000));
    EXPECT_EQ(run({"r.wav", "-q.wav"}).out, reference_line("r.wav", 24000) + "ERROR: Unknown option -q\n");
}

TEST_F(CommandLine, ConflictingAlignmentOptions) {
    ToolRun r = run({"-a", "-s10", "r.wav", "d.wav"});
    EXPECT_EQ(r.out, kFiles + "ERROR: Conflict options: use -a or -sN, not both!\n");
    EXPECT_EQ(r.status, 1);
    // Trailing text after the letter is ignored: -ax is -a, -s12abc is -s12.
    EXPECT_EQ(run({"r.wav", "-s12abc", "d.wav", "-ax"}).out,
              kFiles + "ERROR: Conflict options: use -a or -sN, not both!\n");
    // A missing file outranks the conflict.
    EXPECT_EQ(run({"-a", "-s3", "r.wav"}).out, reference_line("r.wav", 24000) +
                  "ERROR: No Reference or/and Degraded file(s)\n" + banner_text() + usage_text());
}

TEST_F(CommandLine, FilesThatCannotBeOpened) {
    ToolRun ref = run({"nothing.wav", "d.wav"});
    EXPECT_EQ(ref.out, "ERROR: Can't open Reference 'nothing.wav'\n");
    EXPECT_EQ(ref.status, 1);
    ToolRun deg = run({"r.wav", "sub/nothing.pcm"});
    EXPECT_EQ(deg.out, reference_line("r.wav", 24000) + "ERROR: Can't open Degraded 'sub/nothing.pcm'\n");
    EXPECT_EQ(deg.status, 1);
    // A directory is not an input file.
    ToolRun directory = run({"r.wav", "."});
    EXPECT_EQ(directory.out, reference_line("r.wav", 24000) + "ERROR: Can't open Degraded '.'\n");
}

TEST_F(CommandLine, FirstOffendingTokenDecides) {
    EXPECT_EQ(run({"-Z", "nothing.wav", "d.wav"}).out, "ERROR: Unknown option -Z\n");
    EXPECT_EQ(run({"nothing.wav", "-Z", "d.wav"}).out, "ERROR: Can't open Reference 'nothing.wav'\n");
}

TEST_F(CommandLine, ArgumentWithBlankBecomesTwoTokens) {
    // "r.wav d.wav" as one argument names both files.
    ToolRun r = run({"-h", "-Z r.wav"});
    EXPECT_EQ(r.out, "ERROR: Unknown option -Z\n");
    ToolRun both = run({"-h", "r.wav d.wav", "x"});
    EXPECT_EQ(both.out, kFiles + "ERROR: Too many arguments!\n" + banner_text() + usage_text());
    // A tab is part of a token, not a separator (and no part of a file name).
    ToolRun tab = run({"r.wav\td.wav"});
    EXPECT_EQ(tab.out, "ERROR: Control character in Reference file name\n");
}

TEST_F(CommandLine, CommandLineLongerThanOneKilobyteIsAccepted) {
    // A reference path of about 3000 characters through nested directories.
    std::string path = dir;
    std::string relative;
    for (int i = 0; i < 30; i++) {
        std::string part(90, static_cast<char>('a' + i % 26));
        path += "/" + part;
        relative += (relative.empty() ? "" : "/") + part;
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    write_file(path + "/deep.wav", wav_bytes(speechlike(100, 3), 8000));
    ToolRun r = run({"-h", relative + "/deep.wav", "-Z"});
    EXPECT_EQ(r.out, reference_line("deep.wav", 100) + "ERROR: Unknown option -Z\n");
    ToolRun missing = run({"-h", relative + "/gone.wav"});
    EXPECT_EQ(missing.out, "ERROR: Can't open Reference '" + relative + "/gone.wav'\n");
}

}  // namespace
