// What kelvor-batch writes and how: rows going out whole, files replaced
// in one step through a temporary of their own, and the output's lock.
#ifndef KELVOR_BATCH_OUTPUT_H
#define KELVOR_BATCH_OUTPUT_H

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace kelvor::batch {

// A write that failed because nobody reads any more (EPIPE: the reader of
// a pipe, `| head -1`, has gone). Callers end quietly, as standard tools do.
class BrokenPipe : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The destination of the rows: standard output or an open file. Every
// write goes out whole, or is cut off again where the file allows it.
class Output {
public:
    // Takes over fd (closed at the end) unless it is 0, 1 or 2.
    Output(int fd, std::string name);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Writes text whole or throws: BrokenPipe when the reader has gone,
    // std::runtime_error naming the destination for any other failure. A
    // text that went out in part is cut off again in a regular file.
    void write(const std::string& text);

    bool regular() const { return regular_; }

private:
    int fd_;
    std::string name_;
    bool regular_ = false;
};

enum class LockResult {
    locked,       // this process holds the lock now
    busy,         // another process holds it
    unsupported,  // the file system has no locks: the caller goes on without
};

// Takes an exclusive advisory lock (flock) on fd without waiting. It is
// released when the last descriptor of this open file is closed, so a
// crashed run never leaves it behind.
LockResult lock_exclusive(int fd);

// Writes text to path in one step: into a temporary file of a name of its
// own in the same folder (created with O_EXCL | O_NOFOLLOW, so that no
// planted link is followed and no other writer's temporary is shared),
// renamed over path once complete. A reader sees the previous file or the
// new one, whole; a link under path is replaced, not followed. Throws
// std::runtime_error naming path and the cause; the temporary is removed
// then.
void write_file_atomically(const std::string& path, const std::string& text);

}  // namespace kelvor::batch

#endif
