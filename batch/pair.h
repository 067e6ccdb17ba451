// Scoring one pair, from two paths or from samples in memory. Never throws:
// every failure becomes a Row with an error status and a message.
#ifndef KELVOR_BATCH_PAIR_H
#define KELVOR_BATCH_PAIR_H

#include <string>

#include "batch/audio_file.h"
#include "batch/row.h"

namespace kelvor::batch {

// One pair to score, as listed in a manifest or found in two directories.
struct PairSpec {
    std::string reference;       // reference column as written
    std::string degraded;        // degraded column as written
    std::string reference_path;  // where to open it (resolved against the manifest's folder)
    std::string degraded_path;
    int shift = 0;               // samples of the files' rate; 0 for none
    bool align = false;          // search the delay
    // A fault of the listing itself (a shift that is not a number, a file
    // missing from one directory): the pair is not read and gets this error.
    std::string error_code;
    std::string error_message;
};

struct ScoreOptions {
    AudioOptions audio;
    bool align = false;  // search the delay of every pair (--align)
};

// Reads both files and scores them; reference and degraded of the Row are
// those of spec.
Row score_pair(const PairSpec& spec, const ScoreOptions& options) noexcept;

// Scores two signals held in memory (both at the same rate). shift is in
// samples of that rate (1 .. floor(900 * rate / 8000)), 0 for none; align
// searches the delay. The paths:
//  - 16-bit PCM at 8000 Hz on both sides: the tool's own chain (its delay
//    search and resampler), the same bits as KELVOR_STOI;
//  - 10000 Hz: scored as it is, in double precision;
//  - anything else: resampled to 10 kHz with libsoxr, then as at 10 kHz.
// reference and degraded of the Row are left empty.
Row score_audio(const Audio& reference, const Audio& degraded, int shift, bool align) noexcept;

// The largest shift accepted at a rate: 112.5 ms, the tool's 900 samples at 8 kHz.
int max_shift(int rate);

}  // namespace kelvor::batch

#endif
