// STOI and ESTOI of two 10 kHz signals.
#ifndef MEASURES_STOI_H
#define MEASURES_STOI_H

#include <cstdint>

namespace kelvor {

// Computes STOI (the result) and ESTOI (*estoi) of the degraded signal deg
// against the reference ref, n 16-bit samples each at 10 kHz. *t1 and *t2
// receive the seconds spent on STOI and on ESTOI. The inputs are not
// modified. Ends the process with status 1 after printing a message when
// too little speech remains or memory runs out.
double stoi_estoi_pcm(const int16_t* ref, const int16_t* deg, int32_t n,
                      double* estoi, double* t1, double* t2);

}  // namespace kelvor

#endif
