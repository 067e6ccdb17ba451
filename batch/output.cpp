#include "batch/output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace kelvor::batch {

namespace {

// Writes all of text to fd; returns 0 or the errno of the failure, with
// the bytes written so far in done.
int write_all(int fd, const std::string& text, size_t& done) {
    done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Six letters and digits that differ between calls, threads and processes.
std::string random_suffix() {
    thread_local std::mt19937_64 engine([] {
        std::random_device device;
        return (static_cast<uint64_t>(device()) << 32) ^ device() ^ static_cast<uint64_t>(::getpid());
    }());
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string s(6, 'x');
    for (char& c : s) c = letters[engine() % (sizeof letters - 1)];
    return s;
}

}  // namespace

Output::Output(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
    struct stat st {};
    regular_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

Output::~Output() {
    if (fd_ > 2) ::close(fd_);
}

void Output::write(const std::string& text) {
    off_t before = regular_ ? lseek(fd_, 0, SEEK_END) : 0;
    size_t done = 0;
    int err = write_all(fd_, text, done);
    if (err == 0) return;
    if (regular_ && done > 0 && before >= 0 && ftruncate(fd_, before) != 0) {
        // Nothing more to do: --resume cuts a torn row off.
    }
    if (err == EPIPE) throw BrokenPipe("Can't write " + name_ + ": " + std::strerror(err));
    throw std::runtime_error("Can't write " + name_ + ": " + std::strerror(err));
}

LockResult lock_exclusive(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::locked;
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? LockResult::busy : LockResult::unsupported;
    }
}

void write_file_atomically(const std::string& path, const std::string& text) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    auto failure = [&](int err) {
        return std::runtime_error("Can't write '" + path + "': " + std::strerror(err));
    };
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        temporary = folder + "." + base + "." + random_suffix() + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) throw failure(errno);
    }
    if (fd < 0) throw failure(EEXIST);
    size_t done = 0;
    int err = write_all(fd, text, done);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temporary.c_str());
        throw failure(err);
    }
}

}  // namespace kelvor::batch
