#include "batch/audio_file.h"

#include <cerrno>
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
// cannot be read (permissions, a directory, an I/O error).
int open_input(const std::string& path, const std::string& label) {
    if (path.empty()) throw PairError("missing", "The " + label + " path is empty");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) throw PairError("missing", "The " + quoted(label, path) + " does not exist");
        throw PairError("unreadable", "The " + quoted(label, path) + " cannot be opened: " + std::strerror(err));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
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
    double scored = rate == 8000 ? static_cast<double>(frames) : static_cast<double>(frames) * 10000.0 / rate;
    if (scored > static_cast<double>(KELVOR_MAX_SAMPLES)) {
        throw PairError("too_long", "The " + quoted(label, path) + " is too long (" + std::to_string(frames) +
                                        " samples; at most " + std::to_string(KELVOR_MAX_SAMPLES) +
                                        " samples are scored, about 11.9 hours at 10 kHz)");
    }
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
                                        " channels; choose one with --channel N");
    }
    if (options.channel > 0) {
        if (options.channel > info.channels) {
            throw PairError("channels", "The " + quoted(label, path) + " has " + std::to_string(info.channels) +
                                            (info.channels == 1 ? " channel" : " channels") + ", no channel " +
                                            std::to_string(options.channel));
        }
        channel = options.channel - 1;
    }
    check_length(info.frames, info.samplerate, label, path);

    Audio audio;
    audio.rate = info.samplerate;
    audio.pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    const size_t width = static_cast<size_t>(info.channels);
    if (audio.pcm16) audio.pcm.reserve(static_cast<size_t>(info.frames));
    else audio.values.reserve(static_cast<size_t>(info.frames));
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
