// The table of statuses (one line per status: number, short name, kind,
// sentence), the profile names, the version and the limits that are
// functions, for every program built on the library.
#include <cmath>
#include <cstring>

#include "api/request.h"
#include "common/geometry.h"
#include "conditioning/polyphase.h"
#include "kelvor/stoi.h"

// A macro's value as text, so that the sentences below state the limits of
// the header and cannot drift from them.
#define KELVOR_TEXT(x) #x
#define KELVOR_VALUE_TEXT(x) KELVOR_TEXT(x)

namespace {

// Sentences that name a number of the grid or a rate in words, held to it.
static_assert(kelvor::SEGMENT_LENGTH == 30, "the sentence of too_short names 30 frames");
static_assert(kelvor::MEASURE_RATE == 10000, "the sentences of bad_shift and bad_rate name 10 kHz");
static_assert(kelvor::TOOL_RATE == 8000.0, "the sentences of bad_shift and profile name 8 kHz");

struct StatusEntry {
    int status;
    const char* name;
    int category;
    const char* text;
};

const StatusEntry STATUSES[] = {
    {KELVOR_OK, "ok", KELVOR_CATEGORY_NONE, "Success"},
    {KELVOR_ERR_TOO_SHORT, "too_short", KELVOR_CATEGORY_INPUT,
     "Too little speech: fewer than 30 frames (about 0.4 s) are left after silent-frame removal"},
    {KELVOR_ERR_NO_MEMORY, "no_memory", KELVOR_CATEGORY_MEMORY, "Out of memory"},
    {KELVOR_ERR_FFT_TABLES, "fft_tables", KELVOR_CATEGORY_MEMORY, "The FFT tables could not be built: out of memory"},
    {KELVOR_ERR_TOO_LONG, "too_long", KELVOR_CATEGORY_INPUT,
     "Input too long: more samples than the profile takes at this rate"},
    {KELVOR_ERR_BAD_ARGUMENT, "bad_argument", KELVOR_CATEGORY_INPUT,
     "Bad argument: a null pointer, a negative sample count, a profile or unequal option that is none of its "
     "values, or reserved options that are not zero"},
    {KELVOR_ERR_BAD_SHIFT, "bad_shift", KELVOR_CATEGORY_INPUT,
     "Shift out of range: 0 to " KELVOR_VALUE_TEXT(KELVOR_MAX_SHIFT_MS) " ms (" KELVOR_VALUE_TEXT(KELVOR_MAX_SHIFT_8K)
     " samples at 8 kHz, " KELVOR_VALUE_TEXT(KELVOR_MAX_SHIFT_10K) " at 10 kHz)"},
    {KELVOR_ERR_CONFLICT, "conflict", KELVOR_CATEGORY_INPUT, "Conflicting options: align and shift together"},
    {KELVOR_ERR_NOT_FINITE, "not_finite", KELVOR_CATEGORY_INPUT,
     "A sample, or a score computed from the samples, is not a finite number"},
    {KELVOR_ERR_BAD_RATE, "bad_rate", KELVOR_CATEGORY_INPUT,
     "Sample rate not supported: a whole number of hertz from " KELVOR_VALUE_TEXT(KELVOR_MIN_RATE) " to "
     KELVOR_VALUE_TEXT(KELVOR_MAX_RATE) " is needed, whose ratio to 10000 reduces to terms of at most "
     KELVOR_VALUE_TEXT(KELVOR_MAX_RATE_TERM)},
    {KELVOR_ERR_PROFILE, "profile", KELVOR_CATEGORY_INPUT,
     "The tool profile scores 8 kHz signals of 16-bit samples only; use the reference profile"},
    {KELVOR_ERR_SILENT, "silent", KELVOR_CATEGORY_INPUT, "The reference is digital silence (every sample is zero)"},
    {KELVOR_ERR_RATE_MISMATCH, "rate_mismatch", KELVOR_CATEGORY_INPUT,
     "The reference and the degraded signal have different sample rates"},
    {KELVOR_ERR_MISSING, "missing", KELVOR_CATEGORY_MISSING, "No such file"},
    {KELVOR_ERR_UNREADABLE, "unreadable", KELVOR_CATEGORY_FILE, "The file cannot be opened or read"},
    {KELVOR_ERR_FORMAT, "format", KELVOR_CATEGORY_FILE, "Not an audio file that can be read, or a damaged one"},
    {KELVOR_ERR_CHANNELS, "channels", KELVOR_CATEGORY_INPUT,
     "A file with several channels: choose one, or the channel chosen does not exist"},
    {KELVOR_ERR_BAD_ROW, "bad_row", KELVOR_CATEGORY_INPUT, "A listing row that cannot be used"},
    {KELVOR_ERR_BAD_ALIGN, "bad_align", KELVOR_CATEGORY_INPUT, "An align value that is not a yes or a no"},
    {KELVOR_ERR_UNPAIRED, "unpaired", KELVOR_CATEGORY_MISSING, "A file found on one side only"},
    {KELVOR_ERR_DETAILS, "details", KELVOR_CATEGORY_FILE, "The details could not be written"},
    {KELVOR_ERR_FAILED, "failed", KELVOR_CATEGORY_INTERNAL, "Unexpected failure"},
    {KELVOR_ERR_LENGTH_MISMATCH, "length_mismatch", KELVOR_CATEGORY_INPUT,
     "The reference and the degraded signal have different lengths"},
    {KELVOR_ERR_NO_GRADIENT, "no_gradient", KELVOR_CATEGORY_INPUT,
     "No gradient: a searched delay is not a differentiable function of the samples; give the delay as a shift"},
};

const StatusEntry* find(int status) {
    for (const StatusEntry& e : STATUSES) {
        if (e.status == status) return &e;
    }
    return nullptr;
}

}  // namespace

extern "C" {

const char* kelvor_status_text(int status) {
    const StatusEntry* e = find(status);
    return e != nullptr ? e->text : "Unknown status";
}

const char* kelvor_status_name(int status) {
    const StatusEntry* e = find(status);
    return e != nullptr ? e->name : "unknown";
}

int kelvor_status_from_name(const char* name) {
    if (name == nullptr) return KELVOR_ERR_LAST;
    for (const StatusEntry& e : STATUSES) {
        if (std::strcmp(e.name, name) == 0) return e.status;
    }
    return KELVOR_ERR_LAST;
}

int kelvor_status_category(int status) {
    const StatusEntry* e = find(status);
    return e != nullptr ? e->category : KELVOR_CATEGORY_INTERNAL;
}

const char* kelvor_profile_name(int profile) {
    switch (profile) {
    case KELVOR_PROFILE_DEFAULT: return "default";
    case KELVOR_PROFILE_REFERENCE: return "reference";
    case KELVOR_PROFILE_TOOL: return "tool";
    default: return "unknown";
    }
}

int kelvor_profile_from_name(const char* name) {
    if (name == nullptr) return -1;
    if (std::strcmp(name, "reference") == 0) return KELVOR_PROFILE_REFERENCE;
    if (std::strcmp(name, "tool") == 0) return KELVOR_PROFILE_TOOL;
    if (std::strcmp(name, "default") == 0) return KELVOR_PROFILE_DEFAULT;
    return -1;
}

int64_t kelvor_max_length(int profile, double rate) {
    if (profile == KELVOR_PROFILE_TOOL) {
        return rate == kelvor::TOOL_RATE || rate == kelvor::MEASURE_RATE ? KELVOR_MAX_SAMPLES : KELVOR_ERR_PROFILE;
    }
    if (profile != KELVOR_PROFILE_REFERENCE) return KELVOR_ERR_BAD_ARGUMENT;
    int32_t up = 1;
    int32_t down = 1;
    if (kelvor::polyphase_ratio(rate, &up, &down) != kelvor::RATE_OK) return KELVOR_ERR_BAD_RATE;
    // n samples give ceil(n * up / down) at 10 kHz, and both counts are
    // held to the limit: n * up <= limit * down.
    const int64_t longest = KELVOR_MAX_SAMPLES_REFERENCE;
    const int64_t at_rate = longest * down / up;
    return at_rate < longest ? at_rate : longest;
}

int kelvor_max_shift(double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate)) return 0;
    // 112.5 ms as 1125 samples at 10 kHz, so that whole rates give exact
    // products.
    const double samples =
        std::floor(rate * static_cast<double>(KELVOR_MAX_SHIFT_10K) / static_cast<double>(kelvor::MEASURE_RATE));
    return samples > 2147483647.0 ? 2147483647 : static_cast<int>(samples);
}

#define KELVOR_VERSION_TEXT(major, minor, patch) KELVOR_TEXT(major) "." KELVOR_TEXT(minor) "." KELVOR_TEXT(patch)

const char* kelvor_version(void) {
    return KELVOR_VERSION_TEXT(KELVOR_STOI_VERSION_MAJOR, KELVOR_STOI_VERSION_MINOR, KELVOR_STOI_VERSION_PATCH);
}

}  // extern "C"
