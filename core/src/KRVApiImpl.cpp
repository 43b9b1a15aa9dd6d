// Map loading and the opening steps shared by every driver.
#include "krv/KRVApiImpl.h"

#include "krv/DMState.h"
#include "krv/Log.h"
#include "krv/ModelTable.h"

#include <krv/platform/dynlib.h>
#include <krv/platform/paths.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

namespace MirrorKit {

namespace os {
// Looks one entry point up in a loaded library; warns and returns null when it is missing.
template <typename Fn>
Fn resolve(void* module, const char* name) {
    void* symbol = platform::resolveSymbol(module, name);
    if (!symbol) {
        KRV_LOG_WARN(Log::os(), "Cannot resolve symbol " << name << " in DLL.");
        return nullptr;
    }
    return reinterpret_cast<Fn>(symbol);
}
}  // namespace os

namespace {
constexpr uint64_t kMinimumMapEntries = 32;
constexpr const char* kOpenLoopLibrary = "libKRV_OpenLoop4.so.4";
}  // namespace

const char* openLoopLibraryName() {
    static thread_local std::string name;
    name = platform::environment("KRV_OPENLOOP_LIBRARY");
    return name.empty() ? kOpenLoopLibrary : name.c_str();
}

KRVRC KRVLoadMapImpl(const char* path, uint32_t* map, uint64_t count) {
    KRV_LOG_DEBUG(Log::api(), "Loading map file: " << (path ? path : "") << " expected count: " << count);
    if (!map || count == 0) {
        KRV_LOG_WARN(Log::api(), "Empty map requested, not loading.");
        return NO_ERR;
    }
    if (!path) return ERR_OPENFILE;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return errno == EACCES ? ERR_FILE_PERMISSIONS : ERR_OPENFILE;

    uint64_t read = 0;
    std::string line;
    if (std::getline(in, line)) {
        for (uint64_t i = 0; i < count; ++i) {
            std::istringstream ss(line);
            uint32_t entry = 0;
            ss >> entry;
            if (ss.bad()) KRV_LOG_ERROR(Log::api(), "Error reading map file on line " << i);
            map[i] = entry;
            ++read;
            if (!std::getline(in, line)) break;
        }
    }
    if (read >= kMinimumMapEntries) {
        if (read < count) {
            KRV_LOG_WARN(Log::api(), "Map has only " << read << " actuators but driver expects " << count
                                                     << " channels. Mapping the rest to #" << MAX_DM_SIZE);
            for (uint64_t i = read; i < count; ++i) map[i] = MAX_DM_SIZE;
        }
        return NO_ERR;
    }
    KRV_LOG_ERROR(Log::api(), "Map file is invalid: " << path);
    return ERR_INVALID_LUT;
}

KRVRC KRVOpenCommon(DM* dm) {
    DMState& state = *dm->State;
    dm->ActCountWidth = modelWidth(state.ActCount);
    dm->Layout = modelLayout(state.ActCount);

    const char* libraryName = openLoopLibraryName();
    std::string error;
    int errorNumber = 0;
    // The library stays loaded for the life of the process.
    if (void* module = platform::loadLibrary(libraryName, error, &errorNumber)) {
        state.CalibrationDelete =
            os::resolve<DMState::CalibrationDeleteFn>(module, "KRV_Priv_Calibration_delete");
        state.CalibrationLoad = os::resolve<DMState::CalibrationLoadFn>(module, "KRV_Priv_Calibration_loadFile");
    } else {
        KRV_LOG_WARN(Log::api(), "LoadLibrary returned " << errorNumber << " : " << error);
    }

    if (dm->CalibrationFile[0] == '\0') return NO_ERR;
    if (state.CalibrationLoad && state.CalibrationDelete) {
        KRVRC rc = state.CalibrationLoad(dm, dm->CalibrationFile);
        if (rc != NO_ERR && rc != ERR_NOT_IMPLEMENTED) {
            KRV_LOG_WARN(Log::api(), "Error loading default calibration: " << dm->CalibrationFile);
            KRV_LOG_WARN(Log::api(), "Load a calibration file using KRVLoadCalibrationFile to enable open loop control.");
        }
    } else {
        KRV_LOG_WARN(Log::api(), "Open Loop calibration module not available, not loading calibration file.");
    }
    return NO_ERR;
}

}  // namespace MirrorKit
