// Reading a listing: quotes only where a CSV field begins (never in TSV),
// line ends, bounded records that name their line, names with NUL or
// bytes that are not UTF-8, shift cells, manifests from pipes, and
// directory links that loop.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "frontend/csv.h"
#include "frontend/error.h"
#include "frontend/listing.h"
#include "frontend_support.h"

using namespace kelvor::frontend;
using namespace std::string_literals;
using Records = std::vector<std::vector<std::string>>;

namespace {

class ManifestReading : public TempDirTest {
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
    EXPECT_EQ(pairs[1].status, KELVOR_ERR_BAD_ROW);
    EXPECT_EQ(pairs[1].facts, "manifest line 4 has 1 field, its header 3");
    EXPECT_EQ(pairs[2].status, KELVOR_ERR_BAD_ROW);
    EXPECT_EQ(pairs[2].facts, "manifest line 5: the reference name holds a NUL byte");
    EXPECT_EQ(pairs[3].status, KELVOR_OK);
    EXPECT_EQ(pairs[3].shift, 900);
    for (size_t i : {size_t{4}, size_t{5}}) {
        EXPECT_EQ(pairs[i].status, KELVOR_ERR_BAD_SHIFT);
        const std::string message = pair_message(pairs[i].status, pairs[i].facts);
        EXPECT_NE(message.find("out of range"), std::string::npos) << message;
        EXPECT_NE(message.find("manifest line " + std::to_string(i + 3)), std::string::npos) << message;
    }
    EXPECT_NE(pairs[6].facts.find("not a whole number"), std::string::npos);
    // Names are bytes: kept as they are.
    EXPECT_EQ(pairs[7].degraded, "\xff\xfe.wav");
    EXPECT_EQ(pairs[7].status, KELVOR_OK);
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
    for (const PairSpec& p : pairs) EXPECT_EQ(p.status, KELVOR_OK);
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
    while (source.next(listed)) names.push_back(listed.reference + " " + kelvor_status_name(listed.status));
    EXPECT_EQ(names, (std::vector<std::string>{"linked/y.wav ok", "sub/x.wav ok"}));
}

}  // namespace
