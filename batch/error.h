// The failure of one pair: a short status code for the status column and a
// sentence for the message column. Thrown inside the batch core and turned
// into an error row where a pair is scored; never crosses its public calls.
#ifndef KELVOR_BATCH_ERROR_H
#define KELVOR_BATCH_ERROR_H

#include <stdexcept>
#include <string>

namespace kelvor::batch {

class PairError : public std::runtime_error {
public:
    PairError(std::string code, const std::string& message)
        : std::runtime_error(message), code_(std::move(code)) {}
    const std::string& code() const { return code_; }

private:
    std::string code_;
};

}  // namespace kelvor::batch

#endif
