// File-system helpers: path separator, parent path, existence, default state directory.
#pragma once

#include <string>

namespace MirrorKit::platform {

constexpr char kPathSeparator = '/';

// The value with its last component and the separators before it removed. "\\" and "/" both separate;
// a value ending in separators loses only those; a root prefix stays.
std::string parentPath(const std::string& path);
// True when the path names an existing file-system entry.
bool pathExists(const std::string& path);
// Creates a directory and its parents; true when it exists afterwards.
bool makeDirectories(const std::string& path);
// $XDG_STATE_HOME, else $HOME/.local/state; empty when neither is known.
std::string stateDirectory();
// Environment variable, or empty when unset.
std::string environment(const char* name);

}  // namespace MirrorKit::platform
