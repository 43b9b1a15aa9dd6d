// Frame output to the drive units: channel-ordered blocks of 16-bit codes, clearing, and closing a record.
#include "UsbCommon.h"

#include "krv/DMState.h"
#include "krv/Guard.h"
#include "krv/Log.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>

// Each block goes to the unit byte for byte as the host holds it; the units take little-endian codes.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "channel blocks are sent in host byte order");

namespace MirrorKit::USB {
namespace {

constexpr uint32_t kUnmapped = MAX_DM_SIZE;

// Sends the first channels entries of State's channel buffer to one unit as a single synchronous transfer.
KRVRC sendBlock(IHostDrv* server, uint32_t device, std::vector<uint16_t>& buffer, uint32_t channels) {
    LONG status = 0;
    const HRESULT hr = server->Dravix_StepFrameData(static_cast<LONG>(device),
                                                    reinterpret_cast<BYTE*>(buffer.data()),
                                                    static_cast<LONG>(2 * channels), &status);
    if (FAILED(hr)) {
        logServerFailure("Failure to send USB frame data.", hr);
        return ERR_UNKNOWN;
    }
    if (status == kStatusNoDevice) return ERR_NO_HW;
    if (status == kStatusTransfer) return ERR_TIMEOUT;
    if (status == kStatusBusy) return ERR_DRIVER_ALREADY_OPEN;
    return NO_ERR;
}

// The smallest map entry that names an actuator; 4096 marks a channel without one and does not count, so
// an unloaded map (all 4096) never shifts onto actuator 0.
uint32_t smallestEntry(const uint32_t* map, size_t n) {
    uint32_t smallest = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        if (map[i] != kUnmapped && map[i] < smallest) smallest = map[i];
    return smallest;
}

KRVRC setArray(DM* dm, const uint32_t* values, const uint32_t* map) {
    DMState& state = *dm->State;
    UsbRecord none;
    UsbRecord& record = usbRecord(state) ? *usbRecord(state) : none;
    if (!map) map = state.Map.data();
    const size_t n = state.Map.size();
    const uint32_t base = smallestEntry(map, n);
    const uint32_t actCount = dm->ActCount;

    // A code above 16 bits has no place in a channel block; cutting it would send another command than asked.
    uint32_t widest = 0;
    for (uint32_t i = 0; i < actCount; ++i) widest |= values[i];
    if (widest > 0xFFFFu) {
        KRV_LOG_ERROR(logger(), "Frame refused: a driver code is above 65535.");
        return ERR_BADARG;
    }

    HostDrvRef server;
    size_t first = 0;  // map entry of the unit's channel 0
    for (size_t k = 0; k < record.DeviceIds.size(); ++k) {
        const uint32_t channels = driverUnit(*dm, static_cast<uint32_t>(k)).ChannelCount;
        if (first + channels > n) return ERR_INVALID_LUT;
        if (record.ChannelBuffer.size() < channels) record.ChannelBuffer.resize(channels);
        uint16_t* block = record.ChannelBuffer.data();
        for (uint32_t c = 0; c < channels; ++c) {
            const uint32_t entry = map[first + c];
            if (entry == kUnmapped) {
                block[c] = 0;
                continue;
            }
            const uint32_t actuator = entry - base;
            if (actuator >= MAX_DM_SIZE) return ERR_INVALID_LUT;
            block[c] = (actuator < actCount && state.ActiveMask[actuator]) ? static_cast<uint16_t>(values[actuator]) : 0;
        }
        if (!server) {
            server = hostDrv();
            if (!server) return ERR_INIT_DRIVER;
        }
        const KRVRC rc = sendBlock(server.get(), record.DeviceIds[k], record.ChannelBuffer, channels);
        if (rc != NO_ERR) return rc;
        first += channels;
    }

    // A poke resends the applied frame itself, which must not be copied onto itself.
    if (values != state.AppliedFrame.data() && actCount != 0) {
        const uint32_t count = std::min<uint32_t>(actCount, static_cast<uint32_t>(state.AppliedFrame.size()));
        for (uint32_t i = 0; i < count; ++i)
            if (state.ActiveMask[i]) state.AppliedFrame[i] = values[i];
    }
    return NO_ERR;
}

KRVRC clearArray(DM* dm) {
    DMState& state = *dm->State;
    UsbRecord none;
    UsbRecord& record = usbRecord(state) ? *usbRecord(state) : none;
    HostDrvRef server;
    for (size_t k = 0; k < record.DeviceIds.size(); ++k) {
        const uint32_t channels = driverUnit(*dm, static_cast<uint32_t>(k)).ChannelCount;
        record.ChannelBuffer.assign(channels, 0);
        if (!server) {
            server = hostDrv();
            if (!server) return ERR_INIT_DRIVER;
        }
        const KRVRC rc = sendBlock(server.get(), record.DeviceIds[k], record.ChannelBuffer, channels);
        if (rc != NO_ERR) return rc;
    }
    state.AppliedFrame.assign(dm->ActCount, 0);
    return NO_ERR;
}

}  // namespace

KRVRC switchOff(const std::vector<uint32_t>& devices) {
    KRVRC rc = NO_ERR;
    HostDrvRef server = hostDrv();
    if (!server) return ERR_INIT_DRIVER;
    for (uint32_t device : devices) {
        LONG status = 0;
        const HRESULT hr = server->Dravix_SetControl(static_cast<LONG>(device), kCtlOutputsOff, &status);
        if (FAILED(hr)) {
            logServerFailure("Failure to switch off USB driver", hr);
            rc = ERR_UNKNOWN;
            continue;
        }
        if (rc == ERR_UNKNOWN) continue;
        if (status == kStatusNoDevice) rc = ERR_NO_HW;
        if (status == kStatusTransfer) rc = ERR_TIMEOUT;
    }
    releaseUnits(devices);
    return rc;
}

void releaseUnits(const std::vector<uint32_t>& devices) {
    HostDrvRef server = hostDrv();
    if (!server) return;
    for (uint32_t device : devices) {
        LONG status = 0;
        server->Dravix_SetControl(static_cast<LONG>(device), kCtlRelease, &status);
    }
}

}  // namespace MirrorKit::USB

using namespace MirrorKit;
using namespace MirrorKit::USB;

extern "C" KRVAPI KRVRC KRV_USBSetArray(DM* dm, const uint32_t* values, const uint32_t* map) {
    if (!dm || !dm->State) return ERR_DRIVER_NOT_OPEN;
    if (!values) return ERR_BADARG;
    return guarded(logger(), "KRV_USBSetArray", ERR_UNKNOWN, [&] { return setArray(dm, values, map); });
}

extern "C" KRVAPI KRVRC KRV_USBClearArray(DM* dm) {
    if (!dm || !dm->State) return ERR_DRIVER_NOT_OPEN;
    return guarded(logger(), "KRV_USBClearArray", ERR_UNKNOWN, [&] { return clearArray(dm); });
}

extern "C" KRVAPI KRVRC KRV_USBClose(DM* dm) {
    if (!dm) return ERR_BADARG;
    try {
        LOG4CXX_TRACE(logger(), "KRV_USBClose " << std::string(dm->SerialNumber, strnlen(dm->SerialNumber, 12)));
    } catch (...) {
        // Closing goes on without its trace line.
    }
    KRVRC rc = NO_ERR;
    if (dm->State) {
        KRV_USBClearArray(dm);
        UsbRecord* record = usbRecord(*dm->State);
        if (record && !record->DeviceIds.empty()) {
            std::vector<uint32_t>& devices = record->DeviceIds;
            rc = guarded(logger(), "KRV_USBClose", ERR_UNKNOWN, [&] { return switchOff(devices); });
            devices.clear();
        }
        if (dm->State->CalibrationDelete) dm->State->CalibrationDelete(dm);
        if (dm->State) {
            destroyDMState(dm->State);
            recordClosed();
        }
    }
    dm->State = nullptr;
    dm->DriverType = static_cast<DRVTYPE>(0);
    dm->DevId = 0;
    dm->ActCount = 0;
    dm->MaxVoltage = 0;
    std::fill(std::begin(dm->MappingFile), std::end(dm->MappingFile), '\0');
    dm->Driver.ChannelCount = 0;
    // The profile reader allocates the extra units with calloc.
    std::free(dm->ExtraDrivers);
    dm->ExtraDrivers = nullptr;
    return rc;
}
