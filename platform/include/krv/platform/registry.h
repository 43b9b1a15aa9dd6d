// Stand-in for the Windows registry: keys and values kept in a text file in the .reg export syntax.
//
// The store is the file named by $KRV_REGISTRY_FILE, default /etc/velmira/registry.reg. Key paths are written
// as on Windows, hive first: "HKEY_LOCAL_MACHINE\\Software\\Velmira"; they compare case-insensitively.
// Results are errno numbers: 0 on success, ENOENT for an absent key or value, EACCES when the file may not be
// read or written, EIO for other file errors, EINVAL for bad arguments or a value of another type. Keys, names
// and string values holding a line break or a NUL byte cannot be stored (EINVAL).
// Writers take an exclusive lock on "<store>.lock" and replace the file by write-then-rename, so concurrent
// writers (in any process) never lose each other's changes and readers never see a half-written file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace MirrorKit::platform::registry {

std::string storePath();

// 0 when the key exists.
int openKey(const std::string& key);
// name "" is the key's default value ("@" in the file).
int queryString(const std::string& key, const std::string& name, std::string& value);
int queryDword(const std::string& key, const std::string& name, uint32_t& value);
// Direct subkeys (last path component, as written), in file order.
int listSubKeys(const std::string& key, std::vector<std::string>& names);

// Writing creates the key and its parents as needed.
int createKey(const std::string& key);
int setString(const std::string& key, const std::string& name, const std::string& value);
int setDword(const std::string& key, const std::string& name, uint32_t value);
int deleteValue(const std::string& key, const std::string& name);
// Removes the key with all its subkeys; ENOENT when it does not exist.
int deleteTree(const std::string& key);

// Text for an errno result, for log messages.
std::string errorText(int error);

}  // namespace MirrorKit::platform::registry
