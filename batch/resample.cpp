#include "batch/resample.h"

#include <cmath>
#include <soxr.h>

#include "batch/error.h"

namespace kelvor::batch {

std::vector<double> resample_to_10k(const std::vector<double>& x, double rate) {
    if (x.empty()) return {};
    const double out_rate = 10000.0;
    size_t expected = static_cast<size_t>(std::llround(static_cast<double>(x.size()) * out_rate / rate));
    std::vector<double> y(expected + 16);
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    size_t done = 0;
    soxr_error_t error = soxr_oneshot(rate, out_rate, 1, x.data(), x.size(), nullptr, y.data(), y.size(), &done,
                                      &io, &quality, &runtime);
    if (error != nullptr) throw PairError("resample", std::string("Resampling to 10 kHz failed: ") + error);
    // soxr_oneshot delivers its own rounding of the ideal length; fix the
    // length so that it depends only on the input length and the rate.
    y.resize(done);
    y.resize(expected, 0.0);
    return y;
}

}  // namespace kelvor::batch
