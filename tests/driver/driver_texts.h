// The fixed console texts of the tool, written out independently of the
// driver's own code so that a changed byte shows up as a failure.
#ifndef TESTS_DRIVER_TEXTS_H
#define TESTS_DRIVER_TEXTS_H

#include <string>

inline std::string banner_text() {
    const std::string eq(77, '=');
    const std::string dash(77, '-');
    return "\n" + eq + "\n" +
           "      SHORT-TIME OBJECTIVE INTELLIGIBILITY (STOI) MEASURE \n"
           "      EXTENDED SHORT-TIME OBJECTIVE INTELLIGIBILITY (ESTOI) PREDICTOR \n" +
           dash + "\n" +
           "  References: \n"
           "  [1] 'A Short-Time Objective Intelligibility Measure for Time - Frequency\n"
           "      Weighted Noisy Speech', ICASSP 2010, Texas, Dallas\n"
           "  [2] 'An Algorithm for Intelligibility Prediction of Time - Frequency\n"
           "      Weighted Noisy Speech', IEEE Transactions on Audio, Speech, and\n"
           "      Language Processing, 2011\n"
           "  [3] 'An Algorithm for Predicting the Intelligibility of Speech Masked by\n"
           "      Modulated Noise Maskers', IEEE Transactions on Audio, Speech and\n"
           "      Language Processing, 2016\n" +
           dash + "\n" +
           "  KELVOR_STOI Utility:\n"
           "      Version 1.3 (2024-11-06) _MSC_VER:0\n" +
           eq + "\n\n";
}

inline std::string usage_text() {
    return "\n"
           "Usage:\n"
           "KELVOR_STOI [-options] referencefile degradedfile\n"
           "Options are:\n"
           " -a  Alignment by searching maximum of cross correlation\n"
           " -sN Set N samples for alignment shift\n"
           " -r  Resampler double version (by default in float)\n"
           " -t  Timing of main steps\n"
           " -d  Debug output: ref.wav deg.wav (input of STOI algorithm) ref10.wav deg10.wav (resampler output)\n"
           " -h  Hide info with reference information\n"
           "\n"
           "Supported file formats are .wav (8KHz,16bits,44bytes header) or .pcm\n";
}

inline std::string reference_line(const std::string& display, int samples) {
    return "Reference: " + display + " \t samples: " + std::to_string(samples) + "\n";
}

inline std::string degraded_line(const std::string& display, int samples) {
    return " Degraded: " + display + " \t samples: " + std::to_string(samples) + "\n";
}

#endif
