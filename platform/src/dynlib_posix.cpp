// Shared-library loading through the dynamic linker.
#include "krv/platform/dynlib.h"

#include <dlfcn.h>

#include <cerrno>

namespace MirrorKit::platform {

void* loadLibrary(const std::string& name, std::string& error, int* errorNumber) {
    dlerror();
    errno = 0;
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (errorNumber) *errorNumber = errno;
        const char* text = dlerror();
        error = text ? text : "unknown error";
    }
    return handle;
}

void* resolveSymbol(void* library, const char* name) {
    if (!library || !name) return nullptr;
    return ::dlsym(library, name);
}

void closeLibrary(void* library) {
    if (library) ::dlclose(library);
}

}  // namespace MirrorKit::platform
