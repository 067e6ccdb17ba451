#include "frontend/error.h"

#include "kelvor/stoi.h"

namespace kelvor::frontend {

std::string pair_message(int status, const std::string& facts) {
    std::string message = kelvor_status_text(status);
    if (!facts.empty()) message += ": " + facts;
    return message;
}

}  // namespace kelvor::frontend
