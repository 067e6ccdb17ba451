// The listing's own columns: a manifest's other columns carried byte for
// byte to CSV, JSON Lines and details files (and back by --resume), the
// names a manifest may give its reference and degraded columns, system
// folders and id lists.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <sstream>

#include "frontend/csv.h"
#include "frontend/json.h"
#include "frontend/listing.h"
#include "frontend/row_format.h"
#include "batch_support.h"

using namespace kelvor::frontend;

namespace {

class ListingColumns : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        write_sample_pair();
    }
};

TEST(MetadataFormat, ReadingBackChecksTheMetadataColumns) {
    Row row;
    row.status = KELVOR_ERR_MISSING;
    row.metadata = {"5"};
    const std::vector<std::string> snr = {"snr"}, cond = {"cond"};
    const std::string jsonl = format_row(row, Format::jsonl, snr);
    row.metadata = {"5", "x"};
    enum Outcome { rows, mismatch, foreign, empty };
    const std::tuple<std::string, Format, const std::vector<std::string>*, Outcome> cases[] = {
        {header_line(Format::csv, snr) + format_row(row, Format::csv, snr), Format::csv, &snr, rows},
        {header_line(Format::csv, snr) + format_row(row, Format::csv, snr), Format::csv, &cond, mismatch},
        {header_line(Format::csv, cond), Format::csv, &snr, empty},  // another header over no row
        {header_line(Format::csv, {"snr", "x", "y"}) + format_row(row, Format::csv, {"snr", "x"}), Format::csv,
         nullptr, foreign},
        {jsonl, Format::jsonl, &cond, mismatch},
        {jsonl + format_row(row, Format::jsonl, {"snr", "x"}), Format::jsonl, nullptr, foreign},
    };
    for (const auto& [text, format, wanted, outcome] : cases) {
        SCOPED_TRACE(text);
        std::istringstream in(text);
        try {
            long long kept = read_rows(in, format, [](const Row&) {}, wanted);
            EXPECT_EQ(kept == 0 ? empty : rows, outcome);
        } catch (const MetadataMismatch& e) {
            EXPECT_EQ(outcome, mismatch) << e.what();
        } catch (const OutputFormatError& e) {
            EXPECT_EQ(outcome, foreign) << e.what();
        }
    }
}

TEST_F(ListingColumns, ManifestColumnNamesAliasesAndTheColumnsCarried) {
    struct Case {
        std::string header;
        const char* error;                  // part of the ListingError; nullptr when read
        std::vector<std::string> metadata;  // names carried
    };
    const Case cases[] = {
        {"CLEAN,Enhanced,snr", nullptr, {"snr"}},
        {"target,estimate,Shift,system", nullptr, {"system"}},
        {" Ref ,processed,align,", nullptr, {}},    // blanks around a role; an unnamed column
        {"x,deg,ref,Stoi", nullptr, {"x", "Stoi"}},  // names are exact: Stoi is not stoi
        {"reference,clean,degraded", "two columns for the reference: 'reference' and 'clean'", {}},
        {"degraded,enhanced,ref", "two columns for the degraded signal", {}},
        {"source,noisy", "(reference: reference, ref, clean or target; degraded: degraded, deg, enhanced", {}},
        {"reference,snr", "needs a header naming a degraded column", {}},
        {"reference,degraded,snr,snr", "two columns named 'snr'", {}},
        {"reference,degraded,status", "a column 'status', the name of an output column", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        write_file(path("m.csv"), c.header + "\n");
        try {
            ManifestSource source(path("m.csv"));
            EXPECT_EQ(c.error, nullptr);
            EXPECT_EQ(source.metadata(), c.metadata);
        } catch (const ListingError& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST_F(ListingColumns, ManifestColumnsReachEveryOutputByteForByte) {
    // An ok row, an error row and a row with too few fields, with names
    // and cells of every awkward kind.
    const std::string manifest = "Clean,snr,Enhanced,a \"q\",\xff\xfe,NA\n"
                                 "ref.wav,007,deg.wav,\"x,\ny\",\xe9,NA\n"
                                 "ref.wav, -5 ,none.wav,,\xc3\xa9,null\n"
                                 "ref.wav,10\n";
    write_file(path("m.csv"), manifest);
    const std::vector<std::string> names = {"snr", "a \"q\"", "\xff\xfe", "NA"};
    const std::vector<std::vector<std::string>> cells = {
        {"007", "x,\ny", "\xe9", "NA"}, {" -5 ", "", "\xc3\xa9", "null"}, {"10", "", "", ""}};
    const char* const statuses[] = {"ok", "missing", "bad_row"};

    ToolRun csv = run_batch({"--details", "details", "m.csv"}, dir_);
    EXPECT_EQ(csv.status, 3) << csv.err;
    std::vector<std::vector<std::string>> records = csv_records(csv.out);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(records[0].begin() + ROW_COLUMN_COUNT, records[0].end()), names);
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i + 1][8], statuses[i]);
        EXPECT_EQ(std::vector<std::string>(records[i + 1].begin() + ROW_COLUMN_COUNT, records[i + 1].end()), cells[i]);
    }
    // JSON Lines, and the manifest read from standard input: the same rows.
    ToolRun jsonl = run_batch({"--format", "jsonl", "m.csv"}, dir_);
    ToolRun piped = run_batch_shell("cat m.csv | \"$0\" --format jsonl -", {}, dir_);
    EXPECT_EQ(piped.out, jsonl.out);
    EXPECT_NE(jsonl.out.find(", \"NA\": \"null\"}\n"), std::string::npos);  // text, never a JSON null
    EXPECT_NE(jsonl.out.find(", \"\\udcff\\udcfe\": \"\\udce9\", "), std::string::npos);
    std::istringstream in(jsonl.out);
    std::vector<std::string> found;
    std::vector<Row> rows;
    read_rows(in, Format::jsonl, [&](const Row& r) { rows.push_back(r); }, nullptr, &found);
    EXPECT_EQ(found, names);
    ASSERT_EQ(rows.size(), 3u);
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(rows[i].metadata, cells[i]) << i;
    // The details file of the ok row.
    std::optional<JsonValue> details = parse_json(read_file(path("details/0.json")));
    ASSERT_TRUE(details.has_value());
    for (size_t k = 0; k < names.size(); k++) {
        const JsonValue* value = details->find(names[k]);
        ASSERT_NE(value, nullptr) << names[k];
        EXPECT_EQ(value->text, cells[0][k]);
    }
    // A column that would overwrite a key of the details files is refused
    // there, and only there.
    write_file(path("row.csv"), "reference,degraded,row\nref.wav,deg.wav,1\n");
    EXPECT_EQ(run_batch({"row.csv"}, dir_).status, 0);
    ToolRun refused = run_batch({"--details", "details", "row.csv"}, dir_);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("column 'row' has the name of a key of the details files"), std::string::npos)
        << refused.err;
}

TEST_F(ListingColumns, ResumeKeepsRowsWithMetadataAndRefusesOtherColumns) {
    std::string manifest = "reference,degraded,snr,system\n";
    for (int i = 0; i < 6; i++) {
        manifest += "ref.wav,deg.wav," + std::to_string(5 * i) + "," + (i % 2 ? "noisy" : "enhanced") + "\n";
    }
    write_file(path("m.csv"), manifest);
    for (const char* format : {"csv", "jsonl"}) {
        SCOPED_TRACE(format);
        ToolRun whole = run_batch({"--quiet", "--format", format, "-o", "whole", "m.csv"}, dir_);
        ASSERT_EQ(whole.status, 0) << whole.err;
        const std::string all = read_file(path("whole"));
        // Cut after three lines and a half: the torn row goes, the others stay.
        size_t at = 0;
        for (int line = 0; line < 3; line++) at = all.find('\n', at) + 1;
        write_file(path("part"), all.substr(0, at + 20));
        write_file(path("part.run.json"), read_file(path("whole.run.json")));
        ToolRun resumed = run_batch({"--format", format, "--resume", "-o", "part", "m.csv"}, dir_);
        EXPECT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_EQ(read_file(path("part")), all);
        EXPECT_NE(resumed.err.find(std::strcmp(format, "csv") == 0 ? "(2 already in" : "(3 already in"),
                  std::string::npos)
            << resumed.err;
    }
    // The same record, but rows of other metadata columns: refused, both
    // lists named, the file untouched.
    const std::string whole = read_file(path("whole"));  // JSON Lines now
    std::string other = whole;
    for (size_t at = 0; (at = other.find("\"system\"", at)) != std::string::npos;) other.replace(at, 8, "\"speaker\"");
    write_file(path("whole"), other);
    ToolRun refused = run_batch({"--format", "jsonl", "--resume", "-o", "whole", "m.csv"}, dir_);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("its metadata columns are (snr, speaker), the listing's are (snr, system)"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(read_file(path("whole")), other);

    // Retrying an error row (deleted from the output, then resumed) of
    // one system scores that row, not the other system's row of the same
    // files.
    mkdirs("refs");
    mkdirs("n");
    mkdirs("e");
    write_file(path("refs/x.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("n/x.wav"), "not audio");
    write_file(path("e/x.wav"), wav_bytes(sample_deg(), 8000));
    const std::vector<std::string> folders = {"--ref-dir", "refs", "--deg-dir", "n", "--deg-dir", "e"};
    std::vector<std::string> args = {"--quiet", "-o", "f.csv"};
    args.insert(args.end(), folders.begin(), folders.end());
    ASSERT_EQ(run_batch(args, dir_).status, 3);
    std::vector<std::vector<std::string>> records = csv_records(read_file(path("f.csv")));
    ASSERT_EQ(records.size(), 3u);
    ASSERT_EQ(records[1][8], "format");
    const std::string text = read_file(path("f.csv"));
    const size_t first = text.find('\n') + 1;
    write_file(path("f.csv"), text.substr(0, first) + text.substr(text.find('\n', first) + 1));
    write_file(path("n/x.wav"), wav_bytes(sample_deg(), 8000));
    args.insert(args.begin(), "--resume");
    {
        ToolRun again = run_batch(args, dir_);
        EXPECT_EQ(again.status, 0) << again.err << "\n" << read_file(path("f.csv"));
    }
    records = csv_records(read_file(path("f.csv")));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].back(), "e");
    EXPECT_EQ(records[2].back(), "n");
    EXPECT_EQ(records[2][8], "ok");
}

TEST(SystemFolders, LabelsAreTakenFromPlainWordsOnly) {
    const std::vector<std::pair<std::string, SystemFolder>> cases = {
        {"noisy=out/n", {"noisy", "out/n"}},
        {"sys_2.b-c=/abs", {"sys_2.b-c", "/abs"}},
        {"syst\xc3\xa8me=x", {"syst\xc3\xa8me", "x"}},
        {"./a=b", {"a=b", "./a=b"}},           // a path holding '='
        {"out/snr=5", {"snr=5", "out/snr=5"}},  // '/' is not in a word
        {"=x", {"=x", "=x"}},
        {"..=x", {"..=x", "..=x"}},
        {"two words=x", {"two words=x", "two words=x"}},
        {"enhanced/", {"enhanced", "enhanced/"}},
    };
    for (const auto& [text, expected] : cases) {
        SystemFolder got = parse_system_folder(text);
        EXPECT_EQ(got.label, expected.label) << text;
        EXPECT_EQ(got.path, expected.path) << text;
    }
    EXPECT_EQ(folder_name("a/b//"), "b");
    EXPECT_NE(folder_name("."), ".");  // the working directory's own name
    EXPECT_EQ(folder_name("/tmp/.."), "/");
}

TEST_F(ListingColumns, SystemFoldersPairEveryReferenceWithEverySystemInOrder) {
    for (const char* folder : {"refs/s", "n/s", "e/s"}) mkdirs(folder);
    for (const char* file : {"refs/s/x.wav", "refs/y.wav", "n/s/x.wav", "e/s/x.wav", "e/y.wav", "n/z.flac"}) {
        write_file(path(file), "");
    }
    std::vector<PairSpec> pairs =
        all_pairs(DirectorySource(path("refs"), {SystemFolder{"noisy", path("n")}, SystemFolder{"e", path("e")}}));
    struct Expected {
        const char* relative;
        const char* system;
        const char* error;
    };
    const Expected expected[] = {{"s/x.wav", "noisy", "ok"}, {"s/x.wav", "e", "ok"}, {"y.wav", "noisy", "unpaired"},
                                 {"y.wav", "e", "ok"},       {"z.flac", "noisy", "unpaired"}};
    ASSERT_EQ(pairs.size(), std::size(expected));
    for (size_t i = 0; i < pairs.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pairs[i].index, static_cast<int64_t>(i));
        EXPECT_EQ(pairs[i].reference, expected[i].relative);
        EXPECT_EQ(pairs[i].degraded, expected[i].relative);
        EXPECT_EQ(pairs[i].metadata, std::vector<std::string>{expected[i].system});
        EXPECT_STREQ(kelvor_status_name(pairs[i].status), expected[i].error);
    }
    EXPECT_NE(pairs[2].facts.find("no file 'y.wav' in the degraded directory"), std::string::npos);
    EXPECT_NE(pairs[4].facts.find("in the reference directory"), std::string::npos);
    EXPECT_THROW(DirectorySource(path("refs"), {SystemFolder{"s", path("n/s")}, SystemFolder{"s", path("e/s")}}),
                 ListingError);

    // kelvor-batch: labelled and unlabelled folders, scores as from a
    // manifest of the same files.
    write_file(path("refs/s/x.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("n/s/x.wav"), wav_bytes(sample_deg(), 8000));
    write_file(path("e/s/x.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("m.csv"), "reference,degraded\nrefs/s/x.wav,n/s/x.wav\nrefs/s/x.wav,e/s/x.wav\n");
    ToolRun dirs = run_batch({"-o", "r.csv", "--ref-dir", "refs", "--deg-dir", "noisy=n", "--deg-dir", "e"}, dir_);
    EXPECT_EQ(dirs.status, 3) << dirs.err;
    std::vector<std::vector<std::string>> records = csv_records(read_file(path("r.csv")));
    std::vector<Row> listed = parse_rows(run_batch({"m.csv"}, dir_).out);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0].back(), "system");
    EXPECT_EQ(records[1][2], csv_records(format_row(listed[0], Format::csv))[0][2]);  // the same digits
    EXPECT_EQ(records[2][2], "1");
    EXPECT_EQ(records[1].back(), "noisy");
    EXPECT_EQ(records[2].back(), "e");
}

TEST_F(ListingColumns, IdListsPairByIdInTheOrderOfTheDegradedList) {
    write_file(path("ref.scp"), "u1 ref.wav\r\n\n  u2\tspaced name.wav  \nu3 sox in.wav -t wav - |\n# not a comment\n"
                                "u5 ref.wav\nu6 feats.ark:123\nlonely\n");
    write_file(path("deg.scp"), "u2 deg.wav\nu1 deg.wav\nu4 deg.wav\nu3 deg.wav\nu6 deg.wav\nlonely deg.wav\n");
    struct Expected {
        const char* id;
        const char* reference;
        const char* degraded;
        const char* error;
        const char* message;  // part of it
    };
    const Expected expected[] = {
        {"u2", "spaced name.wav", "deg.wav", "ok", ""},
        {"u1", "ref.wav", "deg.wav", "ok", ""},
        {"u4", "", "deg.wav", "unpaired", "no id 'u4' in the reference list"},
        {"u3", "sox in.wav -t wav - |", "deg.wav", "bad_row", "line 4: the entry 'u3' is a command pipe"},
        {"u6", "feats.ark:123", "deg.wav", "bad_row", "an entry of an archive"},
        {"lonely", "", "deg.wav", "bad_row", "the entry 'lonely' has no path"},
        {"#", "not a comment", "", "unpaired", "no id '#' in the degraded list"},
        {"u5", "ref.wav", "", "unpaired", "no id 'u5' in the degraded list"},
    };
    ScpSource source(path("ref.scp"), path("deg.scp"));
    std::vector<PairSpec> pairs = all_pairs(source);
    ASSERT_EQ(pairs.size(), std::size(expected));
    for (size_t i = 0; i < pairs.size(); i++) {
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(pairs[i].metadata, std::vector<std::string>{expected[i].id});
        EXPECT_EQ(pairs[i].reference, expected[i].reference);
        EXPECT_EQ(pairs[i].degraded, expected[i].degraded);
        EXPECT_EQ(pairs[i].reference_path, expected[i].reference);  // from the working directory
        EXPECT_STREQ(kelvor_status_name(pairs[i].status), expected[i].error);
        EXPECT_NE(pairs[i].facts.find(expected[i].message), std::string::npos) << pairs[i].facts;
    }
    write_file(path("twice.scp"), "a x.wav\nb y.wav\na z.wav\n");
    try {
        ScpSource twice(path("twice.scp"), path("deg.scp"));
        ADD_FAILURE() << "an id listed twice was taken";
    } catch (const ListingError& e) {
        EXPECT_NE(std::string(e.what()).find("holds the id 'a' twice (lines 1 and 3)"), std::string::npos) << e.what();
    }

    // kelvor-batch: relative paths from the working directory, the id
    // column, and --resume held to the lists' bytes.
    mkdirs("lists");
    write_file(path("lists/ref.scp"), "b ref.wav\na ref.wav\n");
    write_file(path("lists/deg.scp"), "a deg.wav\nb ref.wav\n");
    ToolRun run = run_batch({"--quiet", "-o", "s.csv", "--ref-scp", "lists/ref.scp", "--deg-scp", "lists/deg.scp"}, dir_);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::vector<std::string>> records = csv_records(read_file(path("s.csv")));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].back(), "id");
    EXPECT_EQ(records[1].back(), "a");
    EXPECT_EQ(records[2].back(), "b");
    EXPECT_EQ(records[2][2], "1");
    write_file(path("lists/deg.scp"), "a deg.wav\nb deg.wav\n");
    ToolRun resumed = run_batch({"--resume", "-o", "s.csv", "--ref-scp", "lists/ref.scp", "--deg-scp", "lists/deg.scp"}, dir_);
    EXPECT_EQ(resumed.status, 1);
    EXPECT_NE(resumed.err.find("can't resume 's.csv': it was written from --ref-scp"), std::string::npos) << resumed.err;
}

TEST_F(ListingColumns, IdListsNameTheLinesOfFaultsAndRepeatsFarIntoTheList) {
    // 300 entries, a blank line after every seventh: entry i is on line
    // i + 1 + i / 7.
    auto list = [](const std::string& prefix, int pipe_at) {
        std::string text;
        for (int i = 0; i < 300; i++) {
            text += "u" + std::to_string(i) + " " + prefix + std::to_string(i) + (i == pipe_at ? ".wav |" : ".wav") + "\n";
            if (i % 7 == 6) text += "  \t\r\n";
        }
        return text;
    };
    write_file(path("ref.scp"), list("r", 250));
    write_file(path("deg.scp"), list("d", 77));
    std::vector<PairSpec> pairs = all_pairs(ScpSource(path("ref.scp"), path("deg.scp")));
    ASSERT_EQ(pairs.size(), 300u);
    EXPECT_NE(pairs[77].facts.find("deg.scp', line 89: the entry 'u77' is a command pipe"), std::string::npos)
        << pairs[77].facts;
    EXPECT_NE(pairs[250].facts.find("ref.scp', line 286: the entry 'u250' is a command pipe"), std::string::npos)
        << pairs[250].facts;
    EXPECT_EQ(pairs[299].reference, "r299.wav");
    EXPECT_EQ(pairs[299].status, KELVOR_OK);

    const std::pair<std::string, const char*> repeats[] = {
        {"b 1\na 2\na 3\nb 4\n", "the id 'a' twice (lines 2 and 3)"},
        {list("x", -1) + "u200 again.wav\nu5 again.wav\n", "the id 'u200' twice (lines 229 and 343)"},
    };
    for (const auto& [text, said] : repeats) {
        write_file(path("twice.scp"), text);
        for (bool as_reference : {true, false}) {
            try {
                as_reference ? ScpSource(path("twice.scp"), path("deg.scp")) : ScpSource(path("ref.scp"), path("twice.scp"));
                ADD_FAILURE() << "taken: " << said;
            } catch (const ListingError& e) {
                EXPECT_NE(std::string(e.what()).find(said), std::string::npos) << e.what();
            }
        }
    }
}

TEST_F(ListingColumns, FoldersNamedNameEqualsValueBecomeColumns) {
    for (const char* folder : {"refs/snr=0/spk=f1", "refs/snr=5", "n/snr=0/spk=f1", "n/snr=5", "n/x=1=2"}) mkdirs(folder);
    for (const char* file : {"refs/snr=0/spk=f1/a.wav", "refs/snr=5/a.wav", "n/snr=0/spk=f1/a.wav", "n/snr=5/a.wav"}) {
        write_file(path(file), "");
    }
    std::vector<PairSpec> pairs = all_pairs(DirectorySource(path("refs"), {SystemFolder{"noisy", path("n")}}));
    ASSERT_EQ(pairs.size(), 2u);
    const std::vector<std::string> first{"noisy", "0", "f1"};
    const std::vector<std::string> second{"noisy", "5", ""};
    EXPECT_EQ(pairs[0].metadata, first);
    EXPECT_EQ(pairs[1].metadata, second);
    EXPECT_EQ(DirectorySource(path("refs"), {SystemFolder{"noisy", path("n")}}).metadata(),
              (std::vector<std::string>{"system", "snr", "spk"}));
    // A folder that would name a column kelvor-batch writes itself: a
    // score's, or the labels' own.
    for (const char* column : {"stoi", "system"}) {
        const std::string folder = std::string("bad_") + column + "/" + column + "=1";
        mkdirs(folder);
        write_file(path(folder + "/a.wav"), "");
        try {
            DirectorySource(path(std::string("bad_") + column), {SystemFolder{"n", path("n")}});
            ADD_FAILURE() << "a folder " << column << "=1 was taken";
        } catch (const ListingError& e) {
            EXPECT_NE(std::string(e.what()).find("would make a column '" + std::string(column) + "'"),
                      std::string::npos)
                << e.what();
        }
    }
}

}  // namespace

namespace {

TEST_F(ListingColumns, FoldersAsResearchersLayThemOutAndAHintWhenMostRowsAreUnpaired) {
    for (const char* folder : {"refs", "noisy/snr=-5", "enhanced/snr=-5", "other"}) mkdirs(folder);
    write_file(path("refs/s01.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("noisy/snr=-5/s01.wav"), wav_bytes(sample_deg(), 8000));
    write_file(path("enhanced/snr=-5/s01.wav"), wav_bytes(sample_ref(), 8000));
    ToolRun run = run_batch({"--ref-dir", "refs", "--deg-dir", "noisy", "--deg-dir", "enhanced"}, dir_);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::vector<std::string>> records = csv_records(run.out);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].back(), "snr");
    EXPECT_EQ(records[1][0], "s01.wav");
    EXPECT_EQ(records[1][1], "snr=-5/s01.wav");
    EXPECT_EQ(records[1].back(), "-5");
    EXPECT_EQ(records[2][2], "1");  // enhanced: the reference itself
    EXPECT_EQ(run.err.find("unpaired"), std::string::npos) << run.err;

    write_file(path("other/t01.wav"), wav_bytes(sample_deg(), 8000));
    write_file(path("ref.scp"), "s01 refs/s01.wav\n");
    write_file(path("deg.scp"), "refs/s01.wav other/t01.wav\n");  // the id written as a path
    const std::pair<std::vector<std::string>, const char*> hinted[] = {
        {{"--ref-dir", "refs/", "--deg-dir", "other"},
         "kelvor-batch: 2 of 2 rows are unpaired: folders pair a system's file DIR/PATH with the reference 'refs/PATH'"},
        {{"--ref-scp", "ref.scp", "--deg-scp", "deg.scp"},
         "kelvor-batch: 2 of 2 rows are unpaired: lists pair the line '<id> <path>' of the degraded list 'deg.scp'"},
    };
    for (const auto& [args, said] : hinted) {
        ToolRun unpaired = run_batch(args, dir_);
        EXPECT_EQ(unpaired.status, 3);
        EXPECT_NE(unpaired.err.find(said), std::string::npos) << unpaired.err;
    }
}

}  // namespace
