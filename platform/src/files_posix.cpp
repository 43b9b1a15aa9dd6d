// Regular-file reads on POSIX: non-blocking opens, one descriptor per read, and a check that the file held
// still while it was read.
#include "krv/platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace MirrorKit::platform {
namespace {

// Reads a file that keeps changing this many times before giving up.
constexpr int kReadAttempts = 5;

bool sameState(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int openResult(int e) {
    switch (e) {
        case ENOENT:
        case ENOTDIR: return ENOENT;
        case EACCES:
        case EPERM: return EACCES;
        case EINVAL: return EINVAL;
        default: return EIO;
    }
}

// One attempt: 0, EAGAIN when the file changed under the read, or another errno result.
int readOnce(int fd, std::size_t maxBytes, std::string& out) {
    struct stat before;
    if (::fstat(fd, &before) != 0) return EIO;
    if (static_cast<unsigned long long>(before.st_size) > maxBytes) return EFBIG;
    out.assign(static_cast<std::size_t>(before.st_size), '\0');
    std::size_t got = 0;
    if (::lseek(fd, 0, SEEK_SET) != 0) return EIO;
    for (;;) {
        // One byte more than the size said shows a file that grew.
        if (got == out.size()) out.resize(got + 1);
        const ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return EIO;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
        if (got > maxBytes) return EFBIG;
    }
    out.resize(got);
    struct stat after;
    if (::fstat(fd, &after) != 0) return EIO;
    if (!sameState(before, after) || got != static_cast<std::size_t>(after.st_size)) return EAGAIN;
    return 0;
}

}  // namespace

int openRegularFile(const std::string& path) {
    // O_NONBLOCK: opening a FIFO without a writer, or a device, must not wait; a regular file ignores it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    // Later reads of a regular file block as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int readRegularFile(const std::string& path, std::size_t maxBytes, std::string& out) {
    out.clear();
    const int fd = openRegularFile(path);
    if (fd < 0) return openResult(errno);
    int rc = EAGAIN;
    for (int attempt = 0; attempt < kReadAttempts && rc == EAGAIN; ++attempt) {
        rc = readOnce(fd, maxBytes, out);
        // A writer that replaces the file by renaming a new one over it leaves this descriptor on the old
        // file, which is whole; one that rewrites it in place is given a moment to finish.
        if (rc == EAGAIN) ::usleep(1000u << attempt);
    }
    ::close(fd);
    if (rc != 0) out.clear();
    return rc;
}

}  // namespace MirrorKit::platform
