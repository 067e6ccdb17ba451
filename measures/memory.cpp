#include "measures/memory.h"

#include <cstdint>
#include <cstdlib>

namespace kelvor {

void* measure_alloc(size_t count, size_t size, const char* operation, const char* name, MeasureFailure* failure) {
    void* block = nullptr;
    if (size == 0 || count <= SIZE_MAX / size) {
        size_t bytes = count * size;
        // malloc(0) may legitimately return null; ask for one byte instead so
        // that null always means "out of memory".
        block = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (block == nullptr) *failure = MeasureFailure{MEASURE_NO_MEMORY, operation, name};
    return block;
}

double* measure_doubles(size_t count, const char* operation, const char* name, MeasureFailure* failure) {
    return static_cast<double*>(measure_alloc(count, sizeof(double), operation, name, failure));
}

}  // namespace kelvor
