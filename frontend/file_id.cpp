#include "frontend/file_id.h"

#include <sys/stat.h>

namespace kelvor::frontend {

std::optional<FileId> file_id(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

std::optional<FileId> file_id(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

}  // namespace kelvor::frontend
