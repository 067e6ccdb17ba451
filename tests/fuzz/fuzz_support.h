// Support of the fuzz harnesses that run the whole tool in process: the
// process end replaced by a jump back into the harness, the library's heap
// blocks and streams tracked so that a run ended by an error can be cleaned
// up, standard output captured, and the checks of a run's output.
//
// The harnesses are linked with -Wl,--wrap= for exit, malloc, calloc,
// realloc, free, fopen, fdopen and fclose; the wrappers act only while a run
// is in progress and pass every other call straight through.
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

struct InProcessRun {
    std::string out;  // everything the run printed on standard output
    bool returned;    // tool_main returned (instead of ending the process)
    int status;       // its result, or the status handed to exit
};

// Creates a private directory below $TMPDIR (or /tmp) and makes it the
// working directory, so that the results log and debug files of the runs
// never land in the source tree. Returns its path.
std::string enter_private_work_dir(const char* tag);

// Runs tool_main with args (program name not included). Afterwards every
// heap block and stream the library left behind is released; on a run that
// returned, any such leftover is a fault and ends the harness. The FFT
// table cache is emptied after every run.
InProcessRun run_tool_in_process(const std::vector<std::string>& args);

// Reports a broken expectation with the input's output and aborts, which
// libFuzzer records as a crash.
[[noreturn]] void fuzz_fail(const char* what, const std::string& detail);

// Removes the files a run may have written into the working directory.
void remove_run_outputs();

// What the tail of a run (from the banner's end on) must look like once the
// command line was accepted.
struct RunExpectation {
    bool align;
    bool shift_given;
    int32_t shift;
    bool resample_double;
    bool timing;
    bool debug;
    std::string ref_name;  // as typed
    std::string deg_name;
    int64_t ref_size;  // file sizes in bytes
    int64_t deg_size;
    bool ref_wav;
    bool deg_wav;
};

// Sample bytes of a file of size bytes as the tool counts them.
int64_t data_bytes_of(int64_t size, bool wav);
// The display form of a name: the text after its last slash or backslash,
// the whole name when it is empty or ends in one.
std::string display_name_of(const std::string& name);
bool wav_name(const std::string& name);

// Checks the output that follows the file lines and the banner: the read
// errors of a short WAV file, the progress lines of the options, and either
// "STOI -- Too short file" with status 1 or a metrics line with finite
// scores in [-1, 1] and status 0, followed by a whole row in the results
// log and complete debug files. Calls fuzz_fail on any difference.
void check_run_tail(const std::string& tail, const InProcessRun& run, const RunExpectation& e);

#endif
