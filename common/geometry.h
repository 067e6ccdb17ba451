// The grid every measure works on, in both profiles: signals at 10 kHz,
// frames of 256 samples at a hop of 128, each transformed to 512 points of
// which the bins 0 .. 256 (0 Hz to 5 kHz) are kept, 15 one-third-octave
// bands, and segments of 30 consecutive frames. Every layer that needs one
// of these numbers takes it from here.
#ifndef COMMON_GEOMETRY_H
#define COMMON_GEOMETRY_H

#include <cstdint>

namespace kelvor {

// Samples per second of the signals the measures are defined on.
constexpr int32_t MEASURE_RATE = 10000;

constexpr int32_t FRAME_LENGTH = 256;  // samples per frame
constexpr int32_t FRAME_HOP = 128;     // samples from one frame's start to the next
constexpr int32_t FFT_LENGTH = 512;    // points of a frame's transform (the frame and as many zeros)
constexpr int32_t BIN_COUNT = 257;     // bins 0 .. 256 kept per frame
constexpr int32_t BAND_COUNT = 15;     // one-third-octave bands, 150 Hz * 2^(j/3) for j = 0 .. 14
constexpr int32_t SEGMENT_LENGTH = 30; // frames per segment; a score needs at least one segment

static_assert(FFT_LENGTH == 2 * FRAME_LENGTH, "a frame is zero-padded to twice its length");
static_assert(BIN_COUNT == FFT_LENGTH / 2 + 1, "the bins of a real transform up to half the rate");
static_assert(FRAME_LENGTH == 2 * FRAME_HOP, "frames overlap by half");

}  // namespace kelvor

#endif
