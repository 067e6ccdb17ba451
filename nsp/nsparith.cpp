// Vector arithmetic of the nsp library.
#include "nsp/nspstate.h"

void nspsbMpy1(float val, float* dst, int32_t n) {
    if (n <= 0) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, "nspsbMpy1", "n<=0", "nsparith", 419);
        return;
    }
    if (dst == nullptr) {
        nspReportStatus(NSP_STS_BAD_ARGUMENT, "nspsbMpy1", "dst==0", "nsparith", 419);
        return;
    }
    const double v = val;
    for (int32_t i = n - 1; i >= 0; i--) dst[i] = static_cast<float>(dst[i] * v);
}
