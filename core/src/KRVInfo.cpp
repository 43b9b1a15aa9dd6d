// Exported calls that describe mirrors and profiles to programs: model geometry, channel count, calibration state,
// logging set-up, and profile files written and read with the reader's own key list and encoding.
#include "krv/DMState.h"
#include "krv/Guard.h"
#include "krv/Log.h"
#include "krv/ModelTable.h"
#include "krv/Profile.h"

#include <krv/platform/paths.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

using namespace MirrorKit;

namespace {

KRVRC fillGeometry(uint32_t actuatorCount, DMGEOMETRY& out) {
    if (actuatorCount == 0 || actuatorCount > MAX_DM_SIZE) return ERR_INVALID_ACTUATOR_COUNT;
    DMGEOMETRY g{};
    g.ActCount = actuatorCount;
    g.Width = modelWidth(actuatorCount);
    g.Layout = modelLayout(actuatorCount);
    if (const DMModel* model = findModel(actuatorCount)) {
        g.Known = 1;
        g.Segmented = model->Segmented ? 1 : 0;
        g.HasMask = model->Mask().empty() ? 0 : 1;
        g.StrokeNm = model->StrokeNm;
        std::snprintf(g.Model, sizeof g.Model, "%s", model->Name);
    }
    out = g;
    return NO_ERR;
}

}  // namespace

extern "C" {

KRVAPI KRVRC KRVInitLog(void) {
    Log::configure(std::string(), KRV_LOG_DEBUG, false);
    return NO_ERR;
}

KRVAPI KRVRC KRVGetModelGeometry(uint32_t actuatorCount, DMGEOMETRY* geometry) {
    if (!geometry) return ERR_BADARG;
    return guarded(Log::api(), "KRVGetModelGeometry", ERR_UNKNOWN,
                   [&] { return fillGeometry(actuatorCount, *geometry); });
}

KRVAPI KRVRC KRVGetGeometry(const DM* dm, DMGEOMETRY* geometry) {
    if (!dm || !geometry) return ERR_BADARG;
    if (!dm->State) return ERR_DRIVER_NOT_OPEN;
    return guarded(Log::api(), "KRVGetGeometry", ERR_UNKNOWN, [&] {
        DMGEOMETRY g{};
        if (KRVRC rc = fillGeometry(dm->ActCount, g)) return rc;
        // What the open set on the record is what the record's users go by.
        g.Width = dm->ActCountWidth;
        g.Layout = dm->Layout;
        *geometry = g;
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVGetGridMask(uint32_t actuatorCount, int32_t* mask, uint32_t cellCount) {
    if (!mask) return ERR_BADARG;
    return guarded(Log::api(), "KRVGetGridMask", ERR_UNKNOWN, [&] {
        DMGEOMETRY g{};
        if (KRVRC rc = fillGeometry(actuatorCount, g)) return rc;
        if (!g.HasMask) return ERR_NOT_IMPLEMENTED;
        const std::vector<int32_t>& cells = findModel(actuatorCount)->Mask();
        if (cellCount < cells.size()) return ERR_BADARG;
        std::copy(cells.begin(), cells.end(), mask);
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVGetChannelCount(const DM* dm, uint32_t* count) {
    if (!dm || !count) return ERR_BADARG;
    if (!dm->State) return ERR_DRIVER_NOT_OPEN;
    *count = totalChannelCount(*dm);
    return NO_ERR;
}

KRVAPI KRVRC KRVIsCalibrationLoaded(const DM* dm, bool* loaded) {
    if (!dm || !loaded) return ERR_BADARG;
    if (!dm->State) return ERR_DRIVER_NOT_OPEN;
    *loaded = dm->State->Calibration != nullptr;
    return NO_ERR;
}

KRVAPI const char* KRVProfileKey(uint32_t index) {
    const auto& keys = profileKeys();
    return index < keys.size() ? keys[index].c_str() : nullptr;
}

KRVAPI KRVRC KRVCheckProfileSetting(const char* setting) {
    if (!setting) return ERR_BADARG;
    return guarded(Log::util(), "KRVCheckProfileSetting", ERR_UNKNOWN, [&] {
        const std::string text(setting);
        const size_t eq = text.find('=');
        const bool ok =
            eq != std::string::npos && isProfileKey(text.substr(0, eq)) && storableProfileValue(text.substr(eq + 1));
        return ok ? NO_ERR : ERR_BADARG;
    });
}

KRVAPI KRVRC KRVWriteProfile(const char* path, const char* const* settings, uint32_t count) {
    if (!path || !*path || (count > 0 && !settings)) return ERR_BADARG;
    return guarded(Log::util(), "KRVWriteProfile", ERR_UNKNOWN, [&] {
        std::string bytes;
        for (uint32_t i = 0; i < count; ++i) {
            if (!settings[i]) return ERR_BADARG;
            if (KRVCheckProfileSetting(settings[i]) != NO_ERR) return ERR_BADARG;
            const std::string setting(settings[i]);
            bytes += scramble_line(setting);
            bytes += '\n';
        }
        // Programs that write profiles report the result themselves; nothing is logged here.
        if (const int err = platform::replaceFile(path, bytes))
            return err == EACCES || err == EPERM || err == EROFS ? ERR_FILE_PERMISSIONS : ERR_OPENFILE;
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVReadProfileLines(const char* path, KRVProfileLineFn fn, void* context) {
    if (!path || !fn) return ERR_BADARG;
    return guarded(Log::util(), "KRVReadProfileLines", ERR_UNKNOWN, [&] {
        errno = 0;
        std::ifstream in(path, std::ios::binary);
        if (!in) return errno == EACCES ? ERR_FILE_PERMISSIONS : ERR_OPENFILE;
        std::string raw;
        uint32_t number = 0;
        // Split, skipped and decoded exactly as read_profile does.
        while (std::getline(in, raw)) {
            ++number;
            if (raw.size() < 2) {
                fn(context, number, nullptr, 0);
                continue;
            }
            if (raw.back() == '\r') raw.pop_back();
            const std::string line = scramble_line(raw);
            fn(context, number, line.c_str(), static_cast<uint32_t>(line.size()));
        }
        return in.bad() ? ERR_FILE_FORMAT : NO_ERR;
    });
}

}  // extern "C"
