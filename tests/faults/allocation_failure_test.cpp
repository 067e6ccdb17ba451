// Running out of memory at every heap request of a run, one request at a
// time: each failure ends the run with its own message and status 1 (never
// a crash, never a row in the results log), except a failed FFT table,
// which is rebuilt once and only ends the run, silently, when it fails
// again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

namespace {

struct Refusals {
    long requests;
    long refused;
};

Refusals refusals_of(const ToolRun& r) {
    Refusals f{-1, -1};
    if (sscanf(r.err.c_str(), "allocations %ld refused %ld", &f.requests, &f.refused) != 2) return {-1, -1};
    return f;
}

ToolRun run_with_refusal(const char* mode, long n, const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> argv{KELVOR_ALLOC_FAULT_EXE, mode, std::to_string(n)};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* name : {"stoi_results.txt", "ref.wav", "deg.wav", "ref10.wav", "deg10.wav"}) {
        std::remove((dir + "/" + name).c_str());
    }
    return run_program(argv, dir);
}

// The requests of one run, in order: where the output stops and what the
// failure prints. An empty message marks an FFT table.
struct Site {
    const char* stops_after;  // the last text printed before the failure ("" = nothing)
    const char* message;
};

const char* const kFiles = "d.pcm \t samples: 6000\n";  // end of the degraded file's line
const char* const kResampling = "\nResampling Reference...";
const char* const kProcessing = "\nSTOI processing...";
const char* const kAll = "<all>";

const std::vector<Site> kSites = {
    {"", "ERROR: Not enough memory!\n"},                // command line
    {kFiles, "ERROR: Not enough memory!\n"},            // 8 kHz reference
    {kFiles, "ERROR: Not enough memory!\n"},            // 8 kHz degraded
    {kResampling, "ERROR: Not enough memory!\n"},       // 10 kHz reference
    {kResampling, "ERROR: Not enough memory!\n"},       // 10 kHz degraded
    {kProcessing, "\nKELVOR_STOI -- No memory : d_clean\n"},
    {kProcessing, "\nKELVOR_STOI -- No memory : d_processed\n"},
    {kProcessing, "\nSTOI -- No memory : mH\n"},
    {kProcessing, "\nSTOI -- No memory : x\n"},
    {kProcessing, "\nSTOI -- No memory : y\n"},
    {kProcessing, "\nremove -- No memory : msk\n"},
    {kProcessing, "\nremove -- No memory : tmp\n"},
    {kProcessing, "\nSTOI -- No memory : ax_hat\n"},
    {kProcessing, "\nSTOI -- No memory : ay_hat\n"},
    {kProcessing, "\nstdft -- No memory : tmp\n"},
    {kProcessing, "\nstdft -- No memory : ctmp\n"},
    {kProcessing, ""},  // FFT twiddle table
    {kProcessing, ""},  // its quarter-wave sine table
    {kProcessing, ""},  // FFT bit-reversal table
    {kProcessing, "\nstdft -- No memory : tmp\n"},
    {kProcessing, "\nstdft -- No memory : ctmp\n"},
    {kProcessing, "\nSTOI -- No memory : X\n"},
    {kProcessing, "\nSTOI -- No memory : Y\n"},
    {kProcessing, "\nSTOI -- No memory : d_interm\n"},
    {kProcessing, "\nSTOI -- No memory : xn_tmp\n"},
    {kProcessing, "\nSTOI -- No memory : yn_tmp\n"},
    {kProcessing, "\nESTOI -- No memory : d1\n"},
    {kAll, "ERROR: Not enough memory!\n"},  // results row
};

class AllocationFailure : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        std::vector<int16_t> clean = speechlike(6000, 21);
        std::vector<int16_t> noisy = clean;
        for (size_t i = 0; i < noisy.size(); i++) noisy[i] = static_cast<int16_t>(noisy[i] / 2 + (i % 17) * 40);
        write_file(dir + "/r.wav", wav_bytes(clean, 8000));
        write_file(dir + "/d.pcm", raw_bytes(noisy));
        ToolRun plain = run_tool(args, dir);
        ASSERT_EQ(plain.status, 0) << plain.out;
        clean_out = plain.out;
        clean_log = read_file(dir + "/stoi_results.txt");
        ASSERT_FALSE(clean_log.empty());
    }
    void TearDown() override { remove_tree(dir); }

    std::string prefix_until(const char* marker) const {
        if (marker == kAll) return clean_out;
        size_t at = clean_out.find(marker);
        return at == std::string::npos ? "<marker missing>" : clean_out.substr(0, at + strlen(marker));
    }

    std::string dir;
    std::vector<std::string> args{"-h", "-d", "r.wav", "d.pcm"};
    std::string clean_out;
    std::string clean_log;
};

TEST_F(AllocationFailure, EveryRequestFailingOnceInTurn) {
    size_t n = 1;
    for (;; n++) {
        ASSERT_LE(n, kSites.size() + 1) << "more heap requests than known sites";
        ToolRun r = run_with_refusal("once", static_cast<long>(n), args, dir);
        Refusals f = refusals_of(r);
        ASSERT_GE(f.requests, 0) << "no report from the faulty heap (crash?): status " << r.status << "\n" << r.err;
        if (f.refused == 0) {
            // Past the last request: the run is the plain one.
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, clean_out);
            break;
        }
        ASSERT_LT(n - 1, kSites.size()) << r.out;
        const Site& site = kSites[n - 1];
        const std::string log = read_file(dir + "/stoi_results.txt");
        if (site.message[0] == '\0') {
            // The FFT drops every table, builds them again and goes on.
            EXPECT_EQ(r.status, 0) << "request " << n;
            EXPECT_EQ(r.out, clean_out) << "request " << n;
            EXPECT_EQ(log, clean_log) << "request " << n;
            continue;
        }
        EXPECT_EQ(r.status, 1) << "request " << n << "\n" << r.out << r.err;
        EXPECT_EQ(r.out, prefix_until(site.stops_after) + site.message) << "request " << n;
        EXPECT_EQ(log, "") << "request " << n;
        // Debug files exist only when the failure comes after them.
        EXPECT_EQ(file_exists(dir + "/deg10.wav"), site.stops_after == kAll) << "request " << n;
    }
    EXPECT_EQ(n, kSites.size() + 1);
}

TEST_F(AllocationFailure, FftTablesThatCannotBeBuiltAtAllEndTheRunSilently) {
    // From the first table request on nothing can be had: the FFT reports
    // "No working Twd memory", whose handler ends the process with status 1
    // and no text of its own.
    for (long n : {17L, 18L, 19L}) {
        ASSERT_STREQ(kSites[static_cast<size_t>(n - 1)].message, "");
        ToolRun r = run_with_refusal("from", n, args, dir);
        EXPECT_GE(refusals_of(r).refused, 2) << "request " << n;
        EXPECT_EQ(r.status, 1) << "request " << n;
        EXPECT_EQ(r.out, prefix_until(kProcessing)) << "request " << n;
        EXPECT_FALSE(file_exists(dir + "/stoi_results.txt"));
    }
    // A heap that refuses everything: the first request is the command line.
    ToolRun none = run_with_refusal("from", 1, args, dir);
    EXPECT_EQ(none.out, "ERROR: Not enough memory!\n");
    EXPECT_EQ(none.status, 1);
}

}  // namespace
