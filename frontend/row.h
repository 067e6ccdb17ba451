// One output row: every column kelvor-batch writes for a pair.
#ifndef KELVOR_FRONTEND_ROW_H
#define KELVOR_FRONTEND_ROW_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelvor/stoi.h"

namespace kelvor::frontend {

struct Row {
    std::string reference;  // as written in the manifest, or the relative path of a directory pair
    std::string degraded;
    std::optional<double> stoi;  // set for KELVOR_OK only
    std::optional<double> estoi;
    std::optional<int64_t> delay_samples;  // the delay in effect, in samples of the files' rate
    std::optional<double> delay_ms;
    std::optional<double> seconds;  // the longer input's duration; set whenever both files were read
    std::optional<int64_t> rate;    // the files' sample rate (the reference's); set whenever it is known
    int status = KELVOR_OK;         // a status of the library's table; its name is written
    std::string message;            // empty for KELVOR_OK
    // The listing's own columns for this pair (a manifest's other columns,
    // the system of a folder, the id of a list), in the order of their
    // names, which the output carries once (row_format.h).
    std::vector<std::string> metadata;

    bool ok() const { return status == KELVOR_OK; }
};

}  // namespace kelvor::frontend

#endif
