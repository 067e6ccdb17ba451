#include "batch/audio_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "batch/error.h"
#include "kelvor/stoi.h"

namespace kelvor::batch {

namespace {

constexpr int64_t CHUNK_FRAMES = 1 << 16;

std::string quoted(const std::string& label, const std::string& path) {
    return label + " file '" + path + "'";
}

// Opens path for reading, telling a missing file from one that exists but
// cannot be read (permissions, a directory, an I/O error). Only a regular
// file is read: the open does not wait, so that a named pipe without a
// writer is refused instead of holding the run (and its signals) forever.
int open_input(const std::string& path, const std::string& label) {
    if (path.empty()) throw PairError("missing", "The " + label + " path is empty");
    if (path.find('\0') != std::string::npos) {
        // open() would stop at the NUL and read another file.
        throw PairError("unreadable", "The " + label + " path holds a NUL byte");
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A file under a lease refuses a non-blocking open while the lease is
    // broken, which is short and bounded: wait for it.
    if (fd < 0 && errno == EWOULDBLOCK) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) throw PairError("missing", "The " + quoted(label, path) + " does not exist");
        throw PairError("unreadable", "The " + quoted(label, path) + " cannot be opened: " + std::strerror(err));
    }
    struct stat st {};
    int flags = -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (flags = fcntl(fd, F_GETFL)) < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        throw PairError("unreadable", "The " + quoted(label, path) + " is not a regular file");
    }
    return fd;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

struct SndfileCloser {
    SNDFILE* file;
    ~SndfileCloser() {
        if (file != nullptr) sf_close(file);
    }
};

// The largest input the library takes is counted in samples at the rate it
// scores: the file's own rate at 8 kHz, 10 kHz after resampling elsewhere.
void check_length(int64_t frames, int rate, const std::string& label, const std::string& path) {
    const double scoring_rate = rate == 8000 ? 8000.0 : 10000.0;
    double scored = static_cast<double>(frames) * scoring_rate / rate;
    if (scored > static_cast<double>(KELVOR_MAX_SAMPLES)) {
        char text[160];
        std::snprintf(text, sizeof text, " is too long (%lld samples at %d Hz, %.1f hours; at most %.1f hours are scored)",
                      static_cast<long long>(frames), rate, static_cast<double>(frames) / rate / 3600.0,
                      static_cast<double>(KELVOR_MAX_SAMPLES) / scoring_rate / 3600.0);
        throw PairError("too_long", "The " + quoted(label, path) + text);
    }
}

// The Ogg page checksum: CRC-32 with polynomial 0x04C11DB7, not reflected,
// starting from 0.
uint32_t ogg_crc(const unsigned char* data, size_t size) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; k++) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; i++) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

// Whether an Ogg file ends as a whole stream does: its last complete page
// (checksum intact) carries the end-of-stream flag. A file cut off, inside
// a page or between two, does not; the decoder reads such a file without
// complaint, and the lost end would go unnoticed. A file whose end holds
// no page at all is not judged.
bool ogg_stream_ends(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return true;
    const off_t window = 65536 + 65307;  // more than the largest page
    const off_t from = st.st_size > window ? st.st_size - window : 0;
    std::vector<unsigned char> tail(static_cast<size_t>(st.st_size - from));
    size_t got = 0;
    while (got < tail.size()) {
        ssize_t n = ::pread(fd, tail.data() + got, tail.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    tail.resize(got);
    for (size_t p = got >= 27 ? got - 27 + 1 : 0; p-- > 0;) {
        if (std::memcmp(&tail[p], "OggS", 4) != 0 || tail[p + 4] != 0) continue;
        const size_t segments = tail[p + 26];
        if (p + 27 + segments > got) continue;
        size_t length = 27 + segments;
        for (size_t k = 0; k < segments; k++) length += tail[p + 27 + k];
        if (p + length > got) continue;  // cut inside this page
        std::vector<unsigned char> page(tail.begin() + static_cast<std::ptrdiff_t>(p),
                                        tail.begin() + static_cast<std::ptrdiff_t>(p + length));
        const uint32_t stored = static_cast<uint32_t>(page[22]) | static_cast<uint32_t>(page[23]) << 8 |
                                static_cast<uint32_t>(page[24]) << 16 | static_cast<uint32_t>(page[25]) << 24;
        std::memset(&page[22], 0, 4);
        if (ogg_crc(page.data(), page.size()) != stored) continue;
        return (page[5] & 0x04) != 0;
    }
    return true;
}

Audio read_raw(int fd, const std::string& path, const AudioOptions& options, const std::string& label) {
    struct stat st {};
    if (fstat(fd, &st) != 0) throw PairError("unreadable", "The " + quoted(label, path) + " cannot be read: " + std::strerror(errno));
    int64_t bytes = st.st_size;
    // An odd last byte is the low byte of one more sample, as the tool reads it.
    int64_t frames = (bytes + 1) / 2;
    check_length(frames, options.raw_rate, label, path);
    Audio audio;
    audio.rate = options.raw_rate;
    audio.pcm16 = true;
    audio.pcm.assign(static_cast<size_t>(frames), 0);
    std::vector<unsigned char> buffer(static_cast<size_t>(CHUNK_FRAMES * 2));
    int64_t done = 0;
    while (done < bytes) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw PairError("unreadable", "The " + quoted(label, path) + " cannot be read: " + std::strerror(errno));
        if (n == 0) break;
        // Bytes of one sample may straddle two reads: place each byte at its
        // position in the little-endian sample array.
        for (ssize_t i = 0; i < n && done < bytes; i++, done++) {
            uint16_t& s = reinterpret_cast<uint16_t&>(audio.pcm[static_cast<size_t>(done / 2)]);
            uint16_t b = buffer[static_cast<size_t>(i)];
            s = static_cast<uint16_t>((done & 1) ? (s | (b << 8)) : (s | b));
        }
    }
    if (done != bytes) throw PairError("unreadable", "The " + quoted(label, path) + " became shorter while being read");
    return audio;
}

Audio read_sndfile(int fd, const std::string& path, const AudioOptions& options, const std::string& label) {
    SF_INFO info{};
    SNDFILE* file = nullptr;
    std::string open_error;
    {
        // libsndfile keeps the error of a failed open in one variable for
        // the whole process: opening one file at a time keeps each message
        // with its own file.
        static std::mutex open_mutex;
        std::lock_guard<std::mutex> lock(open_mutex);
        // libsndfile closes the descriptor with the file from here on.
        file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
        if (file == nullptr) open_error = sf_strerror(nullptr);
    }
    if (file == nullptr) {
        throw PairError("format", "The " + quoted(label, path) + " is not an audio file libsndfile can read: " +
                                      open_error);
    }
    SndfileCloser closer{file};
    if (info.samplerate <= 0 || info.channels <= 0 || info.frames < 0) {
        throw PairError("format", "The " + quoted(label, path) + " has a malformed header");
    }
    int channel = 0;  // 0-based channel kept
    if (options.channel == 0 && info.channels != 1) {
        throw PairError("channels", "The " + quoted(label, path) + " has " + std::to_string(info.channels) +
                                        " channels; choose one with " + options.channel_option);
    }
    if (options.channel > 0) {
        if (options.channel > info.channels) {
            throw PairError("channels", "The " + quoted(label, path) + " has " + std::to_string(info.channels) +
                                            (info.channels == 1 ? " channel" : " channels") + ", no channel " +
                                            std::to_string(options.channel));
        }
        channel = options.channel - 1;
    }
    // libsndfile says SF_COUNT_MAX when it cannot tell the length (an Ogg
    // stream whose last page it could not find): that is checked while
    // reading, and is no reason to refuse the file as too long.
    const bool known_length = info.frames != SF_COUNT_MAX;
    if (known_length) check_length(info.frames, info.samplerate, label, path);

    Audio audio;
    audio.rate = info.samplerate;
    audio.pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    const size_t width = static_cast<size_t>(info.channels);
    if (known_length) {
        if (audio.pcm16) audio.pcm.reserve(static_cast<size_t>(info.frames));
        else audio.values.reserve(static_cast<size_t>(info.frames));
    }
    std::vector<short> shorts;
    std::vector<double> doubles;
    if (audio.pcm16) shorts.resize(static_cast<size_t>(CHUNK_FRAMES) * width);
    else doubles.resize(static_cast<size_t>(CHUNK_FRAMES) * width);
    for (;;) {
        sf_count_t got = audio.pcm16 ? sf_readf_short(file, shorts.data(), CHUNK_FRAMES)
                                     : sf_readf_double(file, doubles.data(), CHUNK_FRAMES);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; i++) {
            size_t at = static_cast<size_t>(i) * width + static_cast<size_t>(channel);
            if (audio.pcm16) audio.pcm.push_back(shorts[at]);
            else audio.values.push_back(doubles[at]);
        }
        check_length(audio.frames(), audio.rate, label, path);
    }
    if (sf_error(file) != SF_ERR_NO_ERROR) {
        throw PairError("format", "The " + quoted(label, path) + " is malformed: " + sf_strerror(file));
    }
    // A damaged or cut stream decodes without an error, only shorter (or
    // longer) than its header says.
    if (known_length && info.frames > 0 && audio.frames() != info.frames) {
        throw PairError("format", "The " + quoted(label, path) + " is damaged: its header states " +
                                      std::to_string(info.frames) + " frames, " + std::to_string(audio.frames()) +
                                      " could be decoded");
    }
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && !ogg_stream_ends(fd)) {
        throw PairError("format", "The " + quoted(label, path) +
                                      " is cut off: its Ogg stream ends without its last page");
    }
    return audio;
}

bool ends_with_ci(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; i++) {
        char c = s[s.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

}  // namespace

std::vector<double> Audio::as_doubles() const {
    if (!pcm16) return values;
    std::vector<double> out(pcm.size());
    for (size_t i = 0; i < pcm.size(); i++) out[i] = pcm[i] / 32768.0;
    return out;
}

bool is_raw_name(const std::string& path) {
    return ends_with_ci(path, ".pcm") || ends_with_ci(path, ".raw");
}

Audio read_audio(const std::string& path, const AudioOptions& options, const std::string& label) {
    int fd = open_input(path, label);
    if (is_raw_name(path)) {
        FdCloser closer{fd};
        return read_raw(fd, path, options, label);
    }
    return read_sndfile(fd, path, options, label);
}

}  // namespace kelvor::batch
