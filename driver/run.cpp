#include "driver/run.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/geometry.h"
#include "common/stopwatch.h"
#include "conditioning/alignment.h"
#include "conditioning/resampler.h"
#include "driver/audio_io.h"
#include "driver/messages.h"
#include "driver/options.h"
#include "driver/results_log.h"
#include "measures/stoi.h"

// Sanitizer builds look for leaks when the process ends. Only a completed
// run frees everything it allocated; a run ended by an error leaves its
// buffers to the process end on purpose, so the leak check is turned off
// while a run is in progress.
#if defined(__SANITIZE_ADDRESS__)
#define KELVOR_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELVOR_LEAK_CHECK 1
#endif
#endif

#ifdef KELVOR_LEAK_CHECK
namespace {
volatile int run_in_progress = 0;
}
extern "C" int __lsan_is_turned_off() {
    return run_in_progress;
}
#endif

namespace kelvor {

namespace {

void mark_run_in_progress(bool in_progress) {
#ifdef KELVOR_LEAK_CHECK
    run_in_progress = in_progress ? 1 : 0;
#else
    (void)in_progress;
#endif
}

constexpr int32_t MAX_SHIFT = 900;  // largest -sN, and the degraded buffer's padding

// Joins the arguments after the program name, each followed by one blank,
// into one zero-terminated line on the heap. The line lives for the whole
// run: the file names that later messages print point into it. Any length
// is accepted.
char* join_arguments(int argc, char** argv) {
    size_t length = 0;
    for (int i = 1; i < argc; i++) length += strlen(argv[i]) + 1;
    char* line = static_cast<char*>(calloc(length + 1, 1));
    if (line == nullptr) fail("Not enough memory!");
    size_t at = 0;
    for (int i = 1; i < argc; i++) {
        size_t n = strlen(argv[i]);
        memcpy(line + at, argv[i], n);
        at += n;
        line[at++] = ' ';
    }
    return line;
}

// Returns the next token of the line starting at *cursor, terminated in
// place, and moves the cursor behind it; null when no token is left. Only
// the blank separates tokens.
char* next_token(char** cursor) {
    char* p = *cursor;
    while (*p == ' ') p++;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char* token = p;
    while (*p != ' ' && *p != '\0') p++;
    if (*p == ' ') *p++ = '\0';
    *cursor = p;
    return token;
}

// The number after an option letter, read as atoi reads it (leading white
// space, optional sign, digits up to the first other character, 0 when there
// are none), but saturating instead of overflowing on absurdly long digit
// strings.
int32_t option_number(const char* text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(value);
}

void read_option(const char* token, RunOptions* options) {
    char letter = token[1];
    int32_t number = letter != '\0' ? option_number(token + 2) : 0;
    switch (letter) {
    case 'a':
        options->align = true;
        break;
    case 's':
        options->shift_given = true;
        options->shift_samples = number;
        options->shift_ms = number * 0.125;
        if (number < 1 || number > MAX_SHIFT) fail_number("Illegal shift value", number);
        break;
    case 'r':
        options->resample_double = true;
        break;
    case 't':
        options->timing = true;
        break;
    case 'd':
        options->debug_output = true;
        break;
    case 'h':
        options->hide_banner = true;
        break;
    default:
        fail_option("Unknown option", letter);
    }
}

// True when name holds a byte below 0x20 or 0x7F: a newline or a tab would
// break the row of the results log, an escape sequence would reach the
// terminal.
bool has_control_character(const char* name) {
    for (const char* p = name; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

void open_file_token(char* token, RunOptions* options, InputFile* reference, InputFile* degraded) {
    options->file_count++;
    if (options->file_count > 2) {
        printf("ERROR: %s\n", "Too many arguments!");
        print_banner();
        print_usage();
        exit(1);
    }
    bool is_reference = options->file_count == 1;
    // Refused before anything is read; the message does not repeat the name,
    // which is what cannot be printed.
    if (has_control_character(token)) {
        fail(is_reference ? "Control character in Reference file name" : "Control character in Degraded file name");
    }
    OpenResult result = open_input(token, is_reference ? "Reference" : " Degraded",
                                   is_reference ? reference : degraded);
    if (result == OPEN_FAILED) fail_name(is_reference ? "Can't open Reference" : "Can't open Degraded", token);
    if (result == OPEN_TOO_LARGE) fail_name("File too long (more than 429496729 samples)", token);
    if (result == OPEN_FOREIGN) {
        // Read as 8 kHz samples it would score, and wrongly: refused before
        // anything is computed or logged.
        const InputFile* file = is_reference ? reference : degraded;
        printf("ERROR: %s '%s' is %s, not 8000 Hz 16-bit mono PCM: score it with kelvor-batch\n",
               is_reference ? "Reference" : "Degraded", token, file->foreign);
        exit(1);
    }
}

// A zero-filled sample array; a run of zero samples still gets a valid
// pointer.
int16_t* zeroed_samples(int32_t count) {
    int16_t* samples = static_cast<int16_t*>(calloc(static_cast<size_t>(count > 0 ? count : 1), sizeof(int16_t)));
    if (samples == nullptr) fail("Not enough memory!");
    return samples;
}

void read_into(InputFile* file, int16_t* buffer) {
    int32_t got = read_input(file, buffer);
    if (got != file->data_bytes) fail_read("Can't read", file->name, file->data_bytes, got);
}

// Writes one debug file, unless its name is one of the inputs (an input
// called ref.wav in the working directory, say): the debug output must not
// destroy the data it was computed from.
void write_debug_file(const char* name, int32_t rate, const int16_t* samples, int32_t count,
                      const InputFile* reference, const InputFile* degraded) {
    if (is_same_file(name, reference) || is_same_file(name, degraded)) {
        fail_name("Debug output would overwrite an input", name);
    }
    write_debug_wav(name, rate, samples, count);
}

// Prints the timing and precision notes that follow a resampling line.
void print_resampling_notes(const RunOptions* options, double seconds) {
    if (options->timing) printf(" t=%.3gsec", seconds);
    if (options->resample_double) printf(" \t(double)");
}

}  // namespace

int tool_main(int argc, char** argv) {
    mark_run_in_progress(true);
    // A write beyond the file size limit then fails like any other write,
    // and is reported and cleaned up, instead of ending the process halfway
    // through a row of the results log.
    signal(SIGXFSZ, SIG_IGN);
    RunOptions options{};
    InputFile reference{nullptr, nullptr, nullptr, -1, false, 0, 0, {}};
    InputFile degraded{nullptr, nullptr, nullptr, -1, false, 0, 0, {}};

    char* line = join_arguments(argc, argv);
    char* cursor = line;
    bool any_token = false;
    for (char* token = next_token(&cursor); token != nullptr; token = next_token(&cursor)) {
        any_token = true;
        if (token[0] == '-') read_option(token, &options);
        else open_file_token(token, &options, &reference, &degraded);
    }

    if (!any_token || options.file_count < 2) {
        printf("ERROR: %s\n", "No Reference or/and Degraded file(s)");
        print_banner();
        print_usage();
        exit(1);
    }
    if (options.align && options.shift_given) fail("Conflict options: use -a or -sN, not both!");

    if (!options.hide_banner) print_banner();
    timer_init();

    // N is the longer input's sample count. The reference buffer has one
    // spare sample for the odd last byte of a reference with an odd byte
    // count; the degraded one has room for the largest shift.
    int32_t n = reference.data_bytes / 2;
    if (degraded.data_bytes / 2 > n) n = degraded.data_bytes / 2;
    int16_t* ref8 = zeroed_samples(n + 1);
    int16_t* deg8 = zeroed_samples(n + MAX_SHIFT);
    read_into(&reference, ref8);
    read_into(&degraded, deg8);
    fclose(reference.stream);
    fclose(degraded.stream);

    int32_t align_shift = 0;
    if (options.align) {
        printf("\nSearch alignment...");
        timer_start();
        align_shift = search_alignment(ref8, deg8, n);
        double seconds = timer_elapsed();
        if (align_shift != 0) printf(" Shift %d samples", align_shift);
        else printf(" (No delay found)");
        if (options.timing) printf(" t=%.3gsec", seconds);
    }
    if (options.shift_samples != 0) {
        printf("\nShift %d samples (%g ms)", options.shift_samples, options.shift_ms);
    }

    // Both signals are resampled at once (each on a thread of its own when
    // the process may run on two processors); each line reports the time
    // of its own signal.
    printf("\nResampling Reference...");
    int32_t m = resampled_length(n);
    int16_t* ref10 = zeroed_samples(m);
    int16_t* deg10 = zeroed_samples(m);
    int32_t shift = options.align ? align_shift : options.shift_samples;
    double seconds[2];
    resample_pair_8k_to_10k(ref8, deg8 + shift, n, ref10, deg10, options.resample_double, seconds);
    print_resampling_notes(&options, seconds[0]);

    printf("\nResampling Degraded... ");
    print_resampling_notes(&options, seconds[1]);

    printf("\nSTOI processing...");
    MeasureResult scores{};
    switch (stoi_estoi_pcm(ref10, deg10, m, &scores)) {
    case MEASURE_OK:
        break;
    case MEASURE_TOO_SHORT:
        fail("STOI -- Too short file");
    case MEASURE_NO_MEMORY:
        printf("\n%s -- No memory : %s\n", scores.failure.operation, scores.failure.array);
        exit(1);
    case MEASURE_FFT_TABLES:
        // The FFT library ends the run without a message of its own.
        exit(1);
    }
    const double stoi = scores.stoi;
    const double estoi = scores.estoi;
    printf("\t Metrics  :  STOI %.4g  ESTOI %.4g", stoi, estoi);
    if (options.timing) printf("\t t=%.3gsec t=%.3gsec", scores.t1, scores.t2);
    printf("\n");

    if (options.debug_output) {
        write_debug_file("ref.wav", 8000, ref8, n, &reference, &degraded);
        write_debug_file("deg.wav", 8000, deg8 + align_shift, n, &reference, &degraded);
        printf("\nDebug output  8kHz  : %s %s\n", "ref.wav", "deg.wav");
    }
    free(ref8);
    free(deg8);
    if (options.debug_output) {
        write_debug_file("ref10.wav", MEASURE_RATE, ref10, m, &reference, &degraded);
        write_debug_file("deg10.wav", MEASURE_RATE, deg10, m, &reference, &degraded);
        printf("Debug output 10kHz  : %s %s\n", "ref10.wav", "deg10.wav");
    }
    free(ref10);
    free(deg10);

    // The console carries the scores: when they could not be written (a
    // full disk behind a redirection), the run has failed and logs no row.
    // The message can only go to the error stream.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ERROR: %s '%s'\n", "Can't write", "standard output");
        exit(1);
    }
    append_results_row(reference.name, degraded.name, stoi, estoi, &options, align_shift);
    free(line);
    mark_run_in_progress(false);
    return 0;
}

}  // namespace kelvor
