// nspcFft with random orders, flags and data. A recording handler takes the
// place of the one that ends the process; the harness predicts each call's
// report from the order in which the entry checks its arguments, checks
// that a report leaves the data untouched, compares every transform with a
// double-precision reference and checks that a repeated call gives the same
// bits. Table allocations can be made to fail once or for good.
//
// Input layout:
//   byte 0      order: below 228 the order byte % 19 (0 .. 18); above, one of
//               a few values outside the range the tables serve
//   bytes 1-4   flags, little-endian, all 32 bits
//   byte 5      bit 0: samps null; bits 1-2: allocation failure (0 none,
//               1 the k-th fails, 2 every one from the k-th on); bits 3-5:
//               k - 1; bit 6: data are raw float bits (no accuracy check);
//               bit 7: repeat the call on the same input
//   byte 6      scale exponent of the data (bounded data only)
//   bytes 7-    data, cycled to fill 2^order values
#include <climits>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nsp/nsp.h"
#include "nsp/nspstate.h"
#include "nsp/nsptables.h"

extern "C" void* __real_malloc(size_t size);

namespace {

bool armed = false;
int allocations = 0;
int fail_at = 0;
bool fail_for_good = false;
int refused = 0;

struct Report {
    int count;
    int status;
    std::string func;
    std::string condition;
    std::string module;
    int line;
};
Report seen;

int record(int status, const char* func, const char* condition, const char* module, int line) {
    seen.count++;
    seen.status = status;
    seen.func = func;
    seen.condition = condition;
    seen.module = module;
    seen.line = line;
    return status;
}

[[noreturn]] void fail(const char* what, int32_t order, int32_t flags) {
    fprintf(stderr, "\n*** %s (order %d, flags 0x%x; report count %d status %d '%s' line %d)\n", what, order,
            static_cast<unsigned>(flags), seen.count, seen.status, seen.condition.c_str(), seen.line);
    abort();
}

int32_t reverse_bits(int32_t n, int32_t bits) {
    int32_t r = 0;
    for (int32_t b = 0; b < bits; b++) r = (r << 1) | ((n >> b) & 1);
    return r;
}

// Radix-2 transform in double precision, natural order in and out; sign -1
// for the forward (negative exponent) direction.
void reference_fft(std::vector<std::complex<double>>& a, int32_t order, int sign) {
    const int32_t n = int32_t{1} << order;
    for (int32_t i = 0; i < n; i++) {
        int32_t j = reverse_bits(i, order);
        if (i < j) std::swap(a[static_cast<size_t>(i)], a[static_cast<size_t>(j)]);
    }
    for (int32_t len = 2; len <= n; len *= 2) {
        const int32_t half = len / 2;
        for (int32_t k = 0; k < half; k++) {
            const double angle = sign * 2.0 * M_PI * k / len;
            const std::complex<double> w(std::cos(angle), std::sin(angle));
            for (int32_t start = 0; start < n; start += len) {
                std::complex<double>& u = a[static_cast<size_t>(start + k)];
                std::complex<double>& v = a[static_cast<size_t>(start + k + half)];
                const std::complex<double> t = v * w;
                v = u - t;
                u = u + t;
            }
        }
    }
}

// The report the entry must make, from its order of checks; status 0 when
// it must make none. The table step's outcome is given.
struct Expected {
    int status;
    const char* condition;
    int line;
};

Expected expected_report(bool null_samps, int32_t order, int32_t flags, bool tables_missing) {
    if (flags & NSP_FFT_FREE_TABLES) return {0, "", 0};
    if (order < 0) return {NSP_STS_BAD_ARGUMENT, "order<0", 485};
    if (order > 31) return {NSP_STS_BAD_ARGUMENT, "order>31", 485};
    if (tables_missing) return {NSP_STS_NO_MEMORY, "No working Twd memory", 485};
    if (flags & NSP_FFT_INIT_ONLY) return {0, "", 0};
    if (null_samps) return {NSP_STS_BAD_ARGUMENT, "samps==0", 488};
    if ((flags & 1) && (flags & 2)) return {NSP_STS_BAD_ARGUMENT, "(flags & 1) && (flags & 2)", 491};
    if (!(flags & 1) && !(flags & 2)) return {NSP_STS_BAD_ARGUMENT, "(flags & 1)==0 && (flags & 2)==0", 491};
    if ((flags & 64) && (flags & 128)) return {NSP_STS_BAD_ARGUMENT, "(flags & 64) && (flags & 128)", 492};
    if ((flags & 64) && (flags & 32)) return {NSP_STS_BAD_ARGUMENT, "(flags & 64) && (flags & 32)", 492};
    if ((flags & 32) && (flags & 128)) return {NSP_STS_BAD_ARGUMENT, "(flags & 32) && (flags & 128)", 492};
    return {0, "", 0};
}

bool transforms(int32_t order, int32_t flags, const Expected& x) {
    return x.status == 0 && !(flags & (NSP_FFT_FREE_TABLES | NSP_FFT_INIT_ONLY)) && order > 0;
}

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
    if (armed) {
        allocations++;
        if (allocations == fail_at || (fail_for_good && allocations >= fail_at)) {
            refused++;
            return nullptr;
        }
    }
    return __real_malloc(size);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    nspSetErrorHandler(record);
    nspSetErrorMode(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    static const int32_t outside[] = {-1, -2, -31, -1000, INT_MIN, 30, 31, 32, 33, 1000, INT_MAX};
    const int32_t order = data[0] < 228 ? data[0] % 19 : outside[(data[0] - 228) % 11];
    int32_t flags;
    const uint32_t raw_flags = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                               static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    std::memcpy(&flags, &raw_flags, sizeof flags);
    const uint8_t mode = data[5];
    const bool null_samps = (mode & 1) != 0;
    const int fault = (mode >> 1) & 3;
    const bool raw_data = (mode & 64) != 0;
    const bool repeat = (mode & 128) != 0;
    const int exponent = static_cast<int>(data[6] % 41) - 20;
    const uint8_t* bytes = data + 7;
    const size_t count = size - 7;

    // Only orders the tables serve get data; the others never reach it.
    const bool in_range = order >= 0 && order <= 18;
    const int32_t n = in_range ? int32_t{1} << order : 1;
    std::vector<ComplexFloat> input(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; i++) {
        ComplexFloat v{0.0f, 0.0f};
        if (count > 0) {
            uint8_t b[8];
            for (int k = 0; k < 8; k++) b[k] = bytes[(static_cast<size_t>(i) * 8 + static_cast<size_t>(k)) % count];
            if (raw_data) {
                std::memcpy(&v.re, b, 4);
                std::memcpy(&v.im, b + 4, 4);
            } else {
                const int16_t re = static_cast<int16_t>(b[0] | b[1] << 8);
                const int16_t im = static_cast<int16_t>(b[2] | b[3] << 8);
                v.re = std::ldexp(static_cast<float>(re), exponent - 15);
                v.im = std::ldexp(static_cast<float>(im), exponent - 15);
            }
        }
        input[static_cast<size_t>(i)] = v;
    }

    std::vector<ComplexFloat> work = input;
    ComplexFloat* samps = null_samps ? nullptr : work.data();
    seen = Report{0, 0, "", "", "", 0};
    nspStoreStatus(0);
    allocations = 0;
    refused = 0;
    fail_at = fault == 0 ? 0 : 1 + ((mode >> 3) & 7);
    fail_for_good = fault >= 2;
    armed = true;
    nspcFft(samps, order, flags);
    armed = false;

    const bool tables_missing = order >= 0 && order <= 31 &&
                                (order > NSP_MAX_TABLE_ORDER || (fail_for_good && refused > 0));
    const Expected x = expected_report(null_samps, order, flags, tables_missing);
    if (x.status == 0) {
        if (seen.count != 0) fail("unexpected report", order, flags);
    } else {
        if (seen.count != 1 || seen.status != x.status || seen.condition != x.condition || seen.line != x.line ||
            seen.func != "nspcFft" || seen.module != "nspffts" || nspState.status != x.status) {
            fail("wrong report", order, flags);
        }
    }
    if (!transforms(order, flags, x)) {
        if (std::memcmp(work.data(), input.data(), input.size() * sizeof(ComplexFloat)) != 0) {
            fail("data changed without a transform", order, flags);
        }
        return 0;
    }

    if (!raw_data) {
        std::vector<std::complex<double>> a(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; i++) {
            const int32_t from = (flags & NSP_FFT_IN_BITREV) ? reverse_bits(i, order) : i;
            a[static_cast<size_t>(i)] = {input[static_cast<size_t>(from)].re, input[static_cast<size_t>(from)].im};
        }
        const bool forward = (flags & NSP_FFT_FORWARD) != 0;
        reference_fft(a, order, forward ? -1 : 1);
        double scale = 1.0;
        if (!forward && !(flags & NSP_FFT_NO_SCALE)) scale = 1.0 / n;
        // Normwise bound of a single-precision FFT: the error grows with the
        // number of passes, relative to the whole result.
        double result_norm = 0.0;
        double error_norm = 0.0;
        for (int32_t i = 0; i < n; i++) {
            const int32_t at = (flags & NSP_FFT_OUT_BITREV) && !(flags & NSP_FFT_IN_BITREV) ? reverse_bits(i, order) : i;
            const std::complex<double> want = a[static_cast<size_t>(at)] * scale;
            const ComplexFloat got = work[static_cast<size_t>(i)];
            result_norm += std::norm(want);
            error_norm += std::norm(std::complex<double>(got.re, got.im) - want);
        }
        result_norm = std::sqrt(result_norm);
        error_norm = std::sqrt(error_norm);
        const double tolerance = 5e-7 * (order + 1) * result_norm + 1e-37;
        if (!(error_norm <= tolerance)) {
            fprintf(stderr, "error norm %g, result norm %g, tolerance %g\n", error_norm, result_norm, tolerance);
            fail("transform differs from the reference", order, flags);
        }
    }

    if (repeat) {
        std::vector<ComplexFloat> again = input;
        nspcFft(again.data(), order, flags);
        if (std::memcmp(again.data(), work.data(), work.size() * sizeof(ComplexFloat)) != 0) {
            fail("a repeated call gave different bits", order, flags);
        }
    }
    return 0;
}
