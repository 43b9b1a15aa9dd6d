// File-system helpers on POSIX.
#include "krv/platform/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

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
