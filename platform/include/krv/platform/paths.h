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
// Replaces the file at path with bytes through a temporary file in the same folder, so that readers see the old
// file or the new one, never a part. 0, or the errno of the step that failed (nothing is left behind then).
int replaceFile(const std::string& path, const std::string& bytes);

// Environment variable, or empty when unset.
std::string environment(const char* name);

}  // namespace MirrorKit::platform
