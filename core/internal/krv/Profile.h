// Profile files, search directories and the install directory.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <string>
#include <vector>

namespace MirrorKit {

constexpr unsigned char kProfileScramble = 0xA7;

// Reads "<profilesPath>/<serialNumber>.dm" into the profile fields of dm.
KRVRC read_profile(const char* profilesPath, const char* serialNumber, DM& dm);

// The kit's install directory, looked up once per process (registry store, then $KRV).
KRVRC get_install_path(std::string& out);
// Forgets the cached install directory (tests only).
void reset_install_path_cache();

enum class SearchDir { Profiles, Maps, Calibrations };
// Sets one of the record's search directories to its default under the install directory.
KRVRC set_default_search_dir(DM& dm, SearchDir which);

// XORs every byte with the profile scramble byte; the same call scrambles and unscrambles.
std::string scramble_line(const std::string& line);

// The keys read_profile knows, in the order it tests them.
const std::vector<std::string>& profileKeys();
bool isProfileKey(const std::string& key);
// True when a line holding value reads back unchanged: no line break or NUL, no byte that scrambles to LF, and no
// final byte that scrambles to CR.
bool storableProfileValue(const std::string& value);

}  // namespace MirrorKit
