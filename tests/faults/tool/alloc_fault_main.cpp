// The tool with a heap that refuses on request, for the allocation-failure
// tests. Linked with -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc, so
// only the tool's own requests (not those inside the C and C++ runtimes)
// are counted.
//
//   kelvor_alloc_fault once N <tool arguments...>   the N-th request fails
//   kelvor_alloc_fault from N <tool arguments...>   every request from the N-th on fails
//
// When the process ends, "allocations A refused R" goes to standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/run.h"

using namespace kelvor;

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
}

namespace {

bool armed = false;
long fail_at = 0;
bool fail_from = false;
long requests = 0;
long refused = 0;

bool refuse() {
    if (!armed) return false;
    requests++;
    if (requests == fail_at || (fail_from && requests >= fail_at)) {
        refused++;
        return true;
    }
    return false;
}

void report() {
    fprintf(stderr, "allocations %ld refused %ld\n", requests, refused);
}

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
    return refuse() ? nullptr : __real_malloc(size);
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
    return refuse() ? nullptr : __real_calloc(count, size);
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
    return refuse() ? nullptr : __real_realloc(block, size);
}

int main(int argc, char** argv) {
    if (argc < 3 || (strcmp(argv[1], "once") != 0 && strcmp(argv[1], "from") != 0)) {
        fprintf(stderr, "usage: %s once|from N <tool arguments...>\n", argv[0]);
        return 2;
    }
    fail_from = strcmp(argv[1], "from") == 0;
    fail_at = strtol(argv[2], nullptr, 10);
    atexit(report);
    // The tool sees its own name and its arguments.
    argv[2] = argv[0];
    armed = true;
    return tool_main(argc - 2, argv + 2);
}
