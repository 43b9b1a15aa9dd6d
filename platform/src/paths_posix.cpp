// File-system helpers on POSIX.
#include "krv/platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace MirrorKit::platform {

namespace {
bool isSeparator(char c) { return c == '/' || c == '\\'; }
}  // namespace

std::string parentPath(const std::string& path) {
    std::string p = path;
    // A value ending in separators loses only those.
    if (!p.empty() && isSeparator(p.back())) {
        while (p.size() > 1 && isSeparator(p.back())) p.pop_back();
        return p;
    }
    size_t last = p.find_last_of("/\\");
    if (last == std::string::npos) return std::string();
    size_t end = last;
    while (end > 0 && isSeparator(p[end - 1])) --end;
    if (end == 0) return p.substr(0, 1);  // the root stays
    return p.substr(0, end);
}

bool pathExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool makeDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (pathExists(path)) return true;
    std::string parent = parentPath(path);
    if (!parent.empty() && parent != path && !pathExists(parent)) makeDirectories(parent);
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

int replaceFile(const std::string& path, const std::string& bytes) {
    // A name no other writer uses; O_EXCL refuses one that exists, and the kernel applies the umask to 0666.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    size_t done = 0;
    int err = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && std::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err) ::unlink(temp.c_str());
    return err;
}

std::string environment(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string stateDirectory() {
    std::string xdg = environment("XDG_STATE_HOME");
    if (!xdg.empty()) return xdg;
    std::string home = environment("HOME");
    if (home.empty()) return std::string();
    return home + "/.local/state";
}

}  // namespace MirrorKit::platform
