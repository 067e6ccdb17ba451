#include "frontend/audio_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/container.h"
#include "frontend/error.h"
#include "frontend/file_names.h"
#include "kelvor/stoi.h"

namespace kelvor::frontend {

namespace {

// The facts of a file's failure start with the file: "the reference file
// 'a.wav'".
std::string quoted(const std::string& label, const std::string& path) {
    return "the " + label + " file '" + path + "'";
}

// Opens path for reading, telling a missing file from one that exists but
// cannot be read (permissions, a directory, an I/O error). Only a regular
// file is read: the open does not wait, so that a named pipe without a
// writer is refused instead of holding the run (and its signals) forever.
int open_input(const std::string& path, const std::string& label) {
    if (path.empty()) throw PairError(KELVOR_ERR_MISSING, "the " + label + " path is empty");
    if (path.find('\0') != std::string::npos) {
        // open() would stop at the NUL and read another file.
        throw PairError(KELVOR_ERR_UNREADABLE, "the " + label + " path holds a NUL byte");
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A file under a lease refuses a non-blocking open while the lease is
    // broken, which is short and bounded: wait for it.
    if (fd < 0 && errno == EWOULDBLOCK) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            throw PairError(KELVOR_ERR_MISSING, quoted(label, path));
        }
        throw PairError(KELVOR_ERR_UNREADABLE, quoted(label, path) + " (" + std::strerror(err) + ")");
    }
    struct stat st {};
    int flags = -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (flags = fcntl(fd, F_GETFL)) < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        throw PairError(KELVOR_ERR_UNREADABLE, quoted(label, path) + " is not a regular file");
    }
    return fd;
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

// Frames per decoder call and bytes per raw read: a working set of a few
// hundred kilobytes whatever the file's length and channel count.
constexpr int64_t CHUNK_SAMPLES = 32768;

[[noreturn]] void damaged(const std::string& name, int64_t stated, int64_t decoded) {
    throw PairError(KELVOR_ERR_FORMAT, name + " is damaged: its header states " + std::to_string(stated) +
                                           " frames, " + std::to_string(decoded) + " could be decoded");
}

// A headerless file of 16-bit little-endian samples, read where it lies
// with pread. An odd last byte is the low byte of one more sample, as the
// tool reads it.
class RawStream final : public AudioStream {
public:
    RawStream(int fd, const std::string& path, const AudioOptions& options, const std::string& label) : fd_(fd) {
        name_ = quoted(label, path);
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            const int err = errno;
            ::close(fd_);
            throw PairError(KELVOR_ERR_UNREADABLE, name_ + " (" + std::strerror(err) + ")");
        }
        bytes_ = st.st_size;
        rate_ = options.raw_rate;
        pcm16_ = true;
        frames_ = (bytes_ + 1) / 2;
    }
    ~RawStream() override { ::close(fd_); }

    void read(int64_t start, int32_t count, double* out) override {
        fetch(start, count, [out](int64_t i, int16_t s) { out[i] = static_cast<double>(s) * 0x1p-15; });
    }
    void read_pcm(int64_t start, int32_t count, int16_t* out) override {
        fetch(start, count, [out](int64_t i, int16_t s) { out[i] = s; });
    }

private:
    template <typename Store>
    void fetch(int64_t start, int32_t count, Store store) {
        if (start < 0 || count < 0 || start > frames_ - count) {
            throw PairError(KELVOR_ERR_FAILED, "a read outside " + name_);
        }
        int64_t done = 0;  // samples stored
        while (done < count) {
            const int64_t samples = std::min<int64_t>(count - done, CHUNK_SAMPLES);
            const int64_t from = (start + done) * 2;
            const int64_t size = std::min<int64_t>(samples * 2, bytes_ - from);
            int64_t got = 0;
            while (got < size) {
                const ssize_t n = ::pread(fd_, buffer_.data() + got, static_cast<size_t>(size - got), from + got);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    throw PairError(KELVOR_ERR_UNREADABLE, name_ + " (" + std::strerror(errno) + ")");
                }
                if (n == 0) throw PairError(KELVOR_ERR_UNREADABLE, name_ + " became shorter while being read");
                got += n;
            }
            for (int64_t i = 0; i < samples; i++) {
                const uint16_t low = buffer_[static_cast<size_t>(2 * i)];
                const uint16_t high = 2 * i + 1 < size ? buffer_[static_cast<size_t>(2 * i + 1)] : 0;
                store(done + i, static_cast<int16_t>(static_cast<uint16_t>(low | high << 8)));
            }
            done += samples;
        }
    }

    int fd_;
    int64_t bytes_ = 0;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(CHUNK_SAMPLES * 2);
};

// Whether libsndfile's seek in a file lands on the very frame asked for:
// fixed-size frames in a plain container (the seek is a byte offset), and
// FLAC (whose decoder seeks to the sample). Everything else (Ogg, MPEG,
// ADPCM, packed or blocked containers) is decoded again from the start
// instead.
bool seeks_exactly(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_FLAC: return true;
    case SF_FORMAT_WAV: case SF_FORMAT_WAVEX: case SF_FORMAT_AIFF: case SF_FORMAT_AU: case SF_FORMAT_RAW:
    case SF_FORMAT_W64: case SF_FORMAT_RF64: case SF_FORMAT_CAF: case SF_FORMAT_NIST: case SF_FORMAT_IRCAM: break;
    default: return false;
    }
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16: case SF_FORMAT_PCM_24: case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT: case SF_FORMAT_DOUBLE: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW: return true;
    default: return false;
    }
}

// A file as libsndfile reads it through its virtual I/O: the bytes of the
// file, except that a few of them (a streamed file's size field) are read
// as `extent` patches them.
struct PatchedFile {
    int fd = -1;
    int64_t position = 0;
    DataExtent extent;

    static sf_count_t length(void* self) {
        struct stat st {};
        return fstat(static_cast<PatchedFile*>(self)->fd, &st) == 0 ? st.st_size : -1;
    }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        PatchedFile& f = *static_cast<PatchedFile*>(self);
        const sf_count_t from = whence == SEEK_CUR ? f.position : whence == SEEK_END ? length(self) : 0;
        if (from < 0 || from + offset < 0) return -1;
        f.position = from + offset;
        return f.position;
    }
    static sf_count_t read(void* out, sf_count_t count, void* self) {
        PatchedFile& f = *static_cast<PatchedFile*>(self);
        auto* bytes = static_cast<unsigned char*>(out);
        sf_count_t got = 0;
        while (got < count) {
            const ssize_t n = ::pread(f.fd, bytes + got, static_cast<size_t>(count - got), f.position + got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
        for (int i = 0; i < f.extent.patch_size; i++) {
            const int64_t at = f.extent.patch_at + i - f.position;
            if (at >= 0 && at < got) bytes[at] = f.extent.patch[i];
        }
        f.position += got;
        return got;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t tell(void* self) { return static_cast<PatchedFile*>(self)->position; }
};

// A file libsndfile decodes, one channel picked from its interleaved
// frames. The descriptor stays open for the stream's life, so that the
// decoder can start again on the same file whatever happens to its name.
class SndfileStream final : public AudioStream {
public:
    explicit SndfileStream(int fd) : fd_(fd) {}
    ~SndfileStream() override {
        if (file_ != nullptr) sf_close(file_);
        ::close(fd_);
    }

    void start(const std::string& path, const AudioOptions& options, const std::string& label) {
        name_ = quoted(label, path);
        // The decoder takes a cut PCM file for a shorter whole one: its
        // sizes are checked first.
        patched_.fd = fd_;
        patched_.extent = data_extent(fd_);
        if (patched_.extent.cut()) {
            throw PairError(KELVOR_ERR_FORMAT, name_ + " is cut off: its header states " +
                                                   std::to_string(patched_.extent.stated) + " bytes of audio, " +
                                                   std::to_string(patched_.extent.present) +
                                                   " are there (a copy cut short, or a writer that stopped early)");
        }
        const std::string open_error = open_decoder(info_);
        if (file_ == nullptr) {
            throw PairError(KELVOR_ERR_FORMAT, name_ + " (libsndfile: " + open_error + ")");
        }
        if (info_.samplerate <= 0 || info_.channels <= 0 || info_.frames < 0) {
            throw PairError(KELVOR_ERR_FORMAT, name_ + " has a malformed header");
        }
        if (options.channel == 0 && info_.channels != 1) {
            throw PairError(KELVOR_ERR_CHANNELS, name_ + " has " + std::to_string(info_.channels) +
                                                     " channels; choose one with " + options.channel_option);
        }
        if (options.channel > 0) {
            if (options.channel > info_.channels) {
                throw PairError(KELVOR_ERR_CHANNELS, name_ + " has " + std::to_string(info_.channels) +
                                                         (info_.channels == 1 ? " channel" : " channels") + ", no channel " +
                                                         std::to_string(options.channel));
            }
            channel_ = options.channel - 1;
        }
        rate_ = info_.samplerate;
        pcm16_ = (info_.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
        exact_seek_ = seeks_exactly(info_.format);
        width_ = info_.channels;
        chunk_ = std::max<int64_t>(1, CHUNK_SAMPLES / width_);
        if (pcm16_) shorts_.resize(static_cast<size_t>(chunk_ * width_));
        else doubles_.resize(static_cast<size_t>(chunk_ * width_));
        // libsndfile says SF_COUNT_MAX when it cannot tell the length (an
        // Ogg stream whose last page it could not find): the frames are
        // counted then, and such a file is not refused as too long.
        if (info_.frames != SF_COUNT_MAX) {
            frames_ = info_.frames;
        } else {
            while (decode(chunk_) > 0) {
            }
            frames_ = position_;
            restart();
        }
        if ((info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && !ogg_stream_ends(fd_)) {
            throw PairError(KELVOR_ERR_FORMAT, name_ + " is cut off: its Ogg stream ends without its last page");
        }
    }

    void read(int64_t start, int32_t count, double* out) override {
        if (pcm16_) {
            fetch(start, count, shorts_, [out](int64_t i, short s) { out[i] = static_cast<double>(s) * 0x1p-15; });
        } else {
            fetch(start, count, doubles_, [out](int64_t i, double v) { out[i] = v; });
        }
    }
    void read_pcm(int64_t start, int32_t count, int16_t* out) override {
        if (!pcm16_) throw PairError(KELVOR_ERR_FAILED, name_ + " does not hold 16-bit samples");
        fetch(start, count, shorts_, [out](int64_t i, short s) { out[i] = s; });
    }

private:
    // Opens the decoder on the descriptor from its first byte; returns
    // libsndfile's message when it fails (file_ is null then).
    std::string open_decoder(SF_INFO& info) {
        // libsndfile keeps the error of a failed open in one variable for
        // the whole process: opening one file at a time keeps each message
        // with its own file.
        static std::mutex open_mutex;
        std::lock_guard<std::mutex> lock(open_mutex);
        // libsndfile gets a descriptor of its own and closes it whatever
        // happens: a failed open closes the descriptor it was given even
        // when asked not to, and closing ours again afterwards could close
        // a file another thread had just opened under the same number.
        if (patched_.extent.patch_size > 0) {
            // A streamed file, read to its end: through virtual I/O, which
            // owns no descriptor.
            static SF_VIRTUAL_IO io{PatchedFile::length, PatchedFile::seek, PatchedFile::read, PatchedFile::write,
                                    PatchedFile::tell};
            patched_.position = 0;
            file_ = sf_open_virtual(&io, SFM_READ, &info, &patched_);
            return file_ == nullptr ? sf_strerror(nullptr) : "";
        }
        const int own = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (own < 0) return std::strerror(errno);
        file_ = sf_open_fd(own, SFM_READ, &info, SF_TRUE);
        return file_ == nullptr ? sf_strerror(nullptr) : "";
    }

    // The decoder again at frame 0, as a fresh open finds the file.
    void restart() {
        sf_close(file_);
        file_ = nullptr;
        position_ = 0;
        if (::lseek(fd_, 0, SEEK_SET) != 0) {
            throw PairError(KELVOR_ERR_UNREADABLE, name_ + " (" + std::strerror(errno) + ")");
        }
        SF_INFO again{};
        const std::string open_error = open_decoder(again);
        if (file_ == nullptr) throw PairError(KELVOR_ERR_FORMAT, name_ + " cannot be read again (" + open_error + ")");
        if (again.samplerate != info_.samplerate || again.channels != info_.channels || again.format != info_.format ||
            again.frames != info_.frames) {
            throw PairError(KELVOR_ERR_FORMAT, name_ + " changed while being read");
        }
    }

    // The decoder at frame `start`: a seek where it lands exactly, else
    // decoding (from the start again when going back) up to it.
    void seek(int64_t start) {
        if (exact_seek_) {
            if (sf_seek(file_, start, SEEK_SET) != start) {
                throw PairError(KELVOR_ERR_FORMAT, name_ + " is malformed: frame " + std::to_string(start) +
                                                       " cannot be reached");
            }
            position_ = start;
            return;
        }
        if (start < position_) restart();
        while (position_ < start) {
            const int64_t n = std::min(chunk_, start - position_);
            if (decode(n) < n) damaged(name_, frames_, position_);
        }
    }

    // Decodes up to n (<= chunk_) frames into the interleaved buffer and
    // returns how many came; a decoder error is malformed data.
    sf_count_t decode(int64_t n) {
        const sf_count_t got = pcm16_ ? sf_readf_short(file_, shorts_.data(), n) : sf_readf_double(file_, doubles_.data(), n);
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            throw PairError(KELVOR_ERR_FORMAT, name_ + " is malformed (" + sf_strerror(file_) + ")");
        }
        if (got > 0) position_ += got;
        return got;
    }

    // Frames start .. start + count - 1 of the channel, through store(i,
    // sample). A stream that ends before them is damaged (its header
    // promised them).
    template <typename T, typename Store>
    void fetch(int64_t start, int32_t count, const std::vector<T>& buffer, Store store) {
        if (start < 0 || count < 0 || start > frames_ - count) {
            throw PairError(KELVOR_ERR_FAILED, "a read outside " + name_);
        }
        if (count == 0) return;
        if (start != position_) seek(start);
        int64_t done = 0;
        while (done < count) {
            const int64_t n = std::min<int64_t>(chunk_, count - done);
            if (decode(n) < n) damaged(name_, frames_, position_);
            const T* in = buffer.data() + channel_;
            for (int64_t i = 0; i < n; i++) store(done + i, in[i * width_]);
            done += n;
        }
    }

    int fd_;
    PatchedFile patched_;
    SNDFILE* file_ = nullptr;
    SF_INFO info_{};
    int channel_ = 0;  // 0-based channel kept
    int64_t width_ = 1;
    int64_t chunk_ = 1;
    bool exact_seek_ = false;
    int64_t position_ = 0;  // the frame the decoder delivers next
    std::vector<short> shorts_;
    std::vector<double> doubles_;
};

}  // namespace

std::vector<double> Audio::as_doubles() const {
    if (!pcm16) return values;
    std::vector<double> out(pcm.size());
    for (size_t i = 0; i < pcm.size(); i++) out[i] = pcm[i] / 32768.0;
    return out;
}

std::unique_ptr<AudioStream> AudioStream::open(const std::string& path, const AudioOptions& options,
                                               const std::string& label) {
    const int fd = open_input(path, label);
    if (is_raw_name(path)) return std::make_unique<RawStream>(fd, path, options, label);
    auto stream = std::make_unique<SndfileStream>(fd);
    stream->start(path, options, label);
    return stream;
}

Audio read_audio(const std::string& path, const AudioOptions& options, const std::string& label) {
    std::unique_ptr<AudioStream> stream = AudioStream::open(path, options, label);
    Audio audio;
    audio.rate = stream->rate();
    audio.pcm16 = stream->pcm16();
    const int64_t frames = stream->frames();
    // Held whole, a file no profile scores would only exhaust memory. The
    // reference profile takes the longest inputs; at a rate it does not
    // take (a status), its longest at any rate.
    const int64_t at_rate = kelvor_max_length(KELVOR_PROFILE_REFERENCE, audio.rate);
    const int64_t longest = at_rate >= 0 ? at_rate : KELVOR_MAX_SAMPLES_REFERENCE;
    if (frames > longest) {
        throw PairError(KELVOR_ERR_TOO_LONG, stream->name() + " holds " + std::to_string(frames) + " samples at " +
                                                 std::to_string(audio.rate) + " Hz; at most " +
                                                 std::to_string(longest) + " are scored");
    }
    // The header's length is reserved, and filled block by block: a header
    // that promises more than the file holds costs address space, not
    // memory, before the file is found damaged.
    if (audio.pcm16) audio.pcm.reserve(static_cast<size_t>(frames));
    else audio.values.reserve(static_cast<size_t>(frames));
    for (int64_t at = 0; at < frames; at += CHUNK_SAMPLES) {
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(CHUNK_SAMPLES, frames - at));
        if (audio.pcm16) {
            audio.pcm.resize(static_cast<size_t>(at + count));
            stream->read_pcm(at, count, audio.pcm.data() + at);
        } else {
            audio.values.resize(static_cast<size_t>(at + count));
            stream->read(at, count, audio.values.data() + at);
        }
    }
    return audio;
}

}  // namespace kelvor::frontend
