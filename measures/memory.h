// Heap allocation for the measures: every array has a name, and running out
// of memory ends the process with a message that names it.
#ifndef MEASURES_MEMORY_H
#define MEASURES_MEMORY_H

#include <cstddef>

namespace kelvor {

// Returns count elements of size bytes each (uninitialised). On failure, or
// when the byte count does not fit in size_t, prints
// "\n<operation> -- No memory : <name>\n" on standard output and ends the
// process with status 1. A request of zero elements still returns a valid,
// distinct block. Release with std::free.
void* measure_alloc(size_t count, size_t size, const char* operation, const char* name);

// measure_alloc for count doubles.
double* measure_doubles(size_t count, const char* operation, const char* name);

}  // namespace kelvor

#endif
