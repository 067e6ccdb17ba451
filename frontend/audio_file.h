// Reading one audio file: the samples of one channel, with the file's rate
// and whether they are 16-bit PCM (which the 8 kHz path scores as integers),
// whole or in blocks on demand.
#ifndef KELVOR_FRONTEND_AUDIO_FILE_H
#define KELVOR_FRONTEND_AUDIO_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvor::frontend {

// The highest channel a front end lets its user pick.
inline constexpr int MAX_CHANNEL = 65535;

struct AudioOptions {
    int raw_rate = 8000;  // rate of .pcm/.raw files (16-bit little-endian mono)
    int channel = 0;      // 1-based channel to keep from a multi-channel file (up to MAX_CHANNEL); 0: only mono is accepted
    // How the front end's user picks a channel, for the message of a
    // multi-channel file read without one.
    const char* channel_option = "--channel N";
};

// One channel of a file. Exactly one of pcm and values holds the samples:
// pcm for 16-bit PCM data (raw files, and every container whose subtype is
// 16-bit PCM), values for everything else, on the +-1 scale libsndfile
// reads doubles on (a 16-bit sample s is s / 32768).
struct Audio {
    int rate = 0;
    bool pcm16 = false;
    std::vector<int16_t> pcm;
    std::vector<double> values;

    int64_t frames() const { return pcm16 ? static_cast<int64_t>(pcm.size()) : static_cast<int64_t>(values.size()); }
    // The samples as doubles on the +-1 scale, whatever the storage.
    std::vector<double> as_doubles() const;
};

// One channel of an audio file, opened for reading in blocks: the samples of
// a file of any length in a bounded working set. Opening makes every check
// that needs no decoding; decoding faults surface as the samples are read.
class AudioStream {
public:
    // Opens path as read_audio reads it, with the same checks and messages
    // for everything that the header tells (a regular file, the format, the
    // channels, the length, an Ogg stream's last page). A file whose header
    // cannot tell its length is decoded once to count its frames. Throws
    // PairError with code missing, unreadable, format, channels or too_long.
    static std::unique_ptr<AudioStream> open(const std::string& path, const AudioOptions& options,
                                             const std::string& label);
    virtual ~AudioStream() = default;
    AudioStream(const AudioStream&) = delete;
    AudioStream& operator=(const AudioStream&) = delete;

    int rate() const { return rate_; }
    bool pcm16() const { return pcm16_; }
    int64_t frames() const { return frames_; }  // as the header states (raw: from the file's size)
    // How the facts of a failure name it: "the reference file 'a.wav'".
    const std::string& name() const { return name_; }

    // Frames start .. start + count - 1 (0 <= start, start + count <=
    // frames(), count >= 0) of the channel: as doubles on the +-1 scale
    // (16-bit s as s / 32768), or as 16-bit values for a pcm16() file. Any
    // order works; reading on from where the last read ended is the cheap
    // way, going back means starting the decoder again. Throws PairError:
    // format when the file holds fewer frames than its header states or its
    // decoder fails (a damaged or cut stream), unreadable for an I/O error
    // or a raw file that became shorter.
    virtual void read(int64_t start, int32_t count, double* out) = 0;
    virtual void read_pcm(int64_t start, int32_t count, int16_t* out) = 0;

protected:
    AudioStream() = default;
    int rate_ = 0;
    bool pcm16_ = false;
    int64_t frames_ = 0;
    std::string name_;
};

// Reads path, which must be a regular file: a named pipe is refused
// without waiting for a writer, as are devices and directories
// (unreadable); so is a path holding a NUL byte. A file whose decoder
// fails, or that yields another number of frames than its header states
// (a damaged or cut FLAC or Ogg stream, an Ogg stream without its last
// page), or that holds fewer bytes of audio than its header states (a cut
// WAV, AIFF, AU, Wave64 or NIST file; see container.h), is malformed
// (format). A streamed file, whose size field says "unknown", is read to
// its end. Throws PairError with code missing,
// unreadable, format, channels, too_long (longer than any profile takes)
// or no_memory; the message names
// the file as `label` (usually "reference" or "degraded") and its path.
Audio read_audio(const std::string& path, const AudioOptions& options, const std::string& label);

}  // namespace kelvor::frontend

#endif
