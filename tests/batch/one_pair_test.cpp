// kelvor-batch REF DEG: one pair of any format and rate, its row on
// standard output in each format, exit statuses, nothing else written.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cstdio>

#include "frontend/json.h"
#include "batch_support.h"
#include "kelvor/stoi.h"

using kelvor::frontend::Row;

namespace {

class OnePair : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        write_sound(path("ref.flac"), resampled(to_doubles(sample_ref()), 8000, 16000), 16000,
                    SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        write_sound(path("deg.wav"), resampled(to_doubles(sample_deg()), 8000, 16000), 16000,
                    SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        write_file(path("m.csv"), "reference,degraded,shift\nref.flac,deg.wav,\nref.flac,deg.wav,640\n");
        listed_ = parse_rows(run_batch({"m.csv"}, dir_).out);
    }
    std::vector<Row> listed_;  // the same pairs scored from a manifest
};

std::string line_of(const Row& row) {
    char text[96];
    std::snprintf(text, sizeof text, "STOI %.5f ESTOI %.5f\n", *row.stoi, *row.estoi);
    return text;
}

TEST_F(OnePair, ItsRowInEveryFormatIsTheRowOfABatch) {
    ASSERT_EQ(listed_.size(), 2u);
    ASSERT_TRUE(listed_[0].ok()) << listed_[0].message;
    ToolRun line = run_batch({"ref.flac", "deg.wav"}, dir_);
    EXPECT_EQ(line.status, 0) << line.err;
    EXPECT_EQ(line.out, line_of(listed_[0]));
    EXPECT_EQ(line.err, "");
    EXPECT_EQ(run_batch({"--shift", "640", "ref.flac", "deg.wav"}, dir_).out, line_of(listed_[1]));

    ToolRun csv = run_batch({"--format", "csv", "ref.flac", "deg.wav"}, dir_);
    const std::string batch_csv = run_batch({"m.csv"}, dir_).out;
    EXPECT_EQ(csv.out, batch_csv.substr(0, batch_csv.find('\n', batch_csv.find('\n') + 1) + 1));  // header, first row
    ToolRun jsonl = run_batch({"--format", "jsonl", "ref.flac", "deg.wav"}, dir_);
    ToolRun json = run_batch({"--format=json", "ref.flac", "deg.wav"}, dir_);
    const std::string batch_jsonl = run_batch({"--format", "jsonl", "m.csv"}, dir_).out;
    EXPECT_EQ(jsonl.out, batch_jsonl.substr(0, batch_jsonl.find('\n') + 1));
    EXPECT_EQ(json.out, jsonl.out);
    EXPECT_TRUE(kelvor::frontend::parse_json(json.out).has_value());
    // No results log, no run record, nothing else in the folder.
    EXPECT_FALSE(file_exists(path("stoi_results.txt")));
    ToolRun listing = run_program({"/bin/ls", "-A"}, dir_);
    EXPECT_EQ(listing.out, "deg.wav\nm.csv\nref.flac\n");
}

TEST_F(OnePair, ExitStatusesAndMessages) {
    write_file(path("ref8.wav"), wav_bytes(sample_ref(), 8000));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;     // standard output, exactly
        const char* in_err;  // part of standard error
    };
    const std::string header = "reference,degraded,stoi,estoi,delay_samples,delay_ms,seconds,rate,status,message\n";
    const Case cases[] = {
        {{"ref.flac", "none.wav"}, 3, "", "No such file: the degraded file 'none.wav' (missing)"},
        {{"--format", "csv", "ref.flac", "none.wav"}, 3,
         header + "ref.flac,none.wav,,,,,,,missing,No such file: the degraded file 'none.wav'\n", "(missing)"},
        {{"ref8.wav", "deg.wav"}, 3, "", "(rate_mismatch)"},
        {{"--profile", "tool", "ref.flac", "deg.wav"}, 3, "", "(profile)"},
        {{"--shift", "5000", "ref.flac", "deg.wav"}, 3, "", "a shift of 5000 samples at 16000 Hz, where it is 0 to 1800 (bad_shift)"},
        {{"m.csv", "deg.wav"}, 3, "", "a batch reads one listing"},
        {{"-o", "x.csv", "ref.flac", "deg.wav"}, 1, "", "-o is for a batch"},
        {{"--details", "d", "ref.flac", "deg.wav"}, 1, "", "--details is for a batch"},
        {{"--shift", "3", "--align", "ref.flac", "deg.wav"}, 1, "", "exclude each other"},
        {{"--shift", "3", "m.csv"}, 1, "", "--shift is for one pair"},
        {{"--format", "json", "m.csv"}, 1, "", "--format json is for one pair"},
        {{"-", "deg.wav"}, 1, "", "'-' (standard input) is for a manifest"},
        {{"a", "b", "c"}, 1, "", "one manifest, or two audio files"},
        {{"--version"}, 0, std::string("kelvor-batch ") + kelvor_version() + "\n", ""},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        ToolRun run = run_batch(c.args, dir_);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_NE(run.err.find(c.in_err), std::string::npos) << run.err;
    }
}

}  // namespace
