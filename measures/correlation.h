// The per-segment correlations behind STOI and ESTOI, and the deterministic
// noise that keeps the ESTOI normalisations away from zero norms.
#ifndef MEASURES_CORRELATION_H
#define MEASURES_CORRELATION_H

#include <cstdint>

#include "common/geometry.h"

namespace kelvor {

// The noise generator's state when a scoring starts, as in a fresh process.
// Each scoring keeps its own state and continues one sequence through all
// its draws.
constexpr uint16_t NOISE_STATE_START = 123;

// Advances *state to (521 * s + 259) mod 65536 and returns
// ((v * 2^-15) * 2 - 1) * 3 * 2^-52 with v = state - 32768, a value in
// [-9 * 2^-52, 3 * 2^-52).
double noise_sample(uint16_t* state);

// count successive draws of noise_sample into out, computed without a chain
// of dependent steps; *state ends where count calls would leave it.
void noise_block(uint16_t* state, double* out, int32_t count);

// The state `draws` calls of noise_sample leave behind, starting from
// state, in a few steps whatever the count: where a thread's share of the
// ESTOI segments starts its draws.
uint16_t noise_state_after(uint16_t state, int64_t draws);

// Adds a fresh noise_sample to every element of a rows x columns matrix, in
// memory order.
void add_noise(uint16_t* state, double* matrix, int32_t rows, int32_t columns);

// Pearson correlation of the 30 values of x and y: each is centred on its
// mean and scaled by the reciprocal of its norm (a zero norm leaves the
// centred values as they are, so a vector without deviation correlates 0
// with anything). xn and yn (30 doubles) are scratch and are overwritten.
double segment_correlation(const double* x, const double* y, double* xn, double* yn);

// STOI correlations of the band envelopes X and Y (15 x frames, band-major)
// over segments 0 .. segments - 1 of 30 frames: d_interm[j * segments + m]
// is the correlation of band j in segment m after the degraded envelope has
// been scaled to the reference's energy and clipped at x + c * x. A degraded
// envelope that is zero over a segment gets the scale factor 0 and therefore
// correlation 0. xn_tmp and yn_tmp (30 doubles each) are scratch. The
// segments are shared out between threads (common/parallel.h).
void stoi_correlations(const double* X, const double* Y, int32_t frames, int32_t segments,
                       double c, double* d_interm, double* xn_tmp, double* yn_tmp);

// ESTOI value of segment m of the band envelopes X and Y (15 x frames,
// band-major): both 15 x 30 matrices are normalised along time, then across
// bands, and the mean over the 30 frames of the column inner products is
// returned. Draws 1800 noise samples from *noise.
double estoi_segment(const double* X, const double* Y, int32_t frames, int32_t m, uint16_t* noise);

// The same by the plain steps, one draw at a time. estoi_segment takes the
// segment's draws as one block and runs the column passes side by side; the
// values and the final noise state are the same bits (estoi_segment runs
// this one at the level ISA_PLAIN, see common/cpu.h).
double estoi_segment_plain(const double* X, const double* Y, int32_t frames, int32_t m, uint16_t* noise);

// d1[m] = estoi_segment of m, for m = 0 .. segments - 1, each drawing from
// where the segments before it leave *noise (as one pass in order would);
// *noise ends after the last segment's draws. The segments are shared out
// between threads (common/parallel.h).
void estoi_values(const double* X, const double* Y, int32_t frames, int32_t segments, double* d1,
                  uint16_t* noise);

}  // namespace kelvor

#endif
