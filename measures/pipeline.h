// The measure pipeline on signals that are already doubles.
#ifndef MEASURES_PIPELINE_H
#define MEASURES_PIPELINE_H

#include <cstdint>

#include "measures/stoi.h"

namespace kelvor {

// stoi_estoi_pcm on y against x, n doubles each at 10 kHz in the range of
// +-1 (16-bit samples times 2^-15). MEASURE_TOO_SHORT when 30 frames or
// fewer survive silent-frame removal.
MeasureStatus stoi_estoi(const double* x, const double* y, int32_t n, MeasureResult* result,
                         MeasureDetails* details = nullptr);

}  // namespace kelvor

#endif
