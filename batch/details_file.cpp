#include "batch/details_file.h"

#include <algorithm>
#include <cctype>

#include "batch/output.h"
#include "frontend/row_format.h"

namespace kelvor::batch {

using namespace kelvor::frontend;

std::string details_path(const std::string& dir, int64_t index) {
    return dir + "/" + std::to_string(index) + ".json";
}

bool is_details_name(const std::string& name) {
    const std::string suffix = ".json";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    return std::all_of(name.begin(), name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

void write_details(const std::string& dir, const frontend::Row& row, int64_t index, const frontend::Details& details,
                   const std::vector<std::string>& metadata) {
    write_file_atomically(details_path(dir, index), details_json(row, index, details, metadata));
}

}  // namespace kelvor::batch
