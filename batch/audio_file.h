// Reading one audio file: the samples of one channel, with the file's rate
// and whether they are 16-bit PCM (which the 8 kHz path scores as integers).
#ifndef KELVOR_BATCH_AUDIO_FILE_H
#define KELVOR_BATCH_AUDIO_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace kelvor::batch {

struct AudioOptions {
    int raw_rate = 8000;  // rate of .pcm/.raw files (16-bit little-endian mono)
    int channel = 0;      // 1-based channel to keep from a multi-channel file; 0: only mono is accepted
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
    double seconds() const { return rate > 0 ? static_cast<double>(frames()) / rate : 0.0; }
    // The samples as doubles on the +-1 scale, whatever the storage.
    std::vector<double> as_doubles() const;
};

// True for names ending in .pcm or .raw (any case): headerless 16-bit data.
bool is_raw_name(const std::string& path);

// Reads path, which must be a regular file: a named pipe is refused
// without waiting for a writer, as are devices and directories
// (unreadable); so is a path holding a NUL byte. A file whose decoder
// fails, or that yields another number of frames than its header states
// (a damaged or cut FLAC or Ogg stream, an Ogg stream without its last
// page), is malformed (format). Throws PairError with code missing,
// unreadable, format, channels, too_long or no_memory; the message names
// the file as `label` (usually "reference" or "degraded") and its path.
Audio read_audio(const std::string& path, const AudioOptions& options, const std::string& label);

}  // namespace kelvor::batch

#endif
