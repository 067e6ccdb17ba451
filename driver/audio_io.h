// Loading of the 8 kHz input files and writing of the debug WAV files.
#ifndef DRIVER_AUDIO_IO_H
#define DRIVER_AUDIO_IO_H

#include <cstdint>
#include <cstdio>
#include <sys/types.h>

namespace kelvor {

constexpr int32_t WAV_HEADER_BYTES = 44;

// Longest input accepted, in samples: every length derived from it (N + 900
// at 8 kHz, 5N at 10 kHz) must fit a signed 32-bit count.
constexpr int32_t MAX_INPUT_SAMPLES = 429496729;

// One input of a run, from the moment its command-line token is read.
struct InputFile {
    const char* name;          // as typed on the command line
    const char* display_name;  // name without its directories
    FILE* stream;              // open for binary reading
    int32_t data_bytes;        // sample bytes in the file; -1 until measured
    bool is_wav;               // display_name contains ".wav" or ".WAV": 44-byte header skipped
    dev_t device;              // identity of the opened file, to recognise it
    ino_t inode;               // under another name (0 and 0 when unknown)
};

enum OpenResult {
    OPEN_OK,
    OPEN_FAILED,    // cannot be opened or measured (missing, not a regular file, not seekable)
    OPEN_TOO_LARGE  // more than MAX_INPUT_SAMPLES samples
};

// Display form of a file name: the text after its last slash or backslash;
// the whole name when it is empty or ends in a separator.
const char* base_name(const char* name);

bool is_wav_name(const char* name);

// Opens and measures name, which must be a regular file (never waiting on a
// named pipe). On success prints "<label>: <display name> \t samples:
// <count>" and leaves the stream at the first data byte; a WAV header that
// states another format than 8 kHz 16-bit mono PCM gets a warning on
// standard error. On failure prints nothing; the caller reports.
OpenResult open_input(const char* name, const char* label, InputFile* file);

// True when name is, under whatever path or link, the file that was opened
// as file.
bool is_same_file(const char* name, const InputFile* file);

// Reads the file's data bytes into the start of buffer; returns the number
// of bytes obtained.
int32_t read_input(InputFile* file, void* buffer);

// Seeks stream to its start and writes a 44-byte PCM WAV header. Returns
// false when the write fails.
bool write_wav_header(FILE* stream, bool stereo, int32_t rate, int32_t samples_per_channel);

// Writes a mono 16-bit WAV file of count samples under a temporary name and
// renames it to name once complete, replacing whatever name was (a link
// included) in one step. Ends the process with "Open" when the file cannot
// be created (or name is a directory or a file this user may not write) and
// with "Can't write" when any byte cannot be written or the rename fails;
// the temporary file is removed then and name is left as it was.
void write_debug_wav(const char* name, int32_t rate, const int16_t* samples, int32_t count);

}  // namespace kelvor

#endif
