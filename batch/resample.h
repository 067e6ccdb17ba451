// Resampling to 10 kHz, the rate the measures are defined on, for every
// input that does not take the 8 kHz path.
#ifndef KELVOR_BATCH_RESAMPLE_H
#define KELVOR_BATCH_RESAMPLE_H

#include <vector>

namespace kelvor::batch {

// The samples of x (at `rate` Hz) at 10 kHz: libsoxr at its very-high
// quality, double precision in and out, no clipping and no rounding to a
// word length. Each call builds its own resampler that runs on the calling
// thread only, so the result depends on nothing but x and rate. The output
// has round(x.size() * 10000 / rate) samples; equal-length inputs give
// equal-length outputs. Throws PairError("resample") if libsoxr fails.
std::vector<double> resample_to_10k(const std::vector<double>& x, double rate);

}  // namespace kelvor::batch

#endif
