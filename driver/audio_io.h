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
    char foreign[128];         // after OPEN_FOREIGN: what the file is ("a FLAC file")
};

enum OpenResult {
    OPEN_OK,
    OPEN_FAILED,    // cannot be opened or measured (missing, not a regular file, not seekable)
    OPEN_TOO_LARGE, // more than MAX_INPUT_SAMPLES samples
    OPEN_FOREIGN    // another format than 8 kHz 16-bit mono PCM (InputFile::foreign says which)
};

// Bytes of an input looked at to recognise another format.
constexpr size_t FORMAT_PROBE_BYTES = 4096;

// Whether the first count bytes of a file of size bytes (is_wav: named
// .wav) show a format the tool would misread as 8 kHz 16-bit mono PCM:
//  - any file that begins with the signature of another container: FLAC,
//    Ogg, AIFF, AU, CAF, Wave64, RF64, big-endian RIFX; and RIFF in a file
//    that is named as raw data;
//  - a .wav file of at least 44 bytes whose RIFF header is not WAVE, or
//    whose format chunk states anything but 8000 Hz, one channel, 16 bits,
//    PCM (plain, or extensible with the PCM subtype).
// Raw data, a RIFF/WAVE header stating 8 kHz 16-bit mono PCM, a header too
// short to state anything and one without a format chunk pass. Returns
// true and writes what the file is ("a FLAC file", "a WAV file of 16000
// Hz, 1 channel(s), 16 bits, format 1") into description.
bool describe_foreign_input(const unsigned char* head, size_t count, int64_t size, bool is_wav, char* description,
                            size_t room);

// Display form of a file name: the text after its last slash or backslash;
// the whole name when it is empty or ends in a separator.
const char* base_name(const char* name);

bool is_wav_name(const char* name);

// Opens and measures name, which must be a regular file (never waiting on a
// named pipe). On success prints "<label>: <display name> \t samples:
// <count>" and leaves the stream at the first data byte; an extensible WAV
// header (8 kHz 16-bit mono PCM, but format 65534) gets a warning on
// standard error. A file of another format (describe_foreign_input) is
// OPEN_FOREIGN. On failure prints nothing; the caller reports.
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
