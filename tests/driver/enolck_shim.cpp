// Preloaded into the tool by the file system fault tests: a file system on
// which advisory locks are not available.
#include <cerrno>

extern "C" int flock(int, int) {
    errno = ENOLCK;
    return -1;
}
