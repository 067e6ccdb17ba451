// File identities: to tell that two names are one file (an output that
// would land on an input, a folder met again through a link).
#ifndef KELVOR_FRONTEND_FILE_ID_H
#define KELVOR_FRONTEND_FILE_ID_H

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace kelvor::frontend {

// The identity of a file: its device and inode. Two names with the same
// identity are the same file, whatever links lie between them.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId& other) const { return device == other.device && inode == other.inode; }
    bool operator!=(const FileId& other) const { return !(*this == other); }
};

struct FileIdHash {
    size_t operator()(const FileId& id) const {
        return static_cast<size_t>(id.inode) * 1000003u ^ static_cast<size_t>(id.device);
    }
};

// The identity of what path names (links followed); nothing when it does
// not exist or cannot be looked at.
std::optional<FileId> file_id(const std::string& path);
std::optional<FileId> file_id(int fd);

}  // namespace kelvor::frontend

#endif
