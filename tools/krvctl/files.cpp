// Replace-by-rename writes for the files krvctl creates.
#include "commands.h"
#include "profile.h"

#include <krv/platform/accounts.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace krvctl {

void writeFileAtomically(const std::string& path, const std::string& bytes) {
    // A reader sees the old file or the new one, never part of either: the new text goes to a file of its own,
    // reaches the disk, and is then renamed over the old one.
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) throw Failure("cannot write " + path + ": " + std::strerror(errno));
    size_t done = 0;
    int err = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && std::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        std::remove(temp.c_str());
        throw Failure("cannot write " + path + ": " + std::strerror(err));
    }
}

std::string folderWriteAdvice(const std::string& dir) {
    struct stat st {};
    if (::access(dir.c_str(), W_OK | X_OK) == 0 || ::stat(dir.c_str(), &st) != 0) return std::string();
    return MirrorKit::platform::accounts::accessAdvice(dir, st.st_uid, st.st_gid, st.st_mode & 07777u, 0030u);
}

std::string readWholeFile(const std::string& path) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot open " + path + ": " + std::strerror(errno ? errno : ENOENT));
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) throw Failure("cannot read " + path);
    return bytes.str();
}

}  // namespace krvctl
