// What kelvor-batch writes: never onto an input, never NaN, details that
// are whole and come with their row, one run per output, a run record that
// --resume holds a run to, a quiet end when the reader goes, and a
// progress bar that cannot end a run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <regex>
#include <thread>

#include "frontend/json.h"
#include "batch/progress.h"
#include "frontend/row_format.h"
#include "batch/run_record.h"
#include "frontend/sha256.h"
#include "batch_support.h"
#include "kelvor/stoi.h"

using namespace kelvor::batch;
using namespace kelvor::frontend;

namespace {

class OutputFiles : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        write_sample_pair();
    }
    // A manifest of `rows` short pairs (about 0.8 s each).
    void short_pairs(const std::string& name, int rows) {
        write_file(path("r.wav"), wav_bytes(std::vector<int16_t>(sample_ref().begin() + 8000, sample_ref().begin() + 14000), 8000));
        write_file(path("d.wav"), wav_bytes(std::vector<int16_t>(sample_deg().begin() + 8000, sample_deg().begin() + 14000), 8000));
        std::string m = "reference,degraded,shift\n";
        for (int i = 0; i < rows; i++) m += "r.wav,d.wav," + std::to_string(1 + i % 900) + "\n";
        write_file(path(name), m);
    }
};

TEST(NoNotANumber, NeitherRowsNorDetailsEverHoldNanOrInfinity) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    Row row;
    row.reference = "r.wav";
    row.degraded = "d.wav";
    row.stoi = nan;
    row.estoi = -inf;
    row.delay_ms = inf;
    row.seconds = nan;
    Details details;
    details.band_centre_hz = {150.0, nan};
    details.stoi_correlation = {{inf, 0.5}};
    details.estoi_segment = {-inf};
    for (const std::string& text : {format_row(row, Format::csv), format_row(row, Format::jsonl),
                                    details_json(row, 0, details)}) {
        EXPECT_EQ(std::regex_search(text, std::regex("nan|inf", std::regex::icase)), false) << text;
    }
    EXPECT_TRUE(parse_json(details_json(row, 0, details)).has_value());
    EXPECT_TRUE(parse_json(format_row(row, Format::jsonl)).has_value());
}

TEST(NoNotANumber, HugeFiniteSamplesScoreAsTheirScaledSignalAndNeverAsNaN) {
    // Float samples near the largest float would overflow the measures; the
    // reference profile scales them back first, so they score as the same
    // signal at full scale does.
    Audio ref;
    Audio deg;
    ref.rate = deg.rate = 8000;
    for (int16_t s : sample_ref()) ref.values.push_back(s * (1e38 / 32768.0));
    for (int16_t s : sample_deg()) deg.values.push_back(s * (1e38 / 32768.0));
    Details details;
    Row huge = score_audio(ref, deg, kelvor_options{}, &details);
    Audio ref16;
    Audio deg16;
    ref16.rate = deg16.rate = 8000;
    ref16.pcm16 = deg16.pcm16 = true;
    ref16.pcm = sample_ref();
    deg16.pcm = sample_deg();
    Row normal = score_audio(ref16, deg16, kelvor_options{});
    ASSERT_TRUE(huge.ok()) << huge.message;
    EXPECT_NEAR(*huge.stoi, *normal.stoi, 1e-12);
    EXPECT_NEAR(*huge.estoi, *normal.estoi, 1e-12);
    for (const Format f : {Format::csv, Format::jsonl}) EXPECT_EQ(format_row(huge, f).find("nan"), std::string::npos);
    // A row with no finite score is never ok, in any format.
    Row bad;
    bad.stoi = std::nan("");
    bad.estoi = 0.5;
    EXPECT_EQ(format_row(bad, Format::jsonl).find("nan"), std::string::npos);
}

TEST(Sha256, KnownDigests) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        Sha256 whole;
        whole.update(c.first.data(), c.first.size());
        EXPECT_EQ(whole.hex(), c.second);
        Sha256 pieces;  // fed in uneven pieces
        for (size_t at = 0; at < c.first.size(); at += 37) pieces.update(c.first.data() + at, std::min<size_t>(37, c.first.size() - at));
        EXPECT_EQ(pieces.hex(), c.second);
    }
}

TEST_F(OutputFiles, NoOutputIsEverAnInput) {
    write_file(path("m.csv"), "reference,degraded\nref.wav,deg.wav\n");
    ASSERT_EQ(::symlink("deg.wav", path("link.wav").c_str()), 0);
    ASSERT_EQ(::link(path("ref.wav").c_str(), path("hard.wav").c_str()), 0);
    ASSERT_EQ(::mkdir(path("details").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("../deg.wav", path("details/0.json").c_str()), 0);
    const std::string deg = read_file(path("deg.wav"));
    const std::string ref = read_file(path("ref.wav"));
    struct Case {
        std::vector<std::string> args;
        const char* said;
    };
    const Case cases[] = {
        {{"-o", "deg.wav", "m.csv"}, "the output file 'deg.wav' is the degraded file"},
        {{"-o", "link.wav", "m.csv"}, "the output file 'link.wav' is the degraded file"},
        {{"-o", "hard.wav", "m.csv"}, "the output file 'hard.wav' is the reference file"},
        {{"--resume", "-o", "deg.wav", "m.csv"}, "can't resume 'deg.wav'"},
        {{"-o", "m.csv", "m.csv"}, "is the manifest"},
        {{"--details", "details", "m.csv"}, "the details file 'details/0.json' is the degraded file"},
        {{"-o", "ref.wav", "--ref-dir", ".", "--deg-dir", "."}, "the output file 'ref.wav' is the"},
    };
    for (const Case& c : cases) {
        ToolRun run = run_batch(c.args, dir_);
        EXPECT_EQ(run.status, 1) << c.args[1];
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        ASSERT_EQ(read_file(path("deg.wav")), deg);
        ASSERT_EQ(read_file(path("ref.wav")), ref);
    }
    EXPECT_FALSE(file_exists(path("deg.wav.run.json")));
    // From a stream the rows cannot be gone through first: a file that is
    // not an output of ours is not overwritten.
    ToolRun stream = run_batch_shell("cat m.csv | \"$0\" -o deg.wav -", {}, dir_);
    EXPECT_EQ(stream.status, 1);
    EXPECT_NE(stream.err.find("not a kelvor-batch output"), std::string::npos) << stream.err;
    EXPECT_EQ(read_file(path("deg.wav")), deg);
}

TEST_F(OutputFiles, ADetailsFileNotWrittenIsAnErrorRowThatResumeScoresAgain) {
    short_pairs("m.csv", 3);
    ToolRun whole = run_batch({"--details", "all", "m.csv"}, dir_);
    ASSERT_EQ(whole.status, 0) << whole.err;
    // Row 1's details cannot be renamed into place.
    mkdirs("d/1.json/x");
    ToolRun failed = run_batch({"-j1", "--details", "d", "-o", "out.csv", "m.csv"}, dir_);
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("d/1.json"), std::string::npos) << failed.err;
    std::vector<Row> rows = parse_rows(read_file(path("out.csv")));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_TRUE(rows[0].ok());
    EXPECT_EQ(rows[1].status, KELVOR_ERR_DETAILS);
    EXPECT_NE(rows[1].message.find("d/1.json"), std::string::npos);
    EXPECT_FALSE(rows[1].stoi.has_value());

    ASSERT_EQ(system(("rm -r " + path("d/1.json")).c_str()), 0);
    ToolRun resumed = run_batch({"--details", "d", "--resume", "-o", "out.csv", "m.csv"}, dir_);
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(read_file(path("out.csv")), whole.out);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(read_file(path("d/" + std::to_string(i) + ".json")), read_file(path("all/" + std::to_string(i) + ".json")));
    }
}

TEST_F(OutputFiles, DetailsFilesFollowNoPlantedLinkAndStayWhole) {
    short_pairs("m.csv", 30);
    ASSERT_EQ(::mkdir(path("d").c_str(), 0755), 0);
    write_file(path("victim.txt"), "precious");
    write_file(path("victim2.txt"), "precious");
    ASSERT_EQ(::symlink("../victim.txt", path("d/.0.json.tmp").c_str()), 0);
    ASSERT_EQ(::symlink("../victim2.txt", path("d/0.json").c_str()), 0);
    // Two runs on one folder at once.
    pid_t a = spawn_batch({"-j2", "--details", "d", "m.csv"}, dir_);
    pid_t b = spawn_batch({"-j2", "--details", "d", "m.csv"}, dir_);
    EXPECT_EQ(wait_batch(a), 0);
    EXPECT_EQ(wait_batch(b), 0);
    EXPECT_EQ(read_file(path("victim.txt")), "precious");
    EXPECT_EQ(read_file(path("victim2.txt")), "precious");
    struct stat st {};
    ASSERT_EQ(::lstat(path("d/0.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    for (int i = 0; i < 30; i++) {
        std::optional<JsonValue> v = parse_json(read_file(path("d/" + std::to_string(i) + ".json")));
        ASSERT_TRUE(v.has_value()) << i;
        EXPECT_EQ(v->find("row")->text, std::to_string(i));
    }
    // No temporary is left behind.
    EXPECT_EQ(run_batch_shell("ls -A d | grep -c tmp", {}, dir_).out, "1\n");  // the planted link only
}

TEST_F(OutputFiles, OneRunAtATimeOnAnOutput) {
    short_pairs("m.csv", 600);
    pid_t first = spawn_batch({"-j1", "-o", "out.csv", "m.csv"}, dir_);
    for (int i = 0; i < 3000 && read_file(path("out.csv")).size() < 200; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-o", "out.csv", "m.csv"},
                                                 std::vector<std::string>{"--resume", "-o", "out.csv", "m.csv"}}) {
        ToolRun second = run_batch(args, dir_);
        EXPECT_EQ(second.status, 1) << args[0];
        EXPECT_NE(second.err.find("being written by another kelvor-batch run"), std::string::npos) << second.err;
    }
    ASSERT_EQ(wait_batch(first), 0) << "the first run must finish undisturbed";
    EXPECT_EQ(read_file(path("out.csv")), run_batch({"m.csv"}, dir_).out);
}

TEST_F(OutputFiles, TheRunRecordSaysWhatTheRowsAre) {
    write_file(path("m.csv"), "reference,degraded\nref.wav,deg.wav\nref.wav,deg.wav\nref.wav,deg.wav\n");
    ASSERT_EQ(run_batch({"--shard", "2/3", "--align", "-o", "s.csv", "m.csv"}, dir_).status, 0);
    std::optional<JsonValue> record = parse_json(read_file(path("s.csv.run.json")));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->find("program")->text, "kelvor-batch");
    EXPECT_EQ(record->find("version")->text, kelvor_version());
    EXPECT_EQ(record->find("command")->items.size(), 7u);
    EXPECT_EQ(record->find("command")->items[6].text, "m.csv");
    const JsonValue* listing = record->find("listing");
    EXPECT_EQ(listing->find("manifest")->text.substr(0, 1), "/");
    Sha256 hash;
    std::string bytes = read_file(path("m.csv"));
    hash.update(bytes.data(), bytes.size());
    EXPECT_EQ(listing->find("sha256")->text, hash.hex());
    EXPECT_EQ(record->find("shard")->text, "2/3");
    EXPECT_EQ(record->find("options")->to_json(),
              "{\"align\": true, \"shift\": 0, \"double_table\": false, \"profile\": \"reference\", "
              "\"unequal\": \"default\", \"raw_rate\": 8000, \"channel\": 0}");
    EXPECT_EQ(record->find("profile")->text, "reference");
    EXPECT_TRUE(std::regex_match(record->find("started")->text,
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
    // Written without -o: no record; onto a device: none either.
    const bool device_record = std::filesystem::exists("/dev/null.run.json");
    EXPECT_EQ(run_batch({"-o", "/dev/null", "m.csv"}, dir_).status, 0);
    EXPECT_EQ(std::filesystem::exists("/dev/null.run.json"), device_record);
    EXPECT_EQ(run_batch({"m.csv"}, dir_).status, 0);
    EXPECT_EQ(run_batch_shell("ls -A | grep -c 'run.json$'", {}, dir_).out, "1\n");  // s.csv's only
}

TEST_F(OutputFiles, ResumeRefusesRowsOfAnotherRun) {
    const std::string manifest = "reference,degraded\nref.wav,deg.wav\nref.wav,deg.wav\nref.wav,deg.wav\n";
    write_file(path("m.csv"), manifest);
    write_file(path("other.csv"), manifest);  // the same bytes elsewhere: the same listing
    struct Case {
        std::vector<std::string> args;  // of the resumed run, before -o
        std::string manifest_text;      // rewritten before resuming; empty: as written
        bool remove_record;
        std::vector<const char*> said;  // empty: resumed
    };
    const Case cases[] = {
        {{"--shard", "2/3"}, "", false, {}},
        {{"--shard", "1/3"}, "", false, {"shard 2/3", "shard 1/3"}},
        {{}, "", false, {"shard 2/3", "every row"}},
        {{"--shard", "2/3", "--align"}, "", false, {"align false", "align true"}},
        {{"--shard", "2/3", "--raw-rate", "16000"}, "", false, {"raw_rate 8000", "raw_rate 16000"}},
        {{"--shard", "2/3", "--channel", "1"}, "", false, {"channel 0", "channel 1"}},
        {{"--shard", "2/3"}, manifest + "ref.wav,deg.wav\n", false, {"sha256", "m.csv"}},
        {{"--shard", "2/3"}, "", true, {"no run record", "score into a new output file"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said.empty() ? "resumes" : c.said[0]);
        write_file(path("m.csv"), manifest);
        std::remove(path("s.csv").c_str());
        std::remove(path("s.csv.run.json").c_str());
        ASSERT_EQ(run_batch({"--shard", "2/3", "-o", "s.csv", "m.csv"}, dir_).status, 0);
        const std::string rows = read_file(path("s.csv"));
        if (!c.manifest_text.empty()) write_file(path("m.csv"), c.manifest_text);
        if (c.remove_record) std::remove(path("s.csv.run.json").c_str());
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--resume", "-o", "s.csv", "m.csv"});
        ToolRun resumed = run_batch(args, dir_);
        if (c.said.empty()) {
            EXPECT_EQ(resumed.status, 0) << resumed.err;
        } else {
            EXPECT_EQ(resumed.status, 1);
            for (const char* text : c.said) EXPECT_NE(resumed.err.find(text), std::string::npos) << resumed.err;
        }
        EXPECT_EQ(read_file(path("s.csv")), rows);
    }
    // A copy of the manifest elsewhere is the same listing.
    std::remove(path("s.csv").c_str());
    ASSERT_EQ(run_batch({"--shard", "2/3", "-o", "s.csv", "m.csv"}, dir_).status, 0);
    ToolRun elsewhere = run_batch({"--shard", "2/3", "--resume", "-o", "s.csv", "other.csv"}, dir_);
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
    // A device is not read back (/dev/full would yield zeros without end):
    // the run ends at its first write.
    ToolRun full = run_batch({"--resume", "-o", "/dev/full", "m.csv"}, dir_);
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
}

TEST_F(OutputFiles, AReaderThatGoesEndsTheRunQuietly) {
    // More than a pipe holds, so that the writer meets the closed pipe.
    short_pairs("m.csv", 400);
    ToolRun run = run_batch_shell(
        "{ \"$0\" -j2 --format jsonl m.csv 2>err.txt; echo $? > status.txt; } | head -c 100 > /dev/null", {}, dir_);
    EXPECT_EQ(read_file(path("status.txt")), std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_EQ(read_file(path("err.txt")), "");
}

TEST_F(OutputFiles, AManifestThatGrowsWhileItIsReadEndsTheRunWell) {
    // Rows of over 200 bytes, so that the manifest is read in several
    // pieces and rows appended during the run are met.
    short_pairs("m.csv", 1);
    const std::string padding(200, 'p');
    std::string m = "reference,degraded,note\n";
    for (int i = 0; i < 1000; i++) m += "r.wav,d.wav," + padding + "\n";
    write_file(path("m.csv"), m);
    pid_t pid = spawn_batch({"-j1", "--progress", "-o", "out.csv", "m.csv"}, dir_);
    for (int i = 0; i < 3000 && read_file(path("out.csv")).empty(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::string more;
    for (int i = 0; i < 50; i++) more += "r.wav,d.wav," + padding + "\n";
    FILE* f = std::fopen(path("m.csv").c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputs(more.c_str(), f);
    std::fclose(f);
    EXPECT_EQ(wait_batch(pid), 0);
    EXPECT_EQ(parse_rows(read_file(path("out.csv"))).size(), 1050u);
}

TEST(Progress, TheBarFitsItsWidthAndShowsFailures) {
    struct Case {
        int64_t done, failed, total;
        const char* has;
    };
    const Case cases[] = {
        {10, 2, 40, "10/40"}, {40, 0, 40, "40/40"}, {350, 3, 319, "350/319"}, {7, 1, -1, "7 done"}, {0, 0, 0, "0/0"},
    };
    for (const Case& c : cases) {
        for (int width : {0, 1, 20, 45, 80, 300}) {
            std::string line = progress_line(c.done, c.failed, c.total, 12.5, width);
            EXPECT_LE(static_cast<int>(line.size()), std::max(width, 2) - 1) << line;
            if (width >= 80) {
                EXPECT_NE(line.find(c.has), std::string::npos) << line;
                EXPECT_NE(line.find(std::to_string(c.failed) + " failed"), std::string::npos) << line;
                EXPECT_EQ(line.find('[') != std::string::npos, c.total >= 0) << line;
            }
        }
    }
    // Drawing a count beyond the total (a manifest that grew while it was
    // read) goes on; the display never ends a run.
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    ProgressBar bar(true, 319, sink);
    for (int64_t done = 300; done <= 350; done++) bar.update(done, 1, done == 350);
    std::rewind(sink);
    std::string drawn;
    for (int c; (c = std::fgetc(sink)) != EOF;) drawn += static_cast<char>(c);
    std::fclose(sink);
    EXPECT_NE(drawn.find("350/319"), std::string::npos) << drawn;
}

}  // namespace
