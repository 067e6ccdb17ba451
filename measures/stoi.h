// STOI and ESTOI of two 10 kHz signals.
#ifndef MEASURES_STOI_H
#define MEASURES_STOI_H

#include <cstdint>

#include "measures/memory.h"

namespace kelvor {

// What a run of the measures gives back.
struct MeasureResult {
    double stoi;
    double estoi;
    double t1;               // seconds on STOI: silent-frame removal, spectra, envelopes, correlations
    double t2;               // seconds on ESTOI
    MeasureFailure failure;  // status MEASURE_OK after a completed run
};

// The intermediate results of a run, for callers that want to see where
// intelligibility is lost. The caller lends kept_frames, with room for
// frame_count(n) indices; after a completed run the caller owns the two
// arrays of correlations (release them with std::free).
struct MeasureDetails {
    int32_t* kept_frames;      // in: room for frame_count(n); out: the frames that survived, ascending
    int32_t kept_count;        // out: how many survived
    int32_t segments;          // out: M, the segments of 30 frames
    double* stoi_correlation;  // out: 15 x M, band j of segment m at [j * M + m]
    double* estoi_segment;     // out: M
};

// Computes STOI and ESTOI of the degraded signal deg against the reference
// ref, n 16-bit samples each at 10 kHz, into *result. The inputs are not
// modified. A run keeps all its state to itself (its analysis window, and a
// noise generator that starts where a fresh process starts), so runs on
// different threads give the same bits as runs in separate processes.
// Returns MEASURE_OK, or the status of *result's failure: too little speech
// left, an array that could not be allocated, or the FFT's tables; nothing
// is printed and everything allocated is released. details may be null.
MeasureStatus stoi_estoi_pcm(const int16_t* ref, const int16_t* deg, int32_t n, MeasureResult* result,
                             MeasureDetails* details = nullptr);

}  // namespace kelvor

#endif
