// kelvor-batch as a user runs it: the same bits as KELVOR_STOI, output
// independent of threads, exit statuses, resume after a kill, shards,
// directory pairs and bounded memory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "batch_support.h"
#include "conditioning/alignment.h"
#include "conditioning/resampler.h"
#include "measures/stoi.h"

using kelvor::frontend::Row;
using namespace kelvor;

namespace {

class CommandTest : public TempDirTest {};

std::vector<int16_t> slice(const std::vector<int16_t>& x, size_t from, size_t count) {
    std::vector<int16_t> y(x.begin() + static_cast<std::ptrdiff_t>(from),
                           x.begin() + static_cast<std::ptrdiff_t>(std::min(x.size(), from + count)));
    return y;
}

// The tool's chain on 8 kHz samples (driver/run.cpp): delay search or
// shift, both resamplings with the float table, the measures from the
// noise state of a fresh process (each run of the measures starts there).
void tool_scores(const std::vector<int16_t>& ref, const std::vector<int16_t>& deg, int shift, bool align,
                 double& stoi, double& estoi, int& delay) {
    int32_t n = static_cast<int32_t>(std::max(ref.size(), deg.size()));
    std::vector<int16_t> ref8(static_cast<size_t>(n) + 1, 0);
    std::vector<int16_t> deg8(static_cast<size_t>(n) + 900, 0);
    std::copy(ref.begin(), ref.end(), ref8.begin());
    std::copy(deg.begin(), deg.end(), deg8.begin());
    delay = align ? search_alignment(ref8.data(), deg8.data(), n) : shift;
    int32_t m = resampled_length(n);
    std::vector<int16_t> ref10(static_cast<size_t>(m));
    std::vector<int16_t> deg10(static_cast<size_t>(m));
    resample_8k_to_10k(ref8.data(), n, ref10.data(), resampler_taps_float);
    resample_8k_to_10k(deg8.data() + delay, n, deg10.data(), resampler_taps_float);
    MeasureResult result{};
    ASSERT_EQ(stoi_estoi_pcm(ref10.data(), deg10.data(), m, &result), MEASURE_OK);
    stoi = result.stoi;
    estoi = result.estoi;
}

std::string g4(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
}

TEST_F(CommandTest, EightKilohertzRowsAreTheToolsScoresToTheLastBit) {
    // Pairs cut from the bundled speech and made from synthetic signals:
    // other lengths, delays, levels and noise; WAV and raw files alike.
    const std::vector<int16_t>& r = sample_ref();
    const std::vector<int16_t>& d = sample_deg();
    std::vector<std::pair<std::vector<int16_t>, std::vector<int16_t>>> pairs = {
        {r, d},
        {slice(r, 4000, 24000), slice(d, 4000, 24000)},
        {slice(r, 9000, 20000), slice(d, 9300, 21000)},
        {slice(r, 0, 30000), slice(r, 0, 30000)},
    };
    std::vector<int16_t> delayed(57, 0);
    delayed.insert(delayed.end(), r.begin(), r.end());
    pairs.push_back({r, delayed});
    for (uint32_t seed = 1; seed <= 3; seed++) {
        std::vector<int16_t> clean = speechlike(20000 + 3000 * static_cast<int32_t>(seed), seed);
        std::vector<int16_t> noise = speechlike(static_cast<int32_t>(clean.size()) - 500 * static_cast<int32_t>(seed),
                                                seed + 100, 2500.0 * seed);
        std::vector<int16_t> noisy(noise.size());
        for (size_t i = 0; i < noise.size(); i++) noisy[i] = static_cast<int16_t>(clean[i] / 2 + noise[i] / 2);
        pairs.push_back({clean, noisy});
    }
    std::string manifest = "reference,degraded,shift,align\n";
    struct Expected {
        size_t pair;
        int shift;
        bool align;
    };
    std::vector<Expected> expected;
    for (size_t i = 0; i < pairs.size(); i++) {
        std::string ext = i % 2 == 0 ? ".wav" : ".pcm";
        std::string rn = "r" + std::to_string(i) + ext;
        std::string dn = "d" + std::to_string(i) + ext;
        write_file(path(rn), ext == ".wav" ? wav_bytes(pairs[i].first, 8000) : raw_bytes(pairs[i].first));
        write_file(path(dn), ext == ".wav" ? wav_bytes(pairs[i].second, 8000) : raw_bytes(pairs[i].second));
        int shift = 1 + static_cast<int>((i * 97) % 900);
        manifest += rn + "," + dn + ",,\n";
        manifest += rn + "," + dn + ",,1\n";
        manifest += rn + "," + dn + "," + std::to_string(shift) + ",\n";
        expected.push_back({i, 0, false});
        expected.push_back({i, 0, true});
        expected.push_back({i, shift, false});
    }
    write_file(path("m.csv"), manifest);
    ToolRun batch = run_batch({"-j", "2", "--profile", "tool", "m.csv"}, dir_);
    ASSERT_EQ(batch.status, 0) << batch.err;
    std::vector<Row> rows = parse_rows(batch.out);
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t k = 0; k < rows.size(); k++) {
        const Expected& e = expected[k];
        SCOPED_TRACE(rows[k].reference + " shift " + std::to_string(e.shift) + (e.align ? " align" : ""));
        ASSERT_TRUE(rows[k].ok()) << rows[k].message;
        double stoi = 0;
        double estoi = 0;
        int delay = 0;
        tool_scores(pairs[e.pair].first, pairs[e.pair].second, e.shift, e.align, stoi, estoi, delay);
        EXPECT_EQ(*rows[k].stoi, stoi);
        EXPECT_EQ(*rows[k].estoi, estoi);
        EXPECT_EQ(*rows[k].delay_samples, delay);
        EXPECT_EQ(*rows[k].delay_ms, delay / 8.0);

        // And what the tool itself prints for the same files.
        std::vector<std::string> args{"-h", rows[k].reference, rows[k].degraded};
        if (e.align) args.push_back("-a");
        if (e.shift != 0) args.push_back("-s" + std::to_string(e.shift));
        ToolRun tool = run_tool(args, dir_);
        ASSERT_EQ(tool.status, 0) << tool.out;
        EXPECT_NE(tool.out.find("STOI " + g4(stoi) + "  ESTOI " + g4(estoi)), std::string::npos) << tool.out;
        if (e.align && delay != 0) {
            EXPECT_NE(tool.out.find("Shift " + std::to_string(delay) + " samples"), std::string::npos);
        }
    }
}

// A manifest mixing rates, formats, delays and error rows.
std::string mixed_manifest(const std::string& dir) {
    write_file(dir + "/ref.wav", wav_bytes(sample_ref(), 8000));
    write_file(dir + "/deg.wav", wav_bytes(sample_deg(), 8000));
    write_sound(dir + "/ref16.flac", resampled(to_doubles(sample_ref()), 8000, 16000), 16000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    write_sound(dir + "/deg16.flac", resampled(to_doubles(sample_deg()), 8000, 16000), 16000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::string m = "reference,degraded,shift,align\n";
    for (int i = 0; i < 6; i++) {
        m += "ref.wav,deg.wav,,1\n";
        m += "ref16.flac,deg16.flac," + std::to_string(100 + i) + ",\n";
        m += "ref.wav,missing" + std::to_string(i) + ".wav,,\n";
        m += "ref.wav,deg16.flac,,\n";
        m += "ref16.flac,deg16.flac,,1\n";
    }
    return m;
}

TEST_F(CommandTest, OutputIsTheSameBytesForEveryThreadCountAndFormat) {
    write_file(path("m.csv"), mixed_manifest(dir_));
    for (const char* format : {"csv", "jsonl"}) {
        ToolRun one = run_batch({"-j1", "--format", format, "m.csv"}, dir_);
        ToolRun four = run_batch({"-j4", "--format", format, "m.csv"}, dir_);
        EXPECT_EQ(one.status, 3);
        EXPECT_EQ(four.status, 3);
        EXPECT_EQ(one.out, four.out);
        std::vector<Row> rows = parse_rows(one.out, std::strcmp(format, "jsonl") == 0);
        ASSERT_EQ(rows.size(), 30u);
        for (size_t i = 0; i < rows.size(); i++) {
            EXPECT_EQ(rows[i].status, (i % 5 == 2) ? KELVOR_ERR_MISSING : (i % 5 == 3) ? KELVOR_ERR_RATE_MISMATCH : KELVOR_OK) << i;
        }
        EXPECT_NE(one.err.find("18 pairs scored, 12 failed"), std::string::npos) << one.err;
    }
}

TEST_F(CommandTest, ExitStatusesAndCommandLine) {
    write_file(path("ref.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("good.csv"), "reference,degraded\nref.wav,ref.wav\n");
    write_file(path("bad.csv"), "reference,degraded\nref.wav,nothing.wav\n");
    write_file(path("nocolumns.csv"), "source,noisy\nref.wav,ref.wav\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* in_err;  // text expected on standard error
    };
    const Case cases[] = {
        {{"good.csv"}, 0, "1 pair scored, 0 failed"},
        {{"bad.csv"}, 3, "0 pairs scored, 1 failed"},
        {{}, 1, "no manifest"},
        {{"good.csv", "bad.csv"}, 3, "a batch reads one listing"},  // two names are one pair of audio files
        {{"good.csv", "bad.csv", "x"}, 1, "one manifest, or two audio files"},
        {{"--bogus", "good.csv"}, 1, "unknown option"},
        {{"-j0", "good.csv"}, 1, "-j needs"},
        {{"--format", "xml", "good.csv"}, 1, "csv or jsonl"},
        {{"--shard", "0/2", "good.csv"}, 1, "--shard"},
        {{"--shard", "3/2", "good.csv"}, 1, "--shard"},
        {{"--resume", "good.csv"}, 1, "--resume needs -o"},
        {{"--ref-dir", "."}, 1, "go together"},
        {{"absent.csv"}, 1, "Can't read manifest"},
        {{"nocolumns.csv"}, 1, "reference: reference, ref, clean or target"},
        {{"-o", "good.csv", "good.csv"}, 1, "is the manifest"},
        {{"--quiet", "bad.csv"}, 3, ""},
    };
    for (const Case& c : cases) {
        ToolRun run = run_batch(c.args, dir_);
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        EXPECT_EQ(run.status, c.status) << line << run.err;
        if (*c.in_err != '\0') {
            EXPECT_NE(run.err.find(c.in_err), std::string::npos) << line << run.err;
        } else {
            EXPECT_EQ(run.err, "") << line;
        }
    }
    ToolRun help = run_batch({"--help"}, dir_);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: kelvor-batch"), std::string::npos);
    ToolRun progress = run_batch({"--progress", "good.csv"}, dir_);
    EXPECT_NE(progress.err.find("1/1"), std::string::npos) << progress.err;
    EXPECT_EQ(run_batch({"good.csv"}, dir_).err.find("pairs/s  "), std::string::npos);  // no bar off a terminal
}

std::string short_pair_manifest(const std::string& dir, int rows) {
    write_file(dir + "/r.wav", wav_bytes(slice(sample_ref(), 8000, 6000), 8000));
    write_file(dir + "/d.wav", wav_bytes(slice(sample_deg(), 8000, 6000), 8000));
    std::string m = "reference,degraded,shift\n";
    for (int i = 0; i < rows; i++) m += "r.wav,d.wav," + std::to_string(1 + i % 900) + "\n";
    return m;
}

size_t count_lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(CommandTest, ResumeAfterAKillOrAStopLosesNothing) {
    write_file(path("m.csv"), short_pair_manifest(dir_, 400));
    ToolRun whole = run_batch({"-j1", "m.csv"}, dir_);
    ASSERT_EQ(whole.status, 0) << whole.err;

    for (int sig : {SIGKILL, SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        std::string out = path("out.csv");
        std::remove(out.c_str());
        pid_t pid = spawn_batch({"-j2", "-o", "out.csv", "m.csv"}, dir_);
        for (int i = 0; i < 2000 && (!file_exists(out) || count_lines(read_file(out)) < 20); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        kill(pid, sig);
        int status = wait_batch(pid);
        ASSERT_EQ(status, 128 + sig) << "finished before the signal";
        std::string partial = read_file(out);
        ASSERT_FALSE(partial.empty());
        if (sig != SIGKILL) {
            EXPECT_EQ(partial.back(), '\n');  // whole rows only
            EXPECT_EQ(partial, whole.out.substr(0, partial.size()));
        } else {
            // A row torn by a crash is cut off by --resume.
            write_file(out, partial + "r.wav,d.w");
        }
        ToolRun resumed = run_batch({"-j2", "--resume", "-o", "out.csv", "m.csv"}, dir_);
        EXPECT_EQ(resumed.status, 0) << resumed.err;
        EXPECT_EQ(read_file(out), whole.out);
        EXPECT_NE(resumed.err.find("already in"), std::string::npos) << resumed.err;
    }
    // Nothing left: a second resume appends nothing.
    ToolRun again = run_batch({"--resume", "-o", "out.csv", "m.csv"}, dir_);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(read_file(path("out.csv")), whole.out);
    EXPECT_NE(again.err.find("0 pairs scored, 0 failed (400 already in"), std::string::npos) << again.err;
    // A file in the other format is not resumed.
    EXPECT_EQ(run_batch({"--resume", "--format", "jsonl", "-o", "out.csv", "m.csv"}, dir_).status, 1);
}

TEST_F(CommandTest, ShardsTogetherScoreEveryPairOnceInManifestOrder) {
    write_file(path("m.csv"), mixed_manifest(dir_));
    ToolRun whole = run_batch({"m.csv"}, dir_);
    std::vector<std::string> whole_lines;
    std::istringstream in(whole.out);
    for (std::string line; std::getline(in, line);) whole_lines.push_back(line);
    const int n = 4;
    std::vector<std::vector<std::string>> shards(n);
    for (int k = 1; k <= n; k++) {
        ToolRun run = run_batch({"--shard", std::to_string(k) + "/" + std::to_string(n), "m.csv"}, dir_);
        std::istringstream s(run.out);
        for (std::string line; std::getline(s, line);) shards[static_cast<size_t>(k - 1)].push_back(line);
        ASSERT_EQ(shards[static_cast<size_t>(k - 1)][0], whole_lines[0]);  // each with the header
    }
    // Round robin over the shards gives back the whole output.
    std::vector<std::string> joined{whole_lines[0]};
    for (size_t i = 1;; i++) {
        bool any = false;
        for (auto& shard : shards) {
            if (i < shard.size()) {
                joined.push_back(shard[i]);
                any = true;
            }
        }
        if (!any) break;
    }
    EXPECT_EQ(joined, whole_lines);
}

TEST_F(CommandTest, DirectoriesPairByNameAndScoreAsTheManifestDoes) {
    mkdirs("A/s");
    mkdirs("B/s");
    write_file(path("A/s/x.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("B/s/x.wav"), wav_bytes(sample_deg(), 8000));
    write_file(path("A/lonely.wav"), wav_bytes(sample_ref(), 8000));
    write_file(path("m.csv"), "reference,degraded\nA/s/x.wav,B/s/x.wav\n");
    ToolRun dirs = run_batch({"--align", "--ref-dir", "A", "--deg-dir", "B"}, dir_);
    ToolRun listed = run_batch({"--align", "m.csv"}, dir_);
    EXPECT_EQ(dirs.status, 3);
    std::vector<Row> a = parse_rows(dirs.out);
    std::vector<Row> b = parse_rows(listed.out);
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].status, KELVOR_ERR_UNPAIRED);
    EXPECT_EQ(a[1].reference, "s/x.wav");
    EXPECT_EQ(a[1].stoi, b[0].stoi);
    EXPECT_EQ(a[1].delay_samples, 320);
}

// The peak resident memory of kelvor-batch run with args in dir, in kB.
long peak_kb(const std::vector<std::string>& args, const std::string& dir, int status) {
    // Under AddressSanitizer freed blocks wait in a quarantine of up to
    // 256 MB, which would grow with the number of pairs; keep it small so
    // that the peak is the program's own.
    const char* asan = getenv("ASAN_OPTIONS");
    const bool had = asan != nullptr;
    const std::string saved = had ? asan : "";
    std::string options = saved + ":quarantine_size_mb=1";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    struct rusage usage {};
    pid_t pid = spawn_batch(args, dir);
    EXPECT_EQ(wait_batch(pid, &usage), status);
    if (had) setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else unsetenv("ASAN_OPTIONS");
    return usage.ru_maxrss;
}

long peak_kb(const std::string& dir, int rows) {
    write_file(dir + "/m.csv", short_pair_manifest(dir, rows));
    return peak_kb({"-j2", "m.csv"}, dir, 0);
}

TEST_F(CommandTest, TenThousandRowsInTheMemoryOfAHundred) {
    long small = peak_kb(dir_, 100);
    long large = peak_kb(dir_, 10000);
#if defined(__SANITIZE_ADDRESS__)
    const long slack = 8192;  // the sanitizer's own allocator caches grow a little with the work
#else
    const long slack = 4096;
#endif
    EXPECT_LT(large, small + slack) << "peak " << small << " kB for 100 rows, " << large << " kB for 10,000";
}

TEST_F(CommandTest, IdListsTakeLittleMoreMemoryThanTheirBytes) {
    // Two lists of n lines, paired in another order; a shard scores a few
    // pairs, so that the peak is the listing's.
    auto peak_of_lists = [&](int n, size_t& bytes) {
        std::string ref, deg;
        for (int i = 0; i < n; i++) ref += "utt" + std::to_string(1000000 + i) + " r/" + std::to_string(i) + ".wav\n";
        for (int i = n; i-- > 0;) deg += "utt" + std::to_string(1000000 + i) + " d/" + std::to_string(i) + ".wav\n";
        write_file(path("ref.scp"), ref);
        write_file(path("deg.scp"), deg);
        bytes = ref.size() + deg.size();
        return peak_kb({"-j2", "--quiet", "--shard", "1/2000", "--ref-scp", "ref.scp", "--deg-scp", "deg.scp"}, dir_, 3);
    };
    size_t few = 0, many = 0;
    const long small = peak_of_lists(1000, few);
    const long large = peak_of_lists(100000, many);
    // Strings and maps per line took 12 to 17 times the lists' size; their
    // bytes and an index of offsets take less than twice.
#if defined(__SANITIZE_ADDRESS__)
    const size_t times = 8;  // the sanitizer's shadow and its allocator's rounding of large blocks
#else
    const size_t times = 3;
#endif
    const long bound = static_cast<long>(times * (many - few) / 1024);
    EXPECT_LT(large, small + bound) << "peak " << small << " kB for " << few << " bytes of lists, " << large
                                    << " kB for " << many;
}

}  // namespace

namespace {

// The numbers of the JSON array that follows "key": in text (nested arrays
// flattened).
std::vector<double> json_numbers(const std::string& text, const std::string& key) {
    size_t at = text.find("\"" + key + "\": [");
    std::vector<double> values;
    if (at == std::string::npos) return values;
    at = text.find('[', at);
    int depth = 0;
    for (size_t i = at; i < text.size(); i++) {
        char c = text[i];
        if (c == '[') depth++;
        if (c == ']' && --depth == 0) break;
        if (c == '-' || (c >= '0' && c <= '9')) {
            char* end = nullptr;
            values.push_back(std::strtod(text.c_str() + i, &end));
            i = static_cast<size_t>(end - text.c_str()) - 1;
        }
    }
    return values;
}

TEST_F(CommandTest, DetailsFilesHoldTheArraysBehindEachScoredRow) {
    write_sample_pair();
    write_sound(path("ref16.wav"), resampled(to_doubles(sample_ref()), 8000, 16000), 16000,
                SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_sound(path("deg16.wav"), resampled(to_doubles(sample_deg()), 8000, 16000), 16000,
                SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    write_file(path("m.csv"), "reference,degraded,align\nref.wav,deg.wav,1\nref.wav,none.wav,\nref16.wav,deg16.wav,1\n");
    ToolRun run = run_batch({"--details", "details", "m.csv"}, dir_);
    EXPECT_EQ(run.status, 3) << run.err;
    std::vector<Row> rows = parse_rows(run.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_FALSE(file_exists(path("details/1.json")));  // error rows have none
    for (size_t k : {size_t{0}, size_t{2}}) {
        SCOPED_TRACE(k);
        std::string text = read_file(path("details/" + std::to_string(k) + ".json"));
        std::vector<double> bands = json_numbers(text, "band_centre_hz");
        std::vector<double> correlation = json_numbers(text, "stoi_correlation");
        std::vector<double> segments = json_numbers(text, "estoi_segment");
        std::vector<double> runs = json_numbers(text, "kept_frames");
        ASSERT_EQ(bands.size(), 15u);
        EXPECT_EQ(bands[0], 150.0);
        ASSERT_FALSE(segments.empty());
        ASSERT_EQ(correlation.size(), 15 * segments.size());
        // Kept frames as runs [first, last]: M segments need M + 30 frames
        // (the reference profile).
        ASSERT_EQ(runs.size() % 2, 0u);
        double kept = 0;
        for (size_t r = 0; r < runs.size(); r += 2) kept += runs[r + 1] - runs[r] + 1;
        EXPECT_EQ(kept, static_cast<double>(segments.size() + 30));
        // The arrays hold 4 decimals: their means are the scores within
        // half a unit of the last decimal.
        const size_t m = segments.size();
        double stoi = 0;
        for (size_t i = 0; i < m; i++) {
            double bands_sum = 0;
            for (size_t j = 0; j < 15; j++) bands_sum += correlation[j * m + i];
            stoi += bands_sum;
        }
        double estoi = 0;
        for (double e : segments) estoi += e;
        EXPECT_NEAR(stoi / static_cast<double>(correlation.size()), *rows[k].stoi, 5.0001e-5);
        EXPECT_NEAR(estoi / static_cast<double>(segments.size()), *rows[k].estoi, 5.0001e-5);
        char exact[40];
        std::snprintf(exact, sizeof exact, "\"stoi\": %.17g,", *rows[k].stoi);
        EXPECT_NE(text.find(exact), std::string::npos) << "the score itself to the last digit";
    }
}

}  // namespace
