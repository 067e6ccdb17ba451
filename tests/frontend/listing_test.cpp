// Manifests, directory pairing, shards, and rows written and read back.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "frontend/listing.h"
#include "frontend/row_format.h"
#include "frontend/shard.h"
#include "frontend_support.h"

using namespace kelvor::frontend;

namespace {

class ListingTest : public TempDirTest {};

TEST_F(ListingTest, ManifestFieldsQuotingDelimitersAndPaths) {
    struct Case {
        const char* name;
        const char* text;
        std::vector<std::vector<std::string>> expected;  // reference, degraded, shift, align, status name
    };
    const Case cases[] = {
        {"plain.csv", "reference,degraded\na.wav,b.wav\n", {{"a.wav", "b.wav", "0", "0", "ok"}}},
        {"crlf_bom.csv", "\xEF\xBB\xBFReference,Degraded,Shift,Align\r\na.wav,b.wav,12,1\r\n\r\nc.wav,d.wav,,\r\n",
         {{"a.wav", "b.wav", "12", "1", "ok"}, {"c.wav", "d.wav", "0", "0", "ok"}}},
        {"quoted.csv", "degraded,extra,reference\n\"b,1.wav\",x,\"a \"\"q\"\".wav\"\n\"multi\nline.wav\",y,z.wav\n",
         {{"a \"q\".wav", "b,1.wav", "0", "0", "ok"}, {"z.wav", "multi\nline.wav", "0", "0", "ok"}}},
        {"tabs.tsv", "reference\tdegraded\talign\na,1.wav\tb.wav\ttrue\n", {{"a,1.wav", "b.wav", "0", "1", "ok"}}},
        {"sniffed.txt", "reference\tdegraded\na.wav\tb.wav\n", {{"a.wav", "b.wav", "0", "0", "ok"}}},
        {"bad.csv", "reference,degraded,shift,align\na,b,x,\na,b,,maybe\na,b\na,b,-3,\na,b,0,1\n",
         {{"a", "b", "0", "0", "bad_shift"},
          {"a", "b", "0", "0", "bad_align"},
          {"a", "b", "0", "0", "bad_row"},
          {"a", "b", "0", "0", "bad_shift"},
          {"a", "b", "0", "1", "ok"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir_ + "/" + c.name, c.text);
        ManifestSource source(dir_ + "/" + c.name);
        std::vector<PairSpec> pairs = all_pairs(source);
        ASSERT_EQ(pairs.size(), c.expected.size());
        for (size_t i = 0; i < pairs.size(); i++) {
            EXPECT_EQ(pairs[i].reference, c.expected[i][0]);
            EXPECT_EQ(pairs[i].degraded, c.expected[i][1]);
            EXPECT_EQ(pairs[i].reference_path, dir_ + "/" + c.expected[i][0]);
            if (c.expected[i][4] == "ok") {
                EXPECT_EQ(std::to_string(pairs[i].shift), c.expected[i][2]);
                EXPECT_EQ(pairs[i].align ? "1" : "0", c.expected[i][3]);
            }
            EXPECT_EQ(kelvor_status_name(pairs[i].status), c.expected[i][4]);
        }
    }
}

TEST_F(ListingTest, AbsolutePathsStayAndRewindStartsOver) {
    write_file(dir_ + "/m.csv", "reference,degraded\n/abs/a.wav,rel/b.wav\n");
    ManifestSource source(dir_ + "/m.csv");
    std::vector<PairSpec> first = all_pairs(source);
    source.rewind();
    std::vector<PairSpec> second = all_pairs(source);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].reference_path, "/abs/a.wav");
    EXPECT_EQ(first[0].degraded_path, dir_ + "/rel/b.wav");
}

TEST_F(ListingTest, UnusableManifestsAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"empty.csv", ""},
        {"no_degraded.csv", "reference,noisy\na,b\n"},
        {"twice.csv", "reference,degraded,reference\na,b,c\n"},
    };
    for (const auto& c : cases) {
        write_file(dir_ + "/" + c.first, c.second);
        EXPECT_THROW(ManifestSource(dir_ + "/" + c.first), ListingError) << c.first;
    }
    EXPECT_THROW(ManifestSource(dir_ + "/absent.csv"), ListingError);
    EXPECT_THROW(ManifestSource(dir_ + "/"), ListingError);
}

TEST_F(ListingTest, DirectoriesPairByRelativePathAndReportLoneFiles) {
    for (const char* side : {"A", "B"}) {
        std::string root = dir_ + "/" + side;
        ASSERT_EQ(system(("mkdir -p " + root + "/sub " + root + "/.hidden").c_str()), 0);
        write_file(root + "/sub/x.wav", "");
        write_file(root + "/y.FLAC", "");
        write_file(root + "/notes.txt", "");
        write_file(root + "/.hidden/z.wav", "");
    }
    write_file(dir_ + "/A/only_ref.wav", "");
    write_file(dir_ + "/B/only_deg.pcm", "");
    DirectorySource source(dir_ + "/A", dir_ + "/B");
    std::vector<PairSpec> pairs = all_pairs(source);
    ASSERT_EQ(pairs.size(), 4u);
    const char* names[] = {"only_deg.pcm", "only_ref.wav", "sub/x.wav", "y.FLAC"};
    const int codes[] = {KELVOR_ERR_UNPAIRED, KELVOR_ERR_UNPAIRED, KELVOR_OK, KELVOR_OK};
    for (size_t i = 0; i < pairs.size(); i++) {
        EXPECT_EQ(pairs[i].reference, names[i]);
        EXPECT_EQ(pairs[i].degraded, names[i]);
        EXPECT_EQ(pairs[i].status, codes[i]);
    }
    EXPECT_EQ(pairs[2].degraded_path, dir_ + "/B/sub/x.wav");
    EXPECT_THROW(DirectorySource(dir_ + "/A", dir_ + "/none"), ListingError);
}

TEST_F(ListingTest, ConditionFoldersPairWithTheReferenceInsideOrOutsideThem) {
    struct Expected {
        const char* reference;
        const char* degraded;
        const char* status;
        const char* facts;  // part of them
        std::vector<std::string> metadata;
    };
    struct Case {
        const char* name;
        std::vector<const char*> refs;
        std::vector<const char*> degs;  // below "d", or below refs/enh when enh_inside
        std::vector<Expected> rows;
        bool enh_inside = false;
    };
    const Case cases[] = {
        {"the subfolder's reference when there is one, else the flat one",
         {"s01.wav", "snr=-5/s01.wav"},
         {"snr=-5/s01.wav", "snr=0/s01.wav"},
         {{"snr=-5/s01.wav", "snr=-5/s01.wav", "ok", "", {"d", "-5"}},
          {"s01.wav", "snr=0/s01.wav", "ok", "", {"d", "0"}}}},
        {"flat references below other folders; a file without one",
         {"s01.wav", "sub/s02.wav"},
         {"snr=5/s01.wav", "snr=5/s03.wav", "snr=5/sub/s02.wav"},
         {{"s01.wav", "snr=5/s01.wav", "ok", "", {"d", "5"}},
          {"snr=5/s03.wav", "snr=5/s03.wav", "unpaired",
           "no file 'snr=5/s03.wav' in the reference directory", {"d", "5"}},
          {"sub/s02.wav", "snr=5/sub/s02.wav", "ok", "", {"d", "5"}}}},
        {"never another condition's reference",
         {"snr=0/s01.wav"},
         {"snr=5/s01.wav"},
         {{"snr=0/s01.wav", "snr=0/s01.wav", "unpaired", "in the degraded directory", {"d", "0"}},
          {"snr=5/s01.wav", "snr=5/s01.wav", "unpaired", ", nor 's01.wav'", {"d", "5"}}}},
        {"the reference in the most of the file's folders",
         {"s.wav", "snr=0/s.wav"},
         {"snr=0/spk=f1/s.wav"},
         {{"s.wav", "s.wav", "unpaired", "no file 's.wav' in the degraded directory", {"d", "", ""}},
          {"snr=0/s.wav", "snr=0/spk=f1/s.wav", "ok", "", {"d", "0", "f1"}}}},
        {"two references, neither in the other's folders: ambiguous",
         {"snr=0/s.wav", "spk=f1/s.wav"},
         {"snr=0/spk=f1/s.wav"},
         {{"snr=0/s.wav", "snr=0/s.wav", "unpaired", "", {"d", "0", ""}},
          {"snr=0/spk=f1/s.wav", "snr=0/spk=f1/s.wav", "bad_row",
           "/refs', 'snr=0/s.wav' and 'spk=f1/s.wav': neither lies in", {"d", "0", "f1"}},
          {"spk=f1/s.wav", "spk=f1/s.wav", "unpaired", "", {"d", "", "f1"}}}},
        {"a system folder inside the reference folder holds no references",
         {"s01.wav"},
         {"s01.wav"},
         {{"s01.wav", "s01.wav", "ok", "", {"d"}}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = make_temp_dir();
        const std::string deg_dir = c.enh_inside ? root + "/refs/enh" : root + "/d";
        auto create = [](const std::string& file) {
            ASSERT_EQ(system(("mkdir -p '" + file.substr(0, file.rfind('/')) + "'").c_str()), 0);
            write_file(file, "");
        };
        for (const char* f : c.refs) create(root + "/refs/" + f);
        for (const char* f : c.degs) create(deg_dir + "/" + f);
        std::vector<PairSpec> pairs = all_pairs(DirectorySource(root + "/refs", {SystemFolder{"d", deg_dir}}));
        ASSERT_EQ(pairs.size(), c.rows.size());
        for (size_t i = 0; i < pairs.size(); i++) {
            SCOPED_TRACE(i);
            const Expected& e = c.rows[i];
            EXPECT_EQ(pairs[i].reference, e.reference);
            EXPECT_EQ(pairs[i].degraded, e.degraded);
            EXPECT_STREQ(kelvor_status_name(pairs[i].status), e.status);
            EXPECT_NE(pairs[i].facts.find(e.facts), std::string::npos) << pairs[i].facts;
            EXPECT_EQ(pairs[i].metadata, e.metadata);
            if (pairs[i].status == KELVOR_OK) {
                EXPECT_EQ(pairs[i].reference_path, root + "/refs/" + e.reference);
            }
        }
        remove_tree(root);
    }
}

TEST_F(ListingTest, AFolderOfNoOneValueOrOfAWrittenColumnIsRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"d/snr=0/snr=5/a.wav", "The path 'snr=0/snr=5/a.wav' below '"},
        {"d/snr=/snr=7/a.wav", "two folders of the column 'snr' ('snr=' and 'snr=7')"},
        {"d/system=legacy/a.wav", "The folder 'system=legacy' of 'system=legacy/a.wav' below '"},
        {"refs/x/stoi=1/a.wav", "would make a column 'stoi'"},
    };
    for (const auto& [file, said] : cases) {
        SCOPED_TRACE(file);
        const std::string root = make_temp_dir();
        const std::string path = root + "/" + file;
        ASSERT_EQ(system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "' '" + root + "/refs' '" + root + "/d'").c_str()), 0);
        write_file(path, "");
        try {
            DirectorySource(root + "/refs", root + "/d");
            ADD_FAILURE() << "taken";
        } catch (const ListingError& e) {
            EXPECT_NE(std::string(e.what()).find(said), std::string::npos) << e.what();
        }
        remove_tree(root);
    }
}

TEST(Shard, ParsingAndEveryRowInExactlyOneShard) {
    Shard s;
    for (const char* bad : {"", "1", "0/3", "4/3", "1/0", "a/3", "1/3x", "-1/3", "1//3"}) {
        EXPECT_FALSE(parse_shard(bad, s)) << bad;
    }
    ASSERT_TRUE(parse_shard("3/7", s));
    EXPECT_EQ(s.index, 3);
    EXPECT_EQ(s.count, 7);
    for (int64_t row = 0; row < 50; row++) {
        int owners = 0;
        for (int k = 1; k <= 7; k++) owners += in_shard(row, Shard{k, 7}) ? 1 : 0;
        EXPECT_EQ(owners, 1);
        // The shard's own rows, in order, map back to the listing's.
        const Shard mine{static_cast<int>(row % 7) + 1, 7};
        EXPECT_EQ(shard_row(row / 7, mine), row);
    }
}

Row sample_row(const std::string& reference, const std::string& degraded, bool ok) {
    Row r;
    r.reference = reference;
    r.degraded = degraded;
    if (ok) {
        r.stoi = 0.1 + 0.2;
        r.estoi = -2.0 / 3.0;
        r.delay_samples = 441;
        r.delay_ms = 10.0;
        r.seconds = 46054 / 8000.0;
        r.rate = 44100;
    } else {
        r.status = KELVOR_ERR_MISSING;
        r.message = "No such file: the reference file 'x'";
    }
    return r;
}

TEST(RowFormat, RoundTripsInBothFormatsWithHostileNames) {
    std::vector<Row> rows = {sample_row("a.wav", "b.wav", true), sample_row("a,b \"c\".wav", "line\nbreak\t\\.wav", false),
                             sample_row("\x01 ctl.wav", "plain", true)};
    for (Format format : {Format::csv, Format::jsonl}) {
        std::string text = header_line(format);
        for (const Row& r : rows) text += format_row(r, format);
        std::vector<Row> back = parse_rows(text, format == Format::jsonl);
        ASSERT_EQ(back.size(), rows.size());
        for (size_t i = 0; i < rows.size(); i++) {
            EXPECT_EQ(back[i].reference, rows[i].reference);
            EXPECT_EQ(back[i].degraded, rows[i].degraded);
            EXPECT_EQ(back[i].stoi, rows[i].stoi);  // bit for bit
            EXPECT_EQ(back[i].estoi, rows[i].estoi);
            EXPECT_EQ(back[i].delay_samples, rows[i].delay_samples);
            EXPECT_EQ(back[i].delay_ms, rows[i].delay_ms);
            EXPECT_EQ(back[i].seconds, rows[i].seconds);
            EXPECT_EQ(back[i].rate, rows[i].rate);
            EXPECT_EQ(back[i].status, rows[i].status);
            EXPECT_EQ(back[i].message, rows[i].message);
        }
    }
    EXPECT_EQ(header_line(Format::csv), "reference,degraded,stoi,estoi,delay_samples,delay_ms,seconds,rate,status,message\n");
    EXPECT_EQ(format_row(sample_row("r", "d", true), Format::csv),
              "r,d,0.30000000000000004,-0.66666666666666663,441,10,5.75675,44100,ok,\n");
    EXPECT_EQ(format_row(sample_row("r", "d", false), Format::jsonl),
              "{\"reference\": \"r\", \"degraded\": \"d\", \"stoi\": null, \"estoi\": null, \"delay_samples\": null, "
              "\"delay_ms\": null, \"seconds\": null, \"rate\": null, \"status\": \"missing\", \"message\": \"No such "
              "file: the reference file 'x'\"}\n");
}

TEST(RowFormat, ReadingBackStopsBeforeATornLastRowAndRefusesForeignFiles) {
    for (Format format : {Format::csv, Format::jsonl}) {
        std::string whole = header_line(format) + format_row(sample_row("a", "b", true), format);
        std::string row = format_row(sample_row("c", "d", true), format);
        for (size_t cut : {size_t{0}, size_t{1}, row.size() / 2, row.size() - 1}) {
            std::istringstream in(whole + row.substr(0, cut));
            int count = 0;
            long long good = read_rows(in, format, [&](const Row&) { count++; });
            EXPECT_EQ(good, static_cast<long long>(whole.size()));
            EXPECT_EQ(count, 1);
        }
    }
    std::string csv = header_line(Format::csv) + format_row(sample_row("a", "b", true), Format::csv);
    std::string jsonl = format_row(sample_row("a", "b", true), Format::jsonl);
    // A JSON row edited by hand: text put in place of `what` (the first
    // place it appears).
    auto edited = [&](const std::string& what, const std::string& text) {
        return std::string(jsonl).replace(jsonl.find(what), what.size(), text);
    };
    const std::pair<std::string, Format> foreign[] = {
        {jsonl, Format::csv},
        {csv, Format::jsonl},
        {"x,y\n1,2\n", Format::csv},
        {csv + "a,b,c\n", Format::csv},
        {edited(", \"message\": \"\"", ""), Format::jsonl},                                // a standard column missing
        {edited("\"status\"", "\"status\": \"failed\", \"status\""), Format::jsonl},        // one given twice
        {edited("\"message\": \"\"", "\"message\": \"\", \"note\": [1]"), Format::jsonl},  // a value that is no cell
        {edited("\"message\": \"\"", "\"message\": \"\", \"note\": true"), Format::jsonl},
        {edited("}", "} x"), Format::jsonl},
        {edited("\"ok\"", "\"okay\""), Format::jsonl},  // a status the library does not know
        {header_line(Format::csv) + "a,b,,,,,,,bad row,x\n", Format::csv},
    };
    for (const auto& f : foreign) {
        std::istringstream in(f.first);
        EXPECT_THROW(read_rows(in, f.second, [](const Row&) {}), OutputFormatError) << f.first;
    }
}

// Rows carry statuses as numbers; the names are the library's, written
// and read back.
TEST(RowFormat, EveryLibraryStatusRoundTripsThroughItsName) {
    for (int status = KELVOR_OK; status > KELVOR_ERR_LAST; status--) {
        ASSERT_EQ(kelvor_status_from_name(kelvor_status_name(status)), status);
        Row row = sample_row("a", "b", status == KELVOR_OK);
        row.status = status;
        for (Format format : {Format::csv, Format::jsonl}) {
            const std::vector<Row> back = parse_rows(header_line(format) + format_row(row, format), format == Format::jsonl);
            ASSERT_EQ(back.size(), 1u);
            EXPECT_EQ(back[0].status, status) << kelvor_status_name(status);
        }
    }
}

TEST(RowFormat, DetailsFileIsCompactAndKeepsWhatThePlotNeeds) {
    Row row;
    row.reference = "a \"q\".wav";
    row.degraded = "b.wav";
    row.stoi = 0.1 + 0.2;
    row.estoi = -0.5;
    row.delay_samples = 320;
    row.delay_ms = 40;
    Details d;
    d.band_centre_hz = {150.0, 1200.5};
    // Rounding to 4 decimals, trailing zeros dropped, no negative zero,
    // null for what is not finite.
    d.stoi_correlation = {{0.123456, -0.00004, 1.0}, {0.5, -1.0, std::nan("")}};
    d.estoi_segment = {0.99996, 0.25, -0.333333};
    d.frame_count = 40;
    d.kept_frames = {2, 3, 4, 7, 9, 10};
    std::string text = details_json(row, 12, d);
    EXPECT_EQ(text,
              "{\"details_format\": 2, \"row\": 12, \"reference\": \"a \\\"q\\\".wav\", \"degraded\": \"b.wav\", "
              "\"stoi\": 0.30000000000000004, \"estoi\": -0.5, \"delay_samples\": 320, \"delay_ms\": 40, "
              "\"band_centre_hz\": [150,1200.5], \"frame_count\": 40, \"kept_frames\": [[2,4],[7,7],[9,10]],\n"
              "\"estoi_segment\": [1,0.25,-0.3333],\n"
              "\"stoi_correlation\": [\n[0.1235,0,1],\n[0.5,-1,null]]}\n");
}

}  // namespace
