// Whole-file reads and replace-by-rename writes for the files krvctl creates.
#include "commands.h"
#include "profile.h"

#include <krv/platform/accounts.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace krvctl {

void writeFileAtomically(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) throw Failure("cannot write " + path + ": " + std::strerror(errno));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            const int err = errno;
            std::remove(temp.c_str());
            throw Failure("cannot write " + path + ": " + std::strerror(err));
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
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
