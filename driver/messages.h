// The driver's console texts: error messages that end the process, the
// banner and the usage text. Everything goes to standard output.
#ifndef DRIVER_MESSAGES_H
#define DRIVER_MESSAGES_H

#include <cstdint>

namespace kelvor {

// Each prints "ERROR: ..." in its form and ends the process with status 1.
[[noreturn]] void fail(const char* text);                         // "ERROR: %s\n"
[[noreturn]] void fail_number(const char* text, int32_t number);  // "ERROR: %s %d\n"
[[noreturn]] void fail_option(const char* text, char letter);     // "ERROR: %s -%c\n"
[[noreturn]] void fail_name(const char* text, const char* name);  // "ERROR: %s '%s'\n"
[[noreturn]] void fail_read(const char* text, const char* name, int32_t expected, int32_t obtained);

void print_banner();
void print_usage();

}  // namespace kelvor

#endif
