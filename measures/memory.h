// Heap allocation for the measures, and the record of why a run of the
// measures stopped. Every array has a name, so that running out of memory
// can be reported with the operation and the array it happened in.
#ifndef MEASURES_MEMORY_H
#define MEASURES_MEMORY_H

#include <cstddef>
#include <cstdint>

namespace kelvor {

enum MeasureStatus : int32_t {
    MEASURE_OK = 0,
    MEASURE_TOO_SHORT,   // 30 frames or fewer survive silent-frame removal
    MEASURE_NO_MEMORY,   // an array could not be allocated
    MEASURE_FFT_TABLES   // the FFT's tables could not be built
};

// Why a run stopped: the status and, for MEASURE_NO_MEMORY, the operation
// ("STOI", "remove", ...) and the array ("ax_hat", ...) that failed.
struct MeasureFailure {
    MeasureStatus status;
    const char* operation;
    const char* array;
};

// Returns count elements of size bytes each (uninitialised), or null when
// the heap refuses or the byte count does not fit in size_t; then *failure
// records MEASURE_NO_MEMORY with operation and name. A request of zero
// elements still returns a valid, distinct block. Release with std::free.
void* measure_alloc(size_t count, size_t size, const char* operation, const char* name, MeasureFailure* failure);

// measure_alloc for count doubles.
double* measure_doubles(size_t count, const char* operation, const char* name, MeasureFailure* failure);

}  // namespace kelvor

#endif
