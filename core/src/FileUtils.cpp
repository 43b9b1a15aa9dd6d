// Install-directory lookup and the default search directories below it.
#include "krv/Log.h"
#include "krv/Profile.h"

#include <krv/platform/paths.h>
#include <krv/platform/registry.h>

#include <cstdio>

namespace MirrorKit {
namespace {

constexpr const char* kInstallKeyName = "Software\\Velmira";
constexpr const char* kInstallKey = "HKEY_LOCAL_MACHINE\\Software\\Velmira";
constexpr const char* kInstallValue = "InstallPath";

// Filled by the first successful lookup; not locked (see the threading rules of the kit).
std::string& installPathCache() {
    static std::string cache;
    return cache;
}

}  // namespace

KRVRC get_install_path(std::string& out) {
    std::string& cache = installPathCache();
    if (!cache.empty()) {
        out = cache;
        return NO_ERR;
    }
    namespace registry = platform::registry;
    std::string dir;
    if (int err = registry::openKey(kInstallKey)) {
        KRV_LOG_ERROR(Log::util(), "Error " << err << " opening registry key " << kInstallKeyName);
        const std::string env = platform::environment("KRV");
        if (env.empty()) return ERR_REGISTRY;
        dir = platform::parentPath(env);
        // A bare file name lies in the current directory.
        if (dir.empty()) dir = ".";
    } else {
        if (int err = registry::queryString(kInstallKey, kInstallValue, dir)) {
            KRV_LOG_ERROR(Log::util(), "Error " << err << " reading registry value " << kInstallValue);
            return ERR_REGISTRY;
        }
        if (dir.size() > KRV_MAX_PATH - 1) dir.resize(KRV_MAX_PATH - 1);
    }
    KRV_LOG_DEBUG(Log::util(), "SDK Install Path: " << dir);
    cache = dir;
    out = dir;
    return NO_ERR;
}

void reset_install_path_cache() { installPathCache().clear(); }

KRVRC set_default_search_dir(DM& dm, SearchDir which) {
    std::string dir;
    if (KRVRC rc = get_install_path(dir)) return rc;
    char* field = dm.ProfilesPath;
    const char* name = "Profiles";
    if (which == SearchDir::Maps) {
        field = dm.MapsPath;
        name = "Map";
    } else if (which == SearchDir::Calibrations) {
        field = dm.CalibrationsPath;
        name = "Calibration";
    }
    std::snprintf(field, KRV_MAX_PATH, "%s%c%s", dir.c_str(), platform::kPathSeparator, name);
    return NO_ERR;
}

}  // namespace MirrorKit
