// Whole runs on small random inputs: the fuzz input becomes a reference and
// a degraded file (raw or behind a WAV name) and a choice of options; every
// run must end with status 0, finite scores and a whole row in the results
// log, or with one of the tool's messages and status 1.
//
// Input layout:
//   byte 0      option bits: 1 -a, 2 -s, 4 -r, 8 -d, 16 reference named .wav,
//               32 degraded named .wav, 64 -t, 128 options after the files
//   bytes 1-2   the number of -s, little-endian, taken modulo 1024
//   bytes 3-4   split point: the reference gets that many of the remaining
//               bytes (modulo their count + 1), the degraded file the rest
//   bytes 5-    file contents
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/audio_io.h"
#include "fuzz_support.h"

namespace {

void write_input(const std::string& name, const uint8_t* data, size_t size) {
    FILE* f = fopen(name.c_str(), "wb");
    if (f == nullptr) fuzz_fail("cannot write an input file", name);
    if (size > 0 && fwrite(data, 1, size, f) != size) fuzz_fail("cannot write an input file", name);
    fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enter_private_work_dir("fuzz_run");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint8_t bits = data[0];
    const int32_t shift = (data[1] | (data[2] << 8)) % 1024;
    const size_t rest = size - 5;
    const size_t split = static_cast<size_t>(data[3] | (data[4] << 8)) % (rest + 1);

    RunExpectation e{};
    e.align = (bits & 1) != 0;
    e.shift_given = (bits & 2) != 0;
    e.shift = shift;
    e.resample_double = (bits & 4) != 0;
    e.debug = (bits & 8) != 0;
    e.timing = (bits & 64) != 0;
    e.ref_wav = (bits & 16) != 0;
    e.deg_wav = (bits & 32) != 0;
    e.ref_name = e.ref_wav ? "in_ref.wav" : "in_ref.pcm";
    e.deg_name = e.deg_wav ? "in_deg.wav" : "in_deg.pcm";
    e.ref_size = static_cast<int64_t>(split);
    e.deg_size = static_cast<int64_t>(rest - split);

    remove_run_outputs();
    write_input(e.ref_name, data + 5, split);
    write_input(e.deg_name, data + 5 + split, rest - split);

    std::vector<std::string> options{"-h"};
    if (e.align) options.push_back("-a");
    if (e.shift_given) options.push_back("-s" + std::to_string(shift));
    if (e.resample_double) options.push_back("-r");
    if (e.debug) options.push_back("-d");
    if (e.timing) options.push_back("-t");
    const bool options_last = (bits & 128) != 0;
    std::vector<std::string> args;
    if (!options_last) args = options;
    args.push_back(e.ref_name);
    args.push_back(e.deg_name);
    if (options_last) args.insert(args.end(), options.begin(), options.end());

    InProcessRun run = run_tool_in_process(args);

    // An input whose first bytes announce another format is refused as it
    // is opened, with nothing logged.
    char foreign[2][128] = {};
    const bool ref_foreign = kelvor::describe_foreign_input(data + 5, std::min<size_t>(split, kelvor::FORMAT_PROBE_BYTES),
                                                            e.ref_size, e.ref_wav, foreign[0], sizeof foreign[0]);
    const bool deg_foreign = kelvor::describe_foreign_input(data + 5 + split,
                                                            std::min<size_t>(rest - split, kelvor::FORMAT_PROBE_BYTES),
                                                            e.deg_size, e.deg_wav, foreign[1], sizeof foreign[1]);

    const bool shift_legal = shift >= 1 && shift <= 900;
    std::string illegal;
    if (e.shift_given && !shift_legal) illegal = "ERROR: Illegal shift value " + std::to_string(shift) + "\n";
    char line[256];
    snprintf(line, sizeof line, "Reference: %s \t samples: %d\n Degraded: %s \t samples: %d\n",
             e.ref_name.c_str(), static_cast<int>(data_bytes_of(e.ref_size, e.ref_wav) / 2), e.deg_name.c_str(),
             static_cast<int>(data_bytes_of(e.deg_size, e.deg_wav) / 2));
    const std::string files = line;

    char ref_line[256];
    snprintf(ref_line, sizeof ref_line, "Reference: %s \t samples: %d\n", e.ref_name.c_str(),
             static_cast<int>(data_bytes_of(e.ref_size, e.ref_wav) / 2));
    std::string refusal;
    if (ref_foreign) {
        refusal = "ERROR: Reference '" + e.ref_name + "' is " + foreign[0] +
                  ", not 8000 Hz 16-bit mono PCM: score it with kelvor-batch\n";
    } else if (deg_foreign) {
        refusal = std::string(ref_line) + "ERROR: Degraded '" + e.deg_name + "' is " + foreign[1] +
                  ", not 8000 Hz 16-bit mono PCM: score it with kelvor-batch\n";
    }

    if (!refusal.empty() && (illegal.empty() || options_last)) {
        if (run.out != refusal || run.returned || run.status != 1) fuzz_fail("another format", run.out);
        if (access("stoi_results.txt", F_OK) == 0) fuzz_fail("a refused run logged a row", run.out);
    } else if (!illegal.empty()) {
        // The -s token is refused where it stands.
        const std::string expected = options_last ? files + illegal : illegal;
        if (run.out != expected || run.returned || run.status != 1) fuzz_fail("illegal shift", run.out);
    } else if (e.align && e.shift_given) {
        if (run.out != files + "ERROR: Conflict options: use -a or -sN, not both!\n" || run.returned ||
            run.status != 1) {
            fuzz_fail("conflicting options", run.out);
        }
    } else {
        if (run.out.compare(0, files.size(), files) != 0) fuzz_fail("file lines", run.out);
        check_run_tail(run.out.substr(files.size()), run, e);
    }
    return 0;
}
