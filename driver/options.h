// The options of one run, as read from the command line.
#ifndef DRIVER_OPTIONS_H
#define DRIVER_OPTIONS_H

#include <cstdint>

namespace kelvor {

struct RunOptions {
    bool align;              // -a: search the delay by cross-correlation
    bool shift_given;        // -sN seen
    int32_t shift_samples;   // N of the last -s (1 .. 900); 0 without -s
    double shift_ms;         // shift_samples * 0.125, milliseconds at 8 kHz
    bool resample_double;    // -r: double coefficient table
    bool timing;             // -t: time the main steps
    bool debug_output;       // -d: write ref.wav, deg.wav, ref10.wav, deg10.wav
    bool hide_banner;        // -h
    int32_t file_count;      // file tokens seen so far
};

}  // namespace kelvor

#endif
