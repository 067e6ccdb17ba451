// Scoring one pair, from two paths or from samples in memory. Never throws:
// every failure becomes a Row with an error status and a message.
#ifndef KELVOR_FRONTEND_PAIR_H
#define KELVOR_FRONTEND_PAIR_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frontend/audio_file.h"
#include "frontend/row.h"
#include "kelvor/stoi.h"

namespace kelvor::frontend {

// One pair to score, as listed in a manifest or found in two directories.
struct PairSpec {
    int64_t index = -1;          // 0-based data row of the listing
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
    // The listing's own columns for this pair (PairSource::metadata()
    // names them), carried to its row.
    std::vector<std::string> metadata;

    // Gives the pair the error of a listing fault; status is a KELVOR_ERR_*
    // status, whose name becomes error_code.
    void set_error(int status, std::string message);
};

struct ScoreOptions {
    AudioOptions audio;
    bool align = false;                      // search the delay of every pair (--align)
    int profile = KELVOR_PROFILE_REFERENCE;  // KELVOR_PROFILE_REFERENCE or KELVOR_PROFILE_TOOL (--profile)
    bool double_table = false;               // tool profile: the double-precision coefficient table (-r)
};

// Where in time and frequency a pair's intelligibility is lost: the
// library's intermediate results (see kelvor_details in kelvor/stoi.h).
struct Details {
    std::vector<double> band_centre_hz;                 // 15 band centres
    std::vector<std::vector<double>> stoi_correlation;  // [band][segment]
    std::vector<double> estoi_segment;                  // [segment]
    std::vector<double> segment_start;                  // seconds
    std::vector<double> segment_end;
    int32_t frame_count = 0;           // reference frames before silent-frame removal
    std::vector<int32_t> kept_frames;  // frames that survived, ascending
};

// Reads both files and scores them; reference and degraded of the Row are
// those of the listed pair. With details, an ok pair also fills *details (the same
// scores). The reference profile reads the files in blocks, in passes, in a
// working set that does not grow with their length; a file found damaged
// while it is read (fewer frames than its header states, a decoder error)
// is a format row, before any score is made. The tool profile reads both
// files whole.
Row score_pair(const PairSpec& listed, const ScoreOptions& options, Details* details = nullptr) noexcept;

// Makes row an error row: no scores and no delay (what was learnt of the
// files, rate and seconds, stays), the status code (a KELVOR_ERR_* status,
// or its name) and the message.
void fail_row(Row& row, const std::string& code, const std::string& message);
void fail_row(Row& row, int status, const std::string& message);

// One signal to score, wherever its samples lie: read on demand, a block at
// a time (a file, an array of any sample type or layout).
struct Signal {
    int rate = 0;
    bool pcm16 = false;  // the samples are 16-bit values (read gives them divided by 32768)
    int64_t frames = 0;
    // Samples start .. start + count - 1 (count <= 65536) as doubles on the
    // +-1 scale. May throw PairError (a damaged file) or std::bad_alloc;
    // the pair then fails with that error.
    std::function<void(int64_t start, int32_t count, double* out)> read;
    // The whole signal as 16-bit values, where it lies in memory so; the
    // tool profile, which needs them whole, reads them through `read`
    // otherwise.
    const int16_t* pcm = nullptr;
};

// The signal of an open file, or of samples in memory (which must outlive
// the signal).
Signal signal_of(AudioStream& stream);
Signal signal_of(const Audio& audio);

// score_audio on signals read on demand: the reference profile reads each
// signal in passes (kelvor_score_signals), without holding either whole.
// The same rows as score_audio on the same samples, to the last bit.
Row score_signals(const Signal& reference, const Signal& degraded, int shift, bool align, int profile,
                  Details* details = nullptr, bool double_table = false) noexcept;

// Scores two signals held in memory (both at the same rate) with a profile
// (KELVOR_PROFILE_REFERENCE or KELVOR_PROFILE_TOOL). shift is in samples
// of that rate (0 .. kelvor_max_shift(rate)); align searches the delay.
//  - reference profile: any rate the library resamples, 16-bit samples
//    divided by 32768, the library's kelvor_score (kelvor_score_pcm8k for
//    16-bit samples at 8 kHz, the same numbers without a conversion);
//  - tool profile: 16-bit PCM at 8000 Hz on both sides only, the tool's
//    own chain, the same bits as KELVOR_STOI; anything else is an error
//    row with status "profile". double_table resamples with the
//    double-precision coefficient table (the tool's -r).
// reference and degraded of the Row are left empty.
Row score_audio(const Audio& reference, const Audio& degraded, int shift, bool align, int profile,
                Details* details = nullptr, bool double_table = false) noexcept;

}  // namespace kelvor::frontend

#endif
