#include "driver/results_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// The null device is the one file other than a regular file that may stand
// in for the log: a link to it is the usual way to throw the rows away.
bool is_null_device(const struct stat* info) {
    struct stat null_info;
    return S_ISCHR(info->st_mode) && stat("/dev/null", &null_info) == 0 && S_ISCHR(null_info.st_mode) &&
           info->st_rdev == null_info.st_rdev;
}

// Makes writes on fd wait again: O_NONBLOCK was only for the open.
bool clear_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Opens the log for appending, following a symbolic link (a dangling one
// too: its target is created). Never waits: a named pipe without a reader
// refuses the open, and with one it is refused as every other file that
// cannot be positioned. Returns null after a warning when the log cannot be
// opened at all (the run then goes without its row).
FILE* open_log() {
    int fd = open(LOG_NAME, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    // A lease being broken (see open_input) is waited for.
    if (fd < 0 && errno == EWOULDBLOCK) fd = open(LOG_NAME, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == ENXIO) fail_name("Can't move to start of log file", LOG_NAME);
        fprintf(stderr, "WARNING: Can't open log file '%s' (%s): no row written\n", LOG_NAME, strerror(errno));
        return nullptr;
    }
    FILE* log = fdopen(fd, "a");
    if (log == nullptr) {
        fprintf(stderr, "WARNING: Can't open log file '%s' (%s): no row written\n", LOG_NAME, strerror(errno));
        close(fd);
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || is_null_device(&info)) || !clear_nonblocking(fd)) {
        fail_name("Can't move to start of log file", LOG_NAME);
    }
    return log;
}

// Takes the advisory lock; false when the file system offers none.
bool lock_log(FILE* log) {
    int result;
    do {
        result = flock(fileno(log), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace

void append_results_row(const char* reference_name, const char* degraded_name, double stoi,
                        double estoi, const RunOptions* options, int32_t align_shift) {
    FILE* log = open_log();
    if (log == nullptr) return;
    // Unbuffered: the row goes to the file in one write request, and a row
    // that failed to go out cannot be written later by the process end.
    setvbuf(log, nullptr, _IONBF, 0);

    // Held from the emptiness check to the end of the row: parallel runs in
    // one directory neither interleave rows nor both write a header. Without
    // it (a file system with no locks) the row still goes out in one
    // appending write, but two runs may both find the log empty.
    bool locked = lock_log(log);
    if (!locked) {
        fprintf(stderr, "WARNING: Can't lock log file '%s' (%s): row appended without the lock\n", LOG_NAME,
                strerror(errno));
    }

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
    // held, so that the log keeps only whole rows. Without the lock the end
    // noted above may no longer be the end: other runs' rows may follow it,
    // so the part stays.
    bool written = fwrite(text.data, 1, text.length, log) == text.length;
    if (fflush(log) != 0 || ferror(log)) written = false;
    free(text.data);
    if (!written) {
        if (locked && ftruncate(fileno(log), static_cast<off_t>(end)) != 0) {
            fprintf(stderr, "WARNING: Can't cut a partly written row off '%s' (%s)\n", LOG_NAME, strerror(errno));
        }
        fail_name("Can't write", LOG_NAME);
    }
    if (locked) flock(fileno(log), LOCK_UN);
    if (fclose(log) != 0) fail_name("Can't write", LOG_NAME);
}

}  // namespace kelvor
