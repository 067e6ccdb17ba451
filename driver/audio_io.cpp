#include "driver/audio_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/messages.h"
#include "kelvor/stoi.h"

namespace kelvor {

// The tool's limit is the library's for its profile.
static_assert(MAX_INPUT_SAMPLES == KELVOR_MAX_SAMPLES, "the tool profile's longest input");

namespace {

void store_le32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

void store_le16(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

uint32_t load_le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint32_t load_le16(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

bool host_is_little_endian() {
    const uint16_t probe = 1;
    unsigned char first;
    memcpy(&first, &probe, 1);
    return first == 1;
}

// Writes count samples low byte first, whatever the host's byte order.
bool write_samples(FILE* stream, const int16_t* samples, int32_t count) {
    if (host_is_little_endian()) {
        return fwrite(samples, 2, static_cast<size_t>(count), stream) == static_cast<size_t>(count);
    }
    unsigned char pair[2];
    for (int32_t i = 0; i < count; i++) {
        store_le16(pair, static_cast<uint16_t>(samples[i]));
        if (fwrite(pair, 1, 2, stream) != 2) return false;
    }
    return true;
}

// True for a file that claims to be empty and still yields bytes: the
// entries of /proc and of similar system file systems. They describe the
// system, they hold no recording, and their size cannot be measured.
bool size_is_a_pretence(int fd, const struct stat* info) {
    if (info->st_size != 0) return false;
    char byte;
    return read(fd, &byte, 1) > 0;
}

// Makes reads and writes on fd wait again: O_NONBLOCK was only for the
// open.
bool clear_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// The header is skipped either way; this only tells the user when it states
// a format that the samples are not read as (which, once other formats are
// refused, is the extensible header of 8 kHz 16-bit mono PCM). A header
// that is not RIFF/WAVE with its format chunk first (raw data behind a .wav
// name, a header of another kind) states nothing to compare, and passes
// without a word.
void warn_about_wav_header(const unsigned char* h, const char* name) {
    if (memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVEfmt ", 8) != 0 || load_le32(h + 16) < 16) return;
    uint32_t format = load_le16(h + 20);
    uint32_t channels = load_le16(h + 22);
    uint32_t rate = load_le32(h + 24);
    uint32_t bits = load_le16(h + 34);
    if (format == 1 && channels == 1 && rate == 8000 && bits == 16) return;
    fprintf(stderr,
            "WARNING: Header of '%s' states %u Hz, %u channel(s), %u bits, format %u;"
            " read as 8000 Hz, 1 channel, 16 bits, format 1 (PCM)\n",
            name, rate, channels, bits, format);
}

// The container a file's first bytes announce, or null.
const char* container_signature(const unsigned char* h, size_t count) {
    if (count < 4) return nullptr;
    if (memcmp(h, "fLaC", 4) == 0) return "a FLAC file";
    if (memcmp(h, "OggS", 4) == 0) return "an Ogg file";
    if (memcmp(h, "RIFX", 4) == 0) return "a big-endian RIFX file";
    if (memcmp(h, "RF64", 4) == 0 || memcmp(h, "BW64", 4) == 0) return "an RF64 WAV file";
    if (memcmp(h, "caff", 4) == 0) return "a CAF file";
    if (memcmp(h, ".snd", 4) == 0) return "an AU file";
    if (count >= 12 && memcmp(h, "FORM", 4) == 0 && (memcmp(h + 8, "AIFF", 4) == 0 || memcmp(h + 8, "AIFC", 4) == 0)) {
        return "an AIFF file";
    }
    static const unsigned char wave64[8] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11};
    if (count >= 8 && memcmp(h, wave64, 8) == 0) return "a Wave64 file";
    return nullptr;
}

// The format chunk of a RIFF/WAVE header within the first count bytes:
// its offset, or 0 when it is not there (or shorter than 16 bytes).
size_t find_format_chunk(const unsigned char* h, size_t count) {
    size_t at = 12;
    while (at + 8 <= count) {
        uint32_t length = load_le32(h + at + 4);
        if (memcmp(h + at, "fmt ", 4) == 0) return length >= 16 && at + 8 + 16 <= count ? at + 8 : 0;
        if (length > count) return 0;
        at += 8 + length + (length & 1);
    }
    return 0;
}

}  // namespace

bool describe_foreign_input(const unsigned char* head, size_t count, int64_t size, bool is_wav, char* description,
                            size_t room) {
    const char* container = container_signature(head, count);
    if (container != nullptr) {
        snprintf(description, room, "%s", container);
        return true;
    }
    if (count < 4 || memcmp(head, "RIFF", 4) != 0) return false;
    if (is_wav && size < WAV_HEADER_BYTES) return false;  // too short to state a format
    const char* named = is_wav ? "" : " named as raw data";
    if (count < 12 || memcmp(head + 8, "WAVE", 4) != 0) {
        snprintf(description, room, "a RIFF file that is not WAVE%s", named);
        return true;
    }
    size_t fmt = find_format_chunk(head, count);
    if (fmt == 0) {
        if (is_wav) return false;  // states no format
        snprintf(description, room, "a WAV file%s", named);
        return true;
    }
    uint32_t format = load_le16(head + fmt);
    uint32_t channels = load_le16(head + fmt + 2);
    uint32_t rate = load_le32(head + fmt + 4);
    uint32_t bits = load_le16(head + fmt + 14);
    bool pcm = format == 1;
    if (format == 0xFFFE) {
        // Extensible: the subtype GUID's first two bytes name the format.
        uint32_t chunk = load_le32(head + fmt - 4);
        pcm = chunk >= 40 && fmt + 26 <= count && load_le16(head + fmt + 24) == 1;
    }
    if (is_wav && pcm && channels == 1 && rate == 8000 && bits == 16) return false;
    snprintf(description, room, "a WAV file of %u Hz, %u channel(s), %u bits, format %u%s", rate, channels, bits,
             format, named);
    return true;
}

const char* base_name(const char* name) {
    size_t length = strlen(name);
    if (length == 0) return name;
    char last = name[length - 1];
    if (last == '/' || last == '\\') return name;
    for (size_t i = length; i > 0; i--) {
        char c = name[i - 1];
        if (c == '/' || c == '\\') return name + i;
    }
    return name;
}

bool is_wav_name(const char* name) {
    return strstr(name, ".wav") != nullptr || strstr(name, ".WAV") != nullptr;
}

OpenResult open_input(const char* name, const char* label, InputFile* file) {
    file->name = name;
    file->display_name = base_name(name);
    file->data_bytes = -1;
    file->is_wav = is_wav_name(file->display_name);
    file->device = 0;
    file->inode = 0;
    file->stream = nullptr;
    // Non-blocking, so that a named pipe without a writer is refused below
    // instead of holding the open forever. A file under a lease (one that a
    // file server holds) refuses such an open while the lease is broken; the
    // break is short and bounded, and is waited for.
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EWOULDBLOCK) fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return OPEN_FAILED;
    // Only a regular file has a size to measure: a directory, a pipe, a
    // device (/dev/zero would read as silence) and a /proc entry are refused.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || size_is_a_pretence(fd, &info) ||
        !clear_nonblocking(fd)) {
        close(fd);
        return OPEN_FAILED;
    }
    file->stream = fdopen(fd, "rb");
    if (file->stream == nullptr) {
        close(fd);
        return OPEN_FAILED;
    }
    file->device = info.st_dev;
    file->inode = info.st_ino;
    if (fseeko(file->stream, 0, SEEK_END) != 0) {
        fclose(file->stream);
        return OPEN_FAILED;
    }
    off_t size = ftello(file->stream);
    if (size < 0 || fseeko(file->stream, 0, SEEK_SET) != 0) {
        fclose(file->stream);
        return OPEN_FAILED;
    }

    // The first bytes tell another format; the header of a .wav file is
    // skipped, whatever it holds.
    unsigned char head[FORMAT_PROBE_BYTES];
    size_t got = fread(head, 1, sizeof head, file->stream);
    if (describe_foreign_input(head, got, size, file->is_wav, file->foreign, sizeof file->foreign)) {
        fclose(file->stream);
        file->stream = nullptr;
        return OPEN_FOREIGN;
    }
    int64_t data_bytes = size;
    off_t data_start = 0;
    if (file->is_wav) {
        // The data are taken as 8 kHz 16-bit mono; an extensible header
        // saying so is only pointed out.
        if (got >= WAV_HEADER_BYTES) warn_about_wav_header(head, name);
        data_start = size < WAV_HEADER_BYTES ? size : WAV_HEADER_BYTES;
        if (size >= WAV_HEADER_BYTES) data_bytes = size - WAV_HEADER_BYTES;
    }
    if (fseeko(file->stream, data_start, SEEK_SET) != 0) {
        fclose(file->stream);
        return OPEN_FAILED;
    }
    if (data_bytes / 2 > MAX_INPUT_SAMPLES) {
        fclose(file->stream);
        return OPEN_TOO_LARGE;
    }
    file->data_bytes = static_cast<int32_t>(data_bytes);
    printf("%s: %s \t samples: %d\n", label, file->display_name, file->data_bytes / 2);
    return OPEN_OK;
}

bool is_same_file(const char* name, const InputFile* file) {
    struct stat info;
    if (file->inode == 0 || stat(name, &info) != 0) return false;
    return info.st_dev == file->device && info.st_ino == file->inode;
}

int32_t read_input(InputFile* file, void* buffer) {
    size_t wanted = static_cast<size_t>(file->data_bytes);
    size_t got = fread(buffer, 1, wanted, file->stream);
    if (!host_is_little_endian()) {
        unsigned char* bytes = static_cast<unsigned char*>(buffer);
        for (size_t i = 0; i + 1 < got; i += 2) {
            unsigned char low = bytes[i];
            bytes[i] = bytes[i + 1];
            bytes[i + 1] = low;
        }
    }
    return static_cast<int32_t>(got);
}

bool write_wav_header(FILE* stream, bool stereo, int32_t rate, int32_t samples_per_channel) {
    uint32_t channels = stereo ? 2 : 1;
    uint32_t data_size = static_cast<uint32_t>(samples_per_channel) * channels * 2;
    unsigned char h[WAV_HEADER_BYTES];
    memcpy(h, "RIFF", 4);
    store_le32(h + 4, 36 + data_size);
    memcpy(h + 8, "WAVE", 4);
    memcpy(h + 12, "fmt ", 4);
    store_le32(h + 16, 16);
    store_le16(h + 20, 1);
    store_le16(h + 22, channels);
    store_le32(h + 24, static_cast<uint32_t>(rate));
    store_le32(h + 28, static_cast<uint32_t>(rate) * channels * 2);
    store_le16(h + 32, channels * 2);
    store_le16(h + 34, 16);
    memcpy(h + 36, "data", 4);
    store_le32(h + 40, data_size);
    if (fseek(stream, 0, SEEK_SET) != 0) return false;
    return fwrite(h, 1, WAV_HEADER_BYTES, stream) == WAV_HEADER_BYTES;
}

void write_debug_wav(const char* name, int32_t rate, const int16_t* samples, int32_t count) {
    // A directory, or a file that this user may not write, could never be
    // opened for writing under this name, and is still refused: a rename
    // would replace the file.
    struct stat info;
    if (lstat(name, &info) == 0 &&
        (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && access(name, W_OK) != 0))) {
        fail_name("Open", name);
    }
    // The file is written under a name of its own in the same directory and
    // renamed into place only once complete, so that parallel runs, or a run
    // ended half-way, never leave a mixed or cut file under the final name:
    // a reader sees the previous file or the new one, whole. A symbolic link
    // under the final name is replaced, not followed. No fsync: the rename
    // already protects readers and other runs, and surviving a crash of the
    // whole system is not worth a disk flush per debug file.
    char temporary[64];
    if (snprintf(temporary, sizeof temporary, "%s.XXXXXX", name) >= static_cast<int>(sizeof temporary)) {
        fail_name("Open", name);
    }
    int fd = mkstemp(temporary);
    if (fd < 0) fail_name("Open", name);
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        close(fd);
        unlink(temporary);
        fail_name("Open", name);
    }
    // mkstemp makes the file private (0600); a debug file gets the mode of
    // any new file. Where the file system has no modes this may fail, which
    // leaves the file private and is no reason to fail the run.
    mode_t mask = umask(0);
    umask(mask);
    int mode_set = fchmod(fd, 0666 & ~mask);
    (void)mode_set;
    // Every byte is checked, including the final flush: a full disk must not
    // leave a silently truncated file behind a successful run.
    bool written = write_wav_header(stream, false, rate, count) && write_samples(stream, samples, count);
    if (fflush(stream) != 0) written = false;
    if (ferror(stream)) written = false;
    if (fclose(stream) != 0) written = false;
    if (!written || rename(temporary, name) != 0) {
        unlink(temporary);
        fail_name("Can't write", name);
    }
}

}  // namespace kelvor
