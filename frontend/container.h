// What the header of an audio container states of its audio data, beside
// what the file holds: a cut file, and a file whose writer streamed it and
// never went back to fill in its sizes, told from a whole one.
//
// The decoder (libsndfile) shortens the length of a PCM WAV, AIFF, AU or
// Wave64 file to the bytes present without a word, so a cut copy would
// score with its lost end taken as silence: the sizes are read here, from
// the chunk headers, before the decoder opens the file.
#ifndef KELVOR_FRONTEND_CONTAINER_H
#define KELVOR_FRONTEND_CONTAINER_H

#include <cstdint>

namespace kelvor::frontend {

struct DataExtent {
    // The file is a WAV (RIFF, RIFX, RF64, BW64), AIFF or AIFC, AU or
    // Wave64 file whose data chunk was found; nothing else is known of
    // other files.
    bool known = false;
    // The data's size field holds a value that says "unknown" (0 or all
    // ones, as a writer to a pipe leaves it) and data follows: the audio
    // runs to the end of the file, as the writer meant.
    bool streamed = false;
    int64_t stated = 0;   // bytes of audio the header states (known, not streamed)
    int64_t present = 0;  // bytes from the data's start to the end of the file
    // For a streamed file whose size field the decoder would take as "no
    // data": the bytes that make it read to the end instead, to be read in
    // place of the patch_size bytes at patch_at. patch_size is 0 when the
    // decoder needs none.
    int64_t patch_at = 0;
    int patch_size = 0;
    unsigned char patch[8] = {};

    // Whether the file holds less audio than its header states.
    bool cut() const { return known && !streamed && present < stated; }
};

// Reads the chunk headers of the file on fd (with pread: its offset is
// left alone) up to its data chunk. Bounded: at most a few thousand chunk
// headers of a few bytes each are read, whatever the file claims. A file
// that is none of the containers above, or whose chunks cannot be
// followed, comes back as not known: the decoder judges it.
DataExtent data_extent(int fd);

}  // namespace kelvor::frontend

#endif
