// The per-pair details files of kelvor-batch --details DIR.
#ifndef KELVOR_BATCH_DETAILS_FILE_H
#define KELVOR_BATCH_DETAILS_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/pair.h"
#include "frontend/row.h"

namespace kelvor::batch {

// DIR/<index>.json: the name of a pair's details file.
std::string details_path(const std::string& dir, int64_t index);

// True for a name details_path gives inside its folder: digits, ".json".
bool is_details_name(const std::string& name);

// Writes the details of an ok row as DIR/<index>.json, in one step
// (write_file_atomically): a file present is whole, whichever of several
// runs on one folder wrote it. metadata names the row's metadata values.
// Throws std::runtime_error naming the file.
void write_details(const std::string& dir, const frontend::Row& row, int64_t index, const frontend::Details& details,
                   const std::vector<std::string>& metadata = {});

}  // namespace kelvor::batch

#endif
