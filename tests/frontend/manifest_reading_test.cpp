// Reading a listing: quotes only where a CSV field begins (never in TSV),
// line ends, bounded records that name their line, names with NUL or
// bytes that are not UTF-8, shift cells, manifests from pipes, and
// directory links that loop.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "frontend/csv.h"
#include "frontend/listing.h"
#include "batch_support.h"

using namespace kelvor::frontend;
using namespace std::string_literals;
using Records = std::vector<std::vector<std::string>>;

namespace {

class ManifestReading : public BatchDirTest {
protected:
    std::vector<PairSpec> pairs_of(const std::string& name, const std::string& text) {
        write_file(path(name), text);
        return all_pairs(ManifestSource(path(name)));
    }
};

TEST(CsvReader, QuotesOpenOnlyAtAFieldsStartAndNeverInTsv) {
    struct Case {
        char delimiter;
        std::string text;
        Records records;
        int64_t open_quote_line;  // of the last record
    };
    const Case cases[] = {
        {',', "a,mic 5\".wav,b\nc,d,e\n", {{"a", "mic 5\".wav", "b"}, {"c", "d", "e"}}, 0},
        {',', "\"x\"\"y\",\"p,q\"\n", {{"x\"y", "p,q"}}, 0},
        {'\t', "\"a\tb\"\tc\nd\te\tf\n", {{"\"a", "b\"", "c"}, {"d", "e", "f"}}, 0},
        {'\t', "mic 5\".wav\tb\n", {{"mic 5\".wav", "b"}}, 0},
        // A CR before the line end is part of the line end only outside quotes.
        {',', "a,\"x\r\"\r\nb,c\r\n", {{"a", "x\r"}, {"b", "c"}}, 0},
        {',', "\"x\r\"\n", {{"x\r"}}, 0},
        {',', "a,\"b\nc\n\nd\n", {{"a", "b\nc\n\nd\n"}}, 1},
        {',', "h\na,b\n\"open\n", {{"h"}, {"a", "b"}, {"open\n"}}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::istringstream in(c.text);
        CsvReader reader(in, c.delimiter);
        Records got;
        std::vector<std::string> fields;
        bool complete = false;
        while (reader.next(fields, complete)) got.push_back(fields);
        EXPECT_EQ(got, c.records);
        EXPECT_EQ(reader.open_quote_line(), c.open_quote_line);
    }
}

TEST(CsvReader, RecordsAndFieldsAreBoundedAndNameTheirLine) {
    const std::string field(CSV_MAX_FIELD + 1, 'x');
    std::string fields_within;  // a record over the limit of fields within theirs
    for (size_t i = 0; i * (CSV_MAX_FIELD - 1) <= CSV_MAX_RECORD; i++) fields_within += std::string(CSV_MAX_FIELD - 2, 'y') + ",";
    struct Case {
        std::string text;
        int64_t line;
    };
    const Case cases[] = {
        {"a,b\n\"q\nq\",c\n" + field + ",x\n", 4},
        {"a\n" + fields_within + "\n", 2},
        {std::string(CSV_MAX_RECORD + 10, '\0'), 1},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.text);
        CsvReader reader(in, ',');
        std::vector<std::string> fields;
        bool complete = false;
        try {
            while (reader.next(fields, complete)) {
            }
            ADD_FAILURE() << "no limit on line " << c.line;
        } catch (const CsvLimitError& e) {
            EXPECT_EQ(e.line(), c.line);
            EXPECT_NE(std::string(e.what()).find("line " + std::to_string(c.line)), std::string::npos) << e.what();
        }
    }
}

TEST_F(ManifestReading, FaultsOfOneRowAreErrorRowsNamingTheirLine) {
    std::vector<PairSpec> pairs = pairs_of("m.csv", "reference,degraded,shift\n"
                                                    "\"a\nb.wav\",c.wav,\n"  // lines 2-3
                                                    "x.wav\n"                 // line 4
                                                    "n\0ul.wav,d.wav,\n"      // line 5
                                                    "e.wav,f.wav,00000000900\n"
                                                    "e.wav,f.wav,1000000000\n"
                                                    "e.wav,f.wav,-3\n"
                                                    "e.wav,f.wav,3.5\n"
                                                    "g.wav,\xff\xfe.wav,\n"s);
    ASSERT_EQ(pairs.size(), 8u);
    EXPECT_EQ(pairs[0].reference, "a\nb.wav");
    EXPECT_EQ(pairs[1].error_code, "bad_row");
    EXPECT_EQ(pairs[1].error_message, "Manifest line 4 has 1 field, its header 3");
    EXPECT_EQ(pairs[2].error_code, "bad_row");
    EXPECT_EQ(pairs[2].error_message, "Manifest line 5: the reference name holds a NUL byte");
    EXPECT_EQ(pairs[3].error_code, "");
    EXPECT_EQ(pairs[3].shift, 900);
    for (size_t i : {size_t{4}, size_t{5}}) {
        EXPECT_EQ(pairs[i].error_code, "bad_shift");
        EXPECT_NE(pairs[i].error_message.find("out of range"), std::string::npos) << pairs[i].error_message;
    }
    EXPECT_NE(pairs[6].error_message.find("not a whole number"), std::string::npos);
    // Names are bytes: kept as they are.
    EXPECT_EQ(pairs[7].degraded, "\xff\xfe.wav");
    EXPECT_EQ(pairs[7].error_code, "");
}

TEST_F(ManifestReading, FaultsOfTheManifestStopItAndNameTheLine) {
    struct Case {
        const char* name;
        std::string text;
        const char* said;
    };
    const Case cases[] = {
        {"quote.csv", "reference,degraded\na.wav,b.wav\n\"c.wav,d.wav\ne.wav,f.wav\n",
         "the quote opened on line 3 is never closed"},
        {"long.csv", "reference,degraded\na.wav,b.wav\n" + std::string(CSV_MAX_RECORD + 1, 'x') + "\n", "line 3"},
        {"header.csv", std::string(CSV_MAX_RECORD + 1, 'r') + "\n", "line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            pairs_of(c.name, c.text);
            ADD_FAILURE() << "read without a fault";
        } catch (const ListingError& e) {
            EXPECT_NE(std::string(e.what()).find(c.said), std::string::npos) << e.what();
        }
    }
    // An endless stream of one byte ends with a fault, not with all memory.
    EXPECT_THROW(ManifestSource("/dev/zero"), ListingError);
}

TEST_F(ManifestReading, TsvWithAQuoteInANameKeepsEveryRow) {
    std::vector<PairSpec> pairs =
        pairs_of("m.tsv", "reference\tdegraded\nmic 5\".wav\tb.wav\nc.wav\td.wav\n\"e.wav\tf.wav\n");
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[0].reference, "mic 5\".wav");
    EXPECT_EQ(pairs[2].reference, "\"e.wav");
    for (const PairSpec& p : pairs) EXPECT_EQ(p.error_code, "");
}

TEST_F(ManifestReading, ManifestsFromStandardInputAndPipes) {
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

TEST_F(ManifestReading, NamesThatAreNotUtf8KeepTheirBytes) {
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

TEST_F(ManifestReading, DirectoryLinksThatLoopArePassedOver) {
    for (const char* side : {"A", "B"}) {
        ASSERT_EQ(::mkdir(path(side).c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(path(std::string(side) + "/sub").c_str(), 0755), 0);
        ASSERT_EQ(::symlink("..", path(std::string(side) + "/sub/up").c_str()), 0);
        ASSERT_EQ(::symlink(".", path(std::string(side) + "/sub/here").c_str()), 0);
    }
    write_file(path("A/sub/x.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("B/sub/x.wav"), wav_bytes(sample_deg(), 8000));
    // A link to a folder elsewhere is followed.
    ASSERT_EQ(::mkdir(path("extra").c_str(), 0755), 0);
    write_file(path("extra/y.wav"), wav_bytes(sample_ref(), 8000));
    ASSERT_EQ(::symlink("../extra", path("A/linked").c_str()), 0);
    ASSERT_EQ(::symlink("../extra", path("B/linked").c_str()), 0);
    DirectorySource source(path("A"), path("B"));
    std::vector<std::string> names;
    PairSpec listed;
    while (source.next(listed)) names.push_back(listed.reference + " " + listed.error_code);
    EXPECT_EQ(names, (std::vector<std::string>{"linked/y.wav ", "sub/x.wav "}));
}

}  // namespace
