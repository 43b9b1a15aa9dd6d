// Opening a USB mirror: finding each drive unit by its EEPROM serial number and bringing it up.
#include "UsbCommon.h"

#include "krv/DMState.h"
#include "krv/Encoding.h"
#include "krv/KRVApiImpl.h"
#include "krv/Log.h"

#include <algorithm>
#include <memory>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace MirrorKit::USB {
namespace {

// Ends the open with a code; carries nothing else, so the scan can stop from any depth.
struct OpenResult {
    KRVRC rc;
};

// Handles a negative status seen while scanning: a missing device is passed over and remembered as the
// pending result; anything else ends the open with its code.
void passOverOrFail(const char* what, long status, KRVRC& pending) {
    KRV_LOG_ERROR(logger(), what << ": " << status);
    if (status != kStatusNoDevice) throw OpenResult{statusResult(status)};
    pending = ERR_NO_HW;
}

long readWord(IHostDrv* server, long device, long statId, const char* what) {
    LONG value = 0;
    const HRESULT hr = server->Dravix_GetStatus(device, statId, &value);
    if (FAILED(hr)) {
        logServerFailure(what, hr);
        throw OpenResult{ERR_UNKNOWN};
    }
    return value;
}

// Reads a status item into a zeroed byte buffer of at least size bytes; the server writes through the status
// pointer, so the buffer is made of LONGs to keep it aligned.
std::vector<LONG> readBlock(IHostDrv* server, long device, long statId, size_t size, const char* what) {
    std::vector<LONG> buffer((size + sizeof(LONG) - 1) / sizeof(LONG) + 1, 0);
    const HRESULT hr = server->Dravix_GetStatus(device, statId, buffer.data());
    if (FAILED(hr)) {
        logServerFailure(what, hr);
        throw OpenResult{ERR_UNKNOWN};
    }
    return buffer;
}

std::string bytesAt(const std::vector<LONG>& buffer, size_t offset, size_t maxLength) {
    const char* bytes = reinterpret_cast<const char*>(buffer.data());
    const size_t total = buffer.size() * sizeof(LONG);
    if (offset >= total) return {};
    return std::string(bytes + offset, strnlen(bytes + offset, std::min(maxLength, total - offset)));
}

struct Scanner {
    IHostDrv* server;
    const std::vector<std::string>& wanted;
    std::vector<long>& found;
    KRVRC pending = NO_ERR;
    int lastMatched = -1;
    bool sharedSerial = false;  // two units answer to one wanted serial number

    // Looks at one listed slot; returns true when the scan is over. Every call after the first names the unit the
    // slot holds now by a handle bound to it, so that a unit replaced meanwhile is never taken for it.
    bool look(int slot) {
        const long i = readWord(server, slot, kStatUnitHandle, "Failure to get USB device handle");
        if (i < 0) {
            passOverOrFail("Failure to get USB device handle", i, pending);
            return false;
        }
        const std::vector<LONG> name = readBlock(server, i, kStatName, 256, "Failure to get USB device name");
        if (name[0] < 0) {
            passOverOrFail("Failure to get USB device name", name[0], pending);
            return false;
        }
        const long productId = readWord(server, i, kStatProductId, "Failure to get USB product ID");
        if (productId < 0) {
            passOverOrFail("Failure to get USB product ID", productId, pending);
            return false;
        }
        const long vendorId = readWord(server, i, kStatVendorId, "Failure to get USB vendor ID");
        if (vendorId < 0) {
            passOverOrFail("Failure to get USB vendor ID", vendorId, pending);
            return false;
        }
        KRV_LOG_DEBUG(logger(), "VID " << vendorId << " PID " << productId << " cDevName " << bytesAt(name, 0, 256));
        if (vendorId != kVendorId || (productId != kProductId160 && productId != kProductId32)) return false;

        const long eepromSize = readWord(server, i, kStatEepromSize, "Failure to get EEPROM size");
        LOG4CXX_TRACE(logger(), "EEPROM size: " << eepromSize);
        if (eepromSize < 0) {
            passOverOrFail("Failure to get EEPROM size", eepromSize, pending);
            return false;
        }
        if (eepromSize > 0) {
            // The server fills a whole 128-byte block whatever size it reports, so never pass less.
            const size_t size = std::max<size_t>(static_cast<size_t>(eepromSize), 128);
            const std::vector<LONG> external =
                readBlock(server, i, kStatExternalEeprom, size, "Failure to get External EEPROM data.");
            KRV_LOG_DEBUG(logger(), "External EEPROM SN: '" << bytesAt(external, 16, 4) << "'");
        }

        std::string serial;
        const std::vector<LONG> block = readBlock(server, i, kStatSerialNumber, 12, "Failure to get Internal EEPROM data");
        if (block[0] < 0) {
            KRV_LOG_DEBUG(logger(), "Failure to get Internal EEPROM data: " << block[0]);
            KRV_LOG_INFO(logger(), "Driver not ready for use with multiple devices. Please contact KRV to enable "
                                   "this functionality.");
            pending = statusResult(block[0]);
            if (block[0] == kStatusNoDevice) return false;
        } else {
            serial = bytesAt(block, 0, 12);
        }
        KRV_LOG_DEBUG(logger(), "EEPROM SN: '" << serial << "'");

        if (wanted.empty() || wanted[0].empty()) {
            KRV_LOG_DEBUG(logger(), "No driver SN in profile, skipping SN check.");
            found[0] = i;
            lastMatched = slot;
            return true;
        }
        if (!validSerialNumber(serial.c_str())) {
            KRV_LOG_DEBUG(logger(), "Driver SN is invalid.");
            return false;
        }
        for (size_t k = 0; k < wanted.size(); ++k) {
            if (wanted[k] == serial) {
                KRV_LOG_DEBUG(logger(), "Driver SN match.");
                // Frames could go to either unit: the mirror's unit is not known, and the open is refused.
                if (found[k] >= 0) {
                    KRV_LOG_ERROR(logger(), "USB devices " << found[k] << " and " << i << " both have serial number "
                                                           << serial << "; give each unit its own number.");
                    sharedSerial = true;
                }
                found[k] = i;
                lastMatched = slot;
                return false;
            }
        }
        KRV_LOG_DEBUG(logger(), "Driver SN does not match.");
        return false;
    }
};

// A unit that another process holds, or that left, ends the open with a code of its own.
void failIfHeldOrGone(long status, uint32_t unit) {
    if (status == kStatusBusy) {
        KRV_LOG_ERROR(logger(), "USB driver " << unit << " is in use by another program.");
        throw OpenResult{ERR_DRIVER_ALREADY_OPEN};
    }
    if (status == kStatusNoDevice) {
        KRV_LOG_ERROR(logger(), "USB driver " << unit << " is no longer connected.");
        throw OpenResult{ERR_NO_HW};
    }
}

// Reads the product id of a found unit, switches a 32-channel unit to its short frames and brings the unit's
// control lines up; returns the unit's channel count.
uint32_t bringUp(IHostDrv* server, long device, uint32_t unit, const DM& dm) {
    const long productId = readWord(server, device, kStatProductId, "Failure to get USB product ID");
    if (productId < 0) {
        KRV_LOG_ERROR(logger(), "Failure to get USB product ID: " << productId);
        throw OpenResult{statusResult(productId)};
    }
    uint32_t channels = 0;
    LONG status = 0;
    if (productId == kProductId32) {
        const HRESULT hr = server->Dravix_SetControl(device, kCtlPicoMode, &status);
        if (FAILED(hr)) {
            logServerFailure("Error setting Pico mode", hr);
            throw OpenResult{ERR_UNKNOWN};
        }
        failIfHeldOrGone(status, unit);
        channels = 32;
    } else if (productId == kProductId160) {
        channels = 160;
    }
    LOG4CXX_TRACE(logger(), "Driver " << unit << " has " << channels << " channels.");
    if (dm.DriverCount < 2 && channels < dm.ActCount)
        KRV_LOG_WARN(logger(), "DM Profile has " << dm.ActCount << " actuators but driver only has " << channels
                                                 << " channels!");
    // The units take frames only after these three lines are set, in this order; their statuses carry no
    // information the open could act on.
    for (long control : {static_cast<long>(kCtlLine02), static_cast<long>(kCtlLine82),
                         static_cast<long>(kCtlOutputsOn)}) {
        status = 0;
        const HRESULT hr = server->Dravix_SetControl(device, control, &status);
        if (FAILED(hr)) {
            logServerFailure("Error", hr);
            throw OpenResult{ERR_UNKNOWN};
        }
        failIfHeldOrGone(status, unit);
    }
    return channels;
}

// Finds and brings up the units; fills the channel counts and DevId. Returns the device of each unit.
KRVRC findUnits(DM* dm, std::vector<long>& found) {
    HostDrvRef server = hostDrv();
    if (!server) return ERR_INIT_DRIVER;

    LONG ids[kMaxDevices];
    LONG status = 0;
    const HRESULT hr = server->Dravix_GetAvailableDevices(ids, kMaxDevices, &status);
    if (FAILED(hr)) {
        logServerFailure("Failure to get available USB devices.", hr);
        return ERR_UNKNOWN;
    }
    int listed = 0;
    for (LONG id : ids) listed += id != -1 ? 1 : 0;
    KRV_LOG_DEBUG(logger(), listed << " USB devices installed.");

    const uint32_t units = dm->DriverCount == 0 ? 1 : dm->DriverCount;
    if (units > kMaxDevices) {
        KRV_LOG_WARN(logger(), "DM Profile names " << units << " drivers; at most " << kMaxDevices
                                                   << " USB devices are supported.");
        return ERR_NO_HW;
    }

    std::vector<std::string> wanted;
    for (uint32_t k = 0; k < units; ++k) {
        const char* sn = driverUnit(*dm, k).SerialNumber;
        if (validSerialNumber(sn)) {
            KRV_LOG_INFO(logger(), "Enumerating devices, looking for SN: " << std::string(sn, 11));
            wanted.emplace_back(sn, 11);
        } else if (units > 1) {
            KRV_LOG_WARN(logger(), "Driver SN must be specified for all drivers.");
            return ERR_SERIAL_NUMBER;
        } else {
            KRV_LOG_INFO(logger(), "No driver SN in profile, looking for any connected device.");
            wanted.emplace_back();
        }
    }
    for (uint32_t k = 1; k < units; ++k)
        if (!wanted[k].empty() && wanted[k] == wanted[0]) {
            KRV_LOG_ERROR(logger(), "DM Profile names serial number " << wanted[0] << " for two drivers.");
            return ERR_SERIAL_NUMBER;
        }
    found.assign(units, -1);

    Scanner scanner{server.get(), wanted, found};
    for (int i = 0; i < kMaxDevices; ++i) {
        if (ids[i] == -1) continue;
        if (scanner.look(i)) break;
    }

    if (scanner.sharedSerial) return ERR_SERIAL_NUMBER;
    for (uint32_t k = 0; k < units; ++k) {
        if (found[k] < 0) {
            KRV_LOG_WARN(logger(), "Specified USB DM device not found or busy.");
            dm->ActCount = 0;
            return scanner.pending != NO_ERR ? scanner.pending : ERR_NO_HW;
        }
    }
    dm->DevId = scanner.lastMatched;

    // A unit that fails to come up ends the open; the units brought up before it are switched off again.
    for (uint32_t k = 0; k < units; ++k) {
        try {
            driverUnit(*dm, k).ChannelCount = bringUp(server.get(), found[k], k, *dm);
        } catch (...) {
            switchOff(std::vector<uint32_t>(found.begin(), found.begin() + k));
            releaseUnits(std::vector<uint32_t>(found.begin() + k, found.end()));
            throw;
        }
    }
    return NO_ERR;
}

// Working state, default map, common steps and inactive actuators; may throw.
KRVRC finishOpen(DM* dm, const std::vector<long>& found) {
    dm->State = createDMState(*dm);
    recordOpened();
    DMState& state = *dm->State;
    auto record = std::make_unique<UsbRecord>();
    record->DeviceIds.assign(found.begin(), found.end());
    record->ChannelBuffer.assign(std::max(dm->ActCount, dm->Driver.ChannelCount), 0);
    attachRecord(state, std::move(record));

    if (dm->MappingFile[0] == '\0') {
        KRV_LOG_WARN(logger(), "No default mapping specified.");
    } else if (KRVLoadMapImpl(dm->MappingFile, state.Map.data(), state.Map.size()) != NO_ERR) {
        KRV_LOG_WARN(logger(), "Error loading default mapping: " << dm->MappingFile);
    }
    KRV_LOG_WARN(logger(), "Load a mapping file using KRVLoadMap to enable control.");

    const KRVRC rc = KRVOpenCommon(dm);

    // bitset::reset throws std::out_of_range for an index past the last actuator bit; the caller closes.
    for (size_t j = 0; j < MAX_DM_SIZE && dm->InactiveActuators[j] != kInactiveTerminator; ++j)
        state.ActiveMask.reset(decodeValue(dm->InactiveActuators[j]));
    return rc;
}

}  // namespace
}  // namespace MirrorKit::USB

using namespace MirrorKit;
using namespace MirrorKit::USB;

extern "C" KRVAPI KRVRC KRV_USBOpenDM(DM* dm) {
    if (!dm) return ERR_BADARG;
    dm->Driver.ChannelCount = 0;
    dm->State = nullptr;
    if (dm->DevId == KRV_DEV_ID_QUERY_PROFILE) return ERR_NO_HW;

    std::vector<long> found;
    try {
        if (comInit() < 0) return ERR_INIT_DRIVER;
        const KRVRC rc = findUnits(dm, found);
        if (rc != NO_ERR) return rc;
    } catch (const OpenResult& result) {
        return result.rc;
    } catch (const std::bad_alloc& e) {
        KRV_LOG_ERROR(logger(), e.what());
        return ERR_MALLOC;
    } catch (const std::exception& e) {
        KRV_LOG_ERROR(logger(), "In KRV_USBOpenDM: " << e.what());
        return ERR_INIT_DRIVER;
    } catch (...) {
        KRV_LOG_ERROR(logger(), "Unknown exception in KRV_USBOpenDM()");
        return ERR_INIT_DRIVER;
    }

    // Every unit is switched on by now, so a failure from here closes the record, which switches them off.
    KRVRC rc;
    try {
        return finishOpen(dm, found);
    } catch (const std::bad_alloc& e) {
        KRV_LOG_ERROR(logger(), e.what());
        rc = ERR_MALLOC;
    } catch (const std::exception& e) {
        KRV_LOG_ERROR(logger(), "In KRV_USBOpenDM: " << e.what());
        rc = ERR_INIT_DRIVER;
    } catch (...) {
        KRV_LOG_ERROR(logger(), "Unknown exception in KRV_USBOpenDM()");
        rc = ERR_INIT_DRIVER;
    }
    KRV_USBClose(dm);
    return rc;
}
