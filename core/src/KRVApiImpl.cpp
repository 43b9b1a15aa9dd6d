// Map loading and the opening steps shared by every driver.
#include "krv/KRVApiImpl.h"

#include "krv/DMState.h"
#include "krv/Log.h"
#include "krv/ModelTable.h"
#include "krv/TextFiles.h"

#include <krv/platform/dynlib.h>
#include <krv/platform/paths.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

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
// A map holds one short line per channel (at most a few thousand); a file far larger is not a map.
constexpr size_t kMaxMapFileBytes = size_t(16) << 20;
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
    std::string text;
    if (KRVRC rc = readTextFile(path, kMaxMapFileBytes, ERR_INVALID_LUT, "Map file", Log::api(), text)) return rc;

    // The entries are read into a map of their own: a file that is refused leaves the caller's map as it was.
    std::vector<uint32_t> entries;
    entries.reserve(static_cast<size_t>(std::min<uint64_t>(count, MAX_DM_SIZE * 2)));
    // Line on which each channel was first given, to report a channel given twice.
    std::unordered_map<uint32_t, uint64_t> firstLine;
    for (size_t start = 0; start < text.size() && entries.size() < count;) {
        const size_t lf = text.find('\n', start);
        const size_t end = lf == std::string::npos ? text.size() : lf;
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const uint64_t number = entries.size() + 1;
        int64_t value = 0;
        switch (readDecimal(line, 0, UINT32_MAX, value)) {
            case NumberText::Ok: break;
            case NumberText::Empty: value = 0; break;  // an empty line gives entry 0
            default:
                KRV_LOG_ERROR(Log::api(), "Map file " << path << " line " << number << ": "
                                                      << logExcerpt(line) << " is not a channel number.");
                return ERR_INVALID_LUT;
        }
        const uint32_t entry = static_cast<uint32_t>(value);
        if (entry != MAX_DM_SIZE) {
            const auto seen = firstLine.emplace(entry, number);
            if (!seen.second) {
                KRV_LOG_ERROR(Log::api(), "Map file " << path << " lines " << seen.first->second << " and " << number
                                                      << " both give " << entry << "; each may appear once.");
                return ERR_INVALID_LUT;
            }
        }
        entries.push_back(entry);
    }
    const uint64_t read = entries.size();
    if (read < kMinimumMapEntries) {
        KRV_LOG_ERROR(Log::api(), "Map file is invalid: " << path << " (" << read << " entries, at least "
                                                          << kMinimumMapEntries << " needed)");
        return ERR_INVALID_LUT;
    }
    std::copy(entries.begin(), entries.end(), map);
    if (read < count) {
        KRV_LOG_WARN(Log::api(), "Map has only " << read << " actuators but driver expects " << count
                                                 << " channels. Mapping the rest to #" << MAX_DM_SIZE);
        std::fill(map + read, map + count, static_cast<uint32_t>(MAX_DM_SIZE));
    }
    return NO_ERR;
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
