#include "driver/messages.h"

#include <cstdio>
#include <cstdlib>

namespace kelvor {

#ifdef _MSC_VER
#define KELVOR_COMPILER_CODE _MSC_VER
#else
#define KELVOR_COMPILER_CODE 0
#endif

void fail(const char* text) {
    printf("ERROR: %s\n", text);
    exit(1);
}

void fail_number(const char* text, int32_t number) {
    printf("ERROR: %s %d\n", text, number);
    exit(1);
}

void fail_option(const char* text, char letter) {
    // A lone "-" has no letter; show nothing rather than a NUL byte.
    if (letter == '\0') printf("ERROR: %s -\n", text);
    else printf("ERROR: %s -%c\n", text, letter);
    exit(1);
}

void fail_name(const char* text, const char* name) {
    printf("ERROR: %s '%s'\n", text, name);
    exit(1);
}

void fail_read(const char* text, const char* name, int32_t expected, int32_t obtained) {
    printf("ERROR: %s '%s' bytes %d %d\n", text, name, expected, obtained);
    exit(1);
}

void print_banner() {
    static const char* const rule_double =
        "=============================================================================";
    static const char* const rule_single =
        "-----------------------------------------------------------------------------";
    printf("\n");
    printf("%s\n", rule_double);
    printf("      SHORT-TIME OBJECTIVE INTELLIGIBILITY (STOI) MEASURE \n");
    printf("      EXTENDED SHORT-TIME OBJECTIVE INTELLIGIBILITY (ESTOI) PREDICTOR \n");
    printf("%s\n", rule_single);
    printf("  References: \n");
    printf("  [1] 'A Short-Time Objective Intelligibility Measure for Time - Frequency\n");
    printf("      Weighted Noisy Speech', ICASSP 2010, Texas, Dallas\n");
    printf("  [2] 'An Algorithm for Intelligibility Prediction of Time - Frequency\n");
    printf("      Weighted Noisy Speech', IEEE Transactions on Audio, Speech, and\n");
    printf("      Language Processing, 2011\n");
    printf("  [3] 'An Algorithm for Predicting the Intelligibility of Speech Masked by\n");
    printf("      Modulated Noise Maskers', IEEE Transactions on Audio, Speech and\n");
    printf("      Language Processing, 2016\n");
    printf("%s\n", rule_single);
    printf("  KELVOR_STOI Utility:\n");
    printf("      Version 1.3 (2024-11-06) _MSC_VER:%d\n", KELVOR_COMPILER_CODE);
    printf("%s\n", rule_double);
    printf("\n");
}

void print_usage() {
    printf("\n");
    printf("Usage:\n");
    printf("KELVOR_STOI [-options] referencefile degradedfile\n");
    printf("Options are:\n");
    printf(" -a  Alignment by searching maximum of cross correlation\n");
    printf(" -sN Set N samples for alignment shift\n");
    printf(" -r  Resampler double version (by default in float)\n");
    printf(" -t  Timing of main steps\n");
    printf(" -d  Debug output: ref.wav deg.wav (input of STOI algorithm) ref10.wav deg10.wav (resampler output)\n");
    printf(" -h  Hide info with reference information\n");
    printf("\n");
    printf("Supported file formats are .wav (8KHz,16bits,44bytes header) or .pcm\n");
}

}  // namespace kelvor
