// Reading and writing the serial number held in a drive unit's EEPROM.
#include "UsbCommon.h"

#include "krv/DMState.h"
#include "krv/Log.h"

#include <cstring>
#include <new>

namespace MirrorKit::USB {
namespace {

HostDrvRef serverFor(KRVRC& rc) {
    rc = ERR_INIT_DRIVER;
    if (comInit() < 0) return {};
    HostDrvRef server = hostDrv();
    if (server) rc = NO_ERR;
    return server;
}

// The device a record names: while the record is open, the handle bound to its unit in slot DevId, so that a unit
// that left is never mistaken for the one that took its slot; else the slot DevId itself.
LONG deviceOf(const DM& dm) {
    if (const UsbRecord* record = dm.State ? usbRecord(*dm.State) : nullptr) {
        for (uint32_t handle : record->DeviceIds)
            if (static_cast<int32_t>(handle < 256 ? handle : handle % 256 - 128) == dm.DevId)
                return static_cast<LONG>(handle);
    }
    return dm.DevId;
}

}  // namespace

KRVRC ReadDriverSN(DM* dm) {
    if (!dm) return ERR_BADARG;
    try {
        KRVRC rc;
        HostDrvRef server = serverFor(rc);
        if (!server) return rc;
        // 12 bytes: the server writes 11 characters and leaves the zero after them.
        LONG block[3] = {0, 0, 0};
        const HRESULT hr = server->Dravix_GetStatus(deviceOf(*dm), kStatSerialNumber, block);
        if (FAILED(hr)) {
            logServerFailure("Failure to get Internal EEPROM data", hr);
            return ERR_UNKNOWN;
        }
        if (block[0] < 0) {
            KRV_LOG_ERROR(logger(), "Failure to get Internal EEPROM data: " << block[0]);
            return statusResult(block[0]);
        }
        std::memcpy(dm->Driver.SerialNumber, block, KRV_SERIAL_NUMBER_LEN);
        dm->Driver.SerialNumber[KRV_SERIAL_NUMBER_LEN] = '\0';
        return NO_ERR;
    } catch (const std::bad_alloc& e) {
        KRV_LOG_ERROR(logger(), e.what());
        return ERR_MALLOC;
    } catch (...) {
        KRV_LOG_ERROR(logger(), "Unknown exception in ReadDriverSN()");
        return ERR_UNKNOWN;
    }
}

KRVRC WriteDriverSN(DM* dm) {
    if (!dm) return ERR_BADARG;
    try {
        KRVRC rc;
        HostDrvRef server = serverFor(rc);
        if (!server) return rc;
        // The server reads the number from the status buffer and leaves it unchanged on success, so its first
        // four characters then read as a non-negative status.
        LONG block[3] = {0, 0, 0};
        std::memcpy(block, dm->Driver.SerialNumber, KRV_SERIAL_NUMBER_LEN);
        const HRESULT hr = server->Dravix_SetControl(deviceOf(*dm), kCtlWriteSerial, block);
        if (FAILED(hr)) {
            logServerFailure("Failure to write Internal EEPROM data", hr);
            return ERR_UNKNOWN;
        }
        if (block[0] < 0) {
            KRV_LOG_ERROR(logger(), "Failure to write Internal EEPROM data: " << block[0]);
            return statusResult(block[0]);
        }
        return NO_ERR;
    } catch (const std::bad_alloc& e) {
        KRV_LOG_ERROR(logger(), e.what());
        return ERR_MALLOC;
    } catch (...) {
        KRV_LOG_ERROR(logger(), "Unknown exception in WriteDriverSN()");
        return ERR_UNKNOWN;
    }
}

}  // namespace MirrorKit::USB
