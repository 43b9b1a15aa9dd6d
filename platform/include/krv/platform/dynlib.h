// Loading shared libraries by name and resolving their entry points.
#pragma once

#include <string>

namespace MirrorKit::platform {

// Loads a library by file name (the normal library search applies) or path. Null on failure, with the
// loader's message text in error and the system error number (errno after the attempt) in errorNumber.
void* loadLibrary(const std::string& name, std::string& error, int* errorNumber = nullptr);
// Looks a symbol up in a loaded library; null when it is absent.
void* resolveSymbol(void* library, const char* name);
void closeLibrary(void* library);

}  // namespace MirrorKit::platform
