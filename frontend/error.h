// The failure of one pair: a short status code for the status column and a
// sentence for the message column. Thrown inside the front-end core and turned
// into an error row where a pair is scored; never crosses its public calls.
#ifndef KELVOR_FRONTEND_ERROR_H
#define KELVOR_FRONTEND_ERROR_H

#include <stdexcept>
#include <string>

#include "kelvor/stoi.h"

namespace kelvor::frontend {

class PairError : public std::runtime_error {
public:
    // status is one of the library's KELVOR_ERR_* statuses: the row's code
    // is its name in the library's status table, so that kelvor-batch,
    // the library and the Python package name a failure alike.
    PairError(int status, const std::string& message)
        : std::runtime_error(message), code_(kelvor_status_name(status)) {}
    const std::string& code() const { return code_; }

private:
    std::string code_;
};

}  // namespace kelvor::frontend

#endif
