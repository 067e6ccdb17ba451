#include "nsp_test_util.h"

namespace {

std::vector<SeenReport> g_seen;

int record_report(int status, const char* func, const char* condition, const char* module,
                  int line) {
    g_seen.push_back(SeenReport{status, func, condition, module, line});
    return status;
}

}  // namespace

void start_recording() {
    g_seen.clear();
    nspSetErrorHandler(record_report);
    nspSetErrorMode(1);
}

void stop_recording() {
    nspSetErrorHandler(nullptr);
    nspSetErrorMode(0);
}

std::vector<SeenReport>& recorded() {
    return g_seen;
}
