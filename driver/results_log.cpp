#include "driver/results_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/file.h>
#include <unistd.h>

#include "driver/audio_io.h"
#include "driver/messages.h"

namespace kelvor {

namespace {

const char* const LOG_NAME = "stoi_results.txt";
const char* const LOG_HEADER = "REFERENCE\t DEGRADED\t STOI\t ESTOI\t\tSHIFT \n";

// Appends printf-formatted text to a heap buffer that grows as needed.
struct TextBuffer {
    char* data;
    size_t length;
    size_t capacity;
};

void append_text(TextBuffer* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));

void append_text(TextBuffer* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (needed < 0) needed = 0;
    size_t wanted = buffer->length + static_cast<size_t>(needed) + 1;
    if (wanted > buffer->capacity) {
        size_t capacity = wanted * 2;
        char* grown = static_cast<char*>(realloc(buffer->data, capacity));
        if (grown == nullptr) fail("Not enough memory!");
        buffer->data = grown;
        buffer->capacity = capacity;
    }
    vsnprintf(buffer->data + buffer->length, buffer->capacity - buffer->length, format, again);
    va_end(again);
    buffer->length += static_cast<size_t>(needed);
}

}  // namespace

void append_results_row(const char* reference_name, const char* degraded_name, double stoi,
                        double estoi, const RunOptions* options, int32_t align_shift) {
    FILE* log = fopen(LOG_NAME, "a");
    if (log == nullptr) return;
    // Unbuffered: the row goes to the file in one write request, and a row
    // that failed to go out cannot be written later by the process end.
    setvbuf(log, nullptr, _IONBF, 0);

    // Held from the emptiness check to the end of the row: parallel runs in
    // one directory neither interleave rows nor both write a header.
    flock(fileno(log), LOCK_EX);

    if (fseek(log, 0, SEEK_SET) != 0) fail_name("Can't move to start of log file", LOG_NAME);
    long start = ftell(log);
    if (fseek(log, 0, SEEK_END) != 0) fail_name("Can't move to end of log file", LOG_NAME);
    long end = ftell(log);

    TextBuffer text{nullptr, 0, 0};
    if (end == start) append_text(&text, "%s", LOG_HEADER);
    append_text(&text, "%s\t ", base_name(reference_name));
    append_text(&text, "%s\t ", base_name(degraded_name));
    append_text(&text, "%.4g\t", stoi);
    append_text(&text, " %.4g\t", estoi);
    if (options->align) append_text(&text, "\t%3d\t", align_shift);
    else if (options->shift_given) append_text(&text, "\t%3d\t", options->shift_samples);
    else append_text(&text, "\t   \t");
    append_text(&text, "\n");

    // One write of the whole row; every failure, the final flush included,
    // is reported rather than lost. A row that went out only in part (a full
    // disk, a file size limit) is cut off again while the lock is still
    // held, so that the log keeps only whole rows.
    bool written = fwrite(text.data, 1, text.length, log) == text.length;
    if (fflush(log) != 0 || ferror(log)) written = false;
    free(text.data);
    if (!written) {
        int restored = ftruncate(fileno(log), static_cast<off_t>(end));
        (void)restored;  // the message tells of the failure either way
        fail_name("Can't write", LOG_NAME);
    }
    flock(fileno(log), LOCK_UN);
    if (fclose(log) != 0) fail_name("Can't write", LOG_NAME);
}

}  // namespace kelvor
