// Helpers of the kelvor-batch fuzz harnesses, which run the front-end core in
// process without the tool harnesses' wrapped heap and exit.
#ifndef TESTS_FUZZ_FUZZ_BATCH_H
#define TESTS_FUZZ_FUZZ_BATCH_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Reports a broken expectation and aborts, which libFuzzer records as a
// crash.
[[noreturn]] inline void fuzz_fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n*** %s\n--- detail ---\n%s\n--------------\n", what, detail.c_str());
    std::abort();
}

// A fresh directory below $TMPDIR (or /tmp) as the working directory, so
// that the files a harness writes never land in the source tree. It is
// left behind for a reproducer to be looked at.
inline void enter_scratch_dir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelvor_" + tag + "_XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr || chdir(name.data()) != 0) fuzz_fail("cannot create a working directory", templ);
}

#endif
