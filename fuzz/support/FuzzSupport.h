// Shared pieces of the fuzz targets: a private scratch directory, files written from inputs, and checks that
// stop the run when the kit breaks a promise (a crash the fuzzer and the replay test both report).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace krvfuzz {

// This process's scratch directory (under /dev/shm when it exists, else $TMPDIR or /tmp), made on first use
// and removed at exit. It holds Profiles/, Map/ and Calibration/ folders and a registry store naming the
// directory as the install directory; KRV_REGISTRY_FILE and LOCALAPPDATA point into it.
const std::string& scratchDir();
std::string scratchPath(const std::string& name);

// Writes bytes to path (replacing the file) and returns path.
std::string writeFile(const std::string& path, const void* data, std::size_t size);
std::string writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// Reports what went wrong and aborts.
[[noreturn]] void failed(const char* file, int line, const std::string& what);

}  // namespace krvfuzz

#define KRVFUZZ_CHECK(cond, what)                                                         \
    do {                                                                                  \
        if (!(cond)) ::krvfuzz::failed(__FILE__, __LINE__, std::string(#cond ": ") + (what)); \
    } while (0)
