// The failure of one pair: a status of the library's table, and the facts
// of this pair that the status's sentence cannot know (which file, which
// rate, which line of a listing). Thrown inside the front-end core and
// turned into an error row where a pair is scored; never crosses its
// public calls.
#ifndef KELVOR_FRONTEND_ERROR_H
#define KELVOR_FRONTEND_ERROR_H

#include <stdexcept>
#include <string>

namespace kelvor::frontend {

// The message of a failed pair: the status's sentence from the library's
// table, then the facts after a colon ("No such file: the reference file
// 'a.wav'"); the sentence alone when there are none. Every front end
// words a failure so, so that a status reads alike wherever it is met.
std::string pair_message(int status, const std::string& facts);

class PairError : public std::runtime_error {
public:
    // status is one of the library's KELVOR_ERR_* statuses.
    PairError(int status, const std::string& facts)
        : std::runtime_error(pair_message(status, facts)), status_(status), facts_(facts) {}
    int status() const { return status_; }
    const std::string& facts() const { return facts_; }

private:
    int status_;
    std::string facts_;
};

}  // namespace kelvor::frontend

#endif
