// Replace-by-rename writes for the files krvctl creates.
#include "commands.h"
#include "profile.h"

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

}  // namespace krvctl
