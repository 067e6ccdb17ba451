// Scoring one pair, from two paths or from samples in memory. Never throws:
// every failure becomes a Row with an error status and a message.
#ifndef KELVOR_FRONTEND_PAIR_H
#define KELVOR_FRONTEND_PAIR_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "frontend/audio_file.h"
#include "frontend/options.h"
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
    // The listing's own shift and align cells: they take the place of the
    // run's options for this pair (pair_scoring).
    int shift = 0;               // samples of the files' rate; 0 for none
    bool align = false;          // search the delay
    // A fault of the listing itself (a shift that is not a number, a file
    // missing from one directory): the pair is not read, and its row gets
    // this status (a KELVOR_ERR_* status) and these facts.
    int status = KELVOR_OK;
    std::string facts;
    // The listing's own columns for this pair (PairSource::metadata()
    // names them), carried to its row.
    std::vector<std::string> metadata;

    // Gives the pair the status of a listing fault, with its facts.
    void set_error(int error, std::string error_facts) {
        status = error;
        facts = std::move(error_facts);
    }
};

// The library's options for a listed pair: the run's, with the pair's own
// cells in their place: align when either asks for it, the pair's shift
// where it gives one.
kelvor_options pair_scoring(const PairSpec& listed, const PairOptions& options);

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

// Asked before every block of samples a pair reads: true ends the pair as
// a failed row ("interrupted"), so that a caller can stop a long pair part
// way rather than wait for its end. Called on the thread that reads (the
// one that scores the pair); an empty one never stops a pair. A pair that
// has read its last block finishes whatever it is asked.
using Cancelled = std::function<bool()>;

// Reads both files and scores them; reference and degraded of the Row are
// those of the listed pair. With details, an ok pair also fills *details
// (the same scores). The files are read in blocks, in passes (the
// reference profile), in a working set that does not grow with their
// length, or whole by the library (the tool profile); a file found damaged
// while it is read (fewer frames than its header states, a decoder error)
// is a format row, before any score is made.
Row score_pair(const PairSpec& listed, const PairOptions& options, Details* details = nullptr,
               const Cancelled& cancelled = {}) noexcept;

// Makes row an error row: no scores and no delay (what was learnt of the
// files, rate and seconds, stays), the status (a KELVOR_ERR_* status) and
// its message (pair_message: the status's sentence and the facts).
void fail_row(Row& row, int status, const std::string& facts);

// One signal to score, wherever its samples lie: read on demand, a block at
// a time (a file, an array of any sample type or layout).
struct Signal {
    int rate = 0;
    int64_t frames = 0;
    // Samples start .. start + count - 1 (count <= 65536) as doubles on the
    // +-1 scale. May throw PairError (a damaged file) or std::bad_alloc;
    // the pair then fails with that error.
    std::function<void(int64_t start, int32_t count, double* out)> read;
    // How the facts of a failure name it: "the reference file 'a.wav'".
    std::string name;
};

// The signal of an open file, or of samples in memory (which must outlive
// the signal); name is how the facts of a failure name it.
Signal signal_of(AudioStream& stream);
Signal signal_of(const Audio& audio, const std::string& name);

// Scores two signals at the same rate with a front end's options: it reads
// each in passes (kelvor_score_signals), the reference profile a block at
// a time, the tool profile whole. The library judges the pair (the
// profile, the rate, the shift, the lengths, silence); a failure is an
// error row whose message is the library's sentence, with the facts of
// this pair (its rate, which signal, the shift's range at that rate, and
// the front end's words for the option that pads or trims signals of
// different lengths). reference and degraded of the Row are left empty.
Row score_signals(const Signal& reference, const Signal& degraded, const PairOptions& options,
                  Details* details = nullptr, const Cancelled& cancelled = {}) noexcept;

// score_signals with the gradient of the scores with respect to the
// degraded samples (kelvor_score_gradient; the reference profile alone):
// grad_stoi and grad_estoi, either of which may be null, receive
// degraded.frames values each on success and are left alone on a failure.
// The library's call needs both signals in memory, so they are read whole
// first. A failure is an error row as score_signals makes it with a front
// end's options.
Row score_gradient(const Signal& reference, const Signal& degraded, const PairOptions& options,
                   double* grad_stoi, double* grad_estoi) noexcept;

// score_signals on two signals held in memory.
Row score_audio(const Audio& reference, const Audio& degraded, const kelvor_options& options,
                Details* details = nullptr) noexcept;

}  // namespace kelvor::frontend

#endif
