// What a call gives back (results.h).
#include "api/results.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/geometry.h"

namespace kelvor {

int status_of(MeasureStatus status) {
    switch (status) {
    case MEASURE_OK: return KELVOR_OK;
    case MEASURE_TOO_SHORT: return KELVOR_ERR_TOO_SHORT;
    case MEASURE_NO_MEMORY: return KELVOR_ERR_NO_MEMORY;
    case MEASURE_FFT_TABLES: return KELVOR_ERR_FFT_TABLES;
    }
    return KELVOR_ERR_NO_MEMORY;
}

int scores_of(double stoi, double estoi, int profile, int delay, double delay_ms, kelvor_scores* out) {
    if (!std::isfinite(stoi) || !std::isfinite(estoi)) return KELVOR_ERR_NOT_FINITE;
    kelvor_scores scores{};
    scores.stoi = stoi;
    scores.estoi = estoi;
    scores.delay = delay;
    scores.profile = profile;
    scores.delay_ms = delay_ms;
    *out = scores;
    return KELVOR_OK;
}

kelvor_details* make_details_block(const kelvor_scores& scores, int32_t segment_count, const double* stoi_correlation,
                                   const double* estoi_segment, int32_t frame_count, int32_t kept_count,
                                   const int32_t* kept_frames) {
    const size_t bands = BAND_COUNT;
    const size_t segments = static_cast<size_t>(segment_count);
    const size_t kept = static_cast<size_t>(kept_count);
    const size_t doubles_needed = bands + bands * segments + 3 * segments;
    const size_t bytes = sizeof(kelvor_details) + doubles_needed * sizeof(double) + kept * sizeof(int32_t);
    void* block = std::malloc(bytes);
    if (block == nullptr) return nullptr;

    kelvor_details* r = static_cast<kelvor_details*>(block);
    double* centre = reinterpret_cast<double*>(r + 1);
    double* correlation = centre + bands;
    double* segment = correlation + bands * segments;
    double* start = segment + segments;
    double* end = start + segments;
    int32_t* frames = reinterpret_cast<int32_t*>(end + segments);

    for (size_t j = 0; j < bands; j++) centre[j] = 150.0 * std::pow(2.0, static_cast<double>(j) / 3.0);
    if (segments > 0) {
        std::memcpy(correlation, stoi_correlation, bands * segments * sizeof(double));
        std::memcpy(segment, estoi_segment, segments * sizeof(double));
    }
    if (kept > 0) std::memcpy(frames, kept_frames, kept * sizeof(int32_t));
    // Segment m is made of the rebuilt frames m .. m + 29, which are
    // centred on the kept frames m .. m + 29.
    for (size_t m = 0; m < segments; m++) {
        start[m] = static_cast<double>(FRAME_HOP) * frames[m] / MEASURE_RATE;
        end[m] = (static_cast<double>(FRAME_HOP) * frames[m + SEGMENT_LENGTH - 1] + FRAME_LENGTH) / MEASURE_RATE;
    }

    r->scores = scores;
    r->band_count = BAND_COUNT;
    r->segment_count = segment_count;
    r->band_centre_hz = centre;
    r->stoi_correlation = correlation;
    r->estoi_segment = segment;
    r->segment_start = start;
    r->segment_end = end;
    r->frame_count = frame_count;
    r->kept_count = kept_count;
    r->kept_frames = frames;
    return r;
}

}  // namespace kelvor
