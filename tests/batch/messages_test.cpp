// What kelvor-batch says on standard error: names and recorded strings
// shown escaped, never raw; a refused run that leaves nothing behind.
#include <gtest/gtest.h>

#include <functional>

#include "frontend/text.h"
#include "batch_support.h"

using kelvor::frontend::shown;
using kelvor::frontend::utf8_sequence;

namespace {

class Messages : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        write_sample_pair();
        write_file(path("m.csv"), "reference,degraded\nref.wav,deg.wav\n");
    }
};

// True when text is UTF-8 holding no control character but line ends.
bool safe_for_a_terminal(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8_sequence(text, i);
        if (n == 0 || (c < 0x20 && c != '\n') || c == 0x7F) return false;
        i += n;
    }
    return true;
}

TEST(Shown, EscapesWhatATerminalWouldActOn) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain r\xc3\xa9sum\xc3\xa9.wav", "plain r\xc3\xa9sum\xc3\xa9.wav"},
        {"\x1b]0;owned\a", "\\x1b]0;owned\\x07"},
        {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
        {"\xff\xfe latin-1 \xe9", "\\xff\\xfe latin-1 \\xe9"},
        {"c1 \xc2\x9b" "31m", "c1 \\x9b31m"},            // U+009B, the C1 escape
        {"\xe2\x80\xaegnp.exe", "\\u202egnp.exe"},      // right-to-left override
        {"cut \xe2\x82", "cut \\xe2\\x82"},
    };
    for (const auto& [raw, expected] : cases) EXPECT_EQ(shown(raw), expected) << raw;
}

TEST_F(Messages, NamesAndRecordedStringsReachTheTerminalEscaped) {
    // A run record whose strings were tampered with, for --resume.
    auto tamper = [&](const std::string& key, const std::string& value) {
        return [=] {
            ASSERT_EQ(run_batch({"--quiet", "-o", "o.csv", "m.csv"}, dir_).status, 0);
            std::string record = read_file(path("o.csv.run.json"));
            const size_t at = record.rfind("\"" + key + "\": \"");  // options come after the top level
            ASSERT_NE(at, std::string::npos) << record;
            const size_t from = at + key.size() + 5;
            record.replace(from, record.find('"', from) - from, value);
            write_file(path("o.csv.run.json"), record);
        };
    };
    struct Case {
        std::vector<std::string> args;
        std::function<void()> prepare;
        const char* said;  // part of standard error
    };
    const Case cases[] = {
        {{"ref.wav", "\x1b]0;owned\a"}, [] {}, "the degraded file '\\x1b]0;owned\\x07'"},
        {{"m\x1b[2J.csv"}, [] {}, "manifest 'm\\x1b[2J.csv'"},
        {{"ref.wav", "\xff\x9b" "2J.wav"}, [] {}, "'\\xff\\x9b2J.wav'"},
        {{"--resume", "-o", "o.csv", "m.csv"}, tamper("version", "\\u001b]0;owned\\u0007"),
         "begun by kelvor-batch \\x1b]0;owned\\x07;"},
        {{"--resume", "-o", "o.csv", "m.csv"}, tamper("profile", "\\u009b31mred"), "profile '\\x9b31mred'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shown(c.args.back()));
        c.prepare();
        ToolRun run = run_batch(c.args, dir_);
        EXPECT_TRUE(safe_for_a_terminal(run.err)) << shown(run.err);
        EXPECT_NE(run.err.find(c.said), std::string::npos) << shown(run.err);
        std::remove(path("o.csv").c_str());
        std::remove(path("o.csv.run.json").c_str());
    }
}

TEST_F(Messages, OneAudioFileAsksForAPair) {
    ToolRun run = run_batch({"ref.wav"}, dir_);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("'ref.wav' is an audio file: give two, REF and DEG, to score one pair, or a listing"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("header"), std::string::npos) << run.err;
}

TEST_F(Messages, ARefusedRunLeavesNoDetailsFolder) {
    write_file(path("kept.csv"), "rows of another run\n");
    struct Case {
        std::vector<std::string> args;
        const char* said;
        const char* absent;  // left as it was: not made
    };
    const Case cases[] = {
        {{"-o", "o.csv", "--details", "o.csv", "m.csv"}, "-o and --details name the same path", "o.csv"},
        {{"-o", "o.csv", "--details", "./o.csv/", "m.csv"}, "-o and --details name the same path", "o.csv"},
        {{"-o", "m.csv", "--details", "d", "m.csv"}, "is the manifest", "d"},
        {{"-o", "o.csv", "--details", "kept.csv", "m.csv"}, "a file of that name is in the way", "o.csv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        ToolRun run = run_batch(c.args, dir_);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_FALSE(file_exists(path(c.absent)));
        EXPECT_EQ(read_file(path("kept.csv")), "rows of another run\n");
    }
}

}  // namespace
