#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace krvfuzz {
namespace {

namespace fs = std::filesystem;

struct Scratch {
    std::string path;
    Scratch() {
        std::string base = "/dev/shm";
        std::error_code ec;
        if (!fs::is_directory(base, ec) || ::access(base.c_str(), W_OK) != 0) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp && *tmp ? tmp : "/tmp";
        }
        std::string pattern = base + "/krvfuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("krvfuzz: cannot make a scratch directory");
            std::abort();
        }
        path = pattern;
        for (const char* sub : {"Profiles", "Map", "Calibration", "Shapes"}) fs::create_directories(path + "/" + sub);
        const std::string store = path + "/registry.reg";
        writeFile(store, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
                         "\"InstallPath\"=\"" + path + "\"\r\n");
        ::setenv("KRV_REGISTRY_FILE", store.c_str(), 1);
        ::setenv("LOCALAPPDATA", path.c_str(), 1);
        ::setenv("XDG_STATE_HOME", path.c_str(), 1);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

}  // namespace

const std::string& scratchDir() {
    static Scratch scratch;
    return scratch.path;
}

std::string scratchPath(const std::string& name) { return scratchDir() + "/" + name; }

std::string writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) failed(__FILE__, __LINE__, "cannot write " + path);
    return path;
}

std::string writeFile(const std::string& path, const std::string& bytes) {
    return writeFile(path, bytes.data(), bytes.size());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void failed(const char* file, int line, const std::string& what) {
    std::cerr << file << ":" << line << ": broken promise: " << what << std::endl;
    std::abort();
}

}  // namespace krvfuzz
