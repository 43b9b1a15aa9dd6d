// Pieces shared by the USB back end's sources: the host-driver server binding, status mapping, logging.
#pragma once

#include "KRV_USB.h"

#include "HostDrvRef.h"

#include <log4cxx/logger.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct DMState;

namespace MirrorKit::USB {

// What the USB back end keeps for one open record beside the shared DMState.
struct UsbRecord {
    std::vector<uint32_t> DeviceIds;      // host-driver device index of each unit, in unit order
    std::vector<uint16_t> ChannelBuffer;  // one unit's block of channel values
};

// The USB part of a record's state; null for a state the USB back end did not create.
UsbRecord* usbRecord(const DMState& state);
// Hands record to state; the back end's table frees it with the state.
void attachRecord(DMState& state, std::unique_ptr<UsbRecord> record);

// Identity of the drive units and of the server's status words.
constexpr long kVendorId = 0x1781;
constexpr long kProductId160 = 0x0ED8;
constexpr long kProductId32 = 0x0ED9;
constexpr int kMaxDevices = 32;

enum StatusId : long {
    kStatName = 0,
    kStatVendorId = 1,
    kStatProductId = 2,
    kStatEepromSize = 6,
    kStatExternalEeprom = 7,
    kStatSerialNumber = 8,
    kStatUnitHandle = 9,
};

enum ControlId : long {
    kCtlLine82 = 2,
    kCtlLine02 = 3,
    kCtlOutputsOn = 4,
    kCtlOutputsOff = 5,
    kCtlPicoMode = 10,
    kCtlWriteSerial = 11,
    kCtlRelease = 12,
};

// Server status values.
constexpr long kStatusNoDevice = -1;
constexpr long kStatusTransfer = -4;
constexpr long kStatusBusy = -5;  // another process holds the unit

log4cxx::LoggerPtr logger();  // "KRV.USB"

// Makes sure COM is initialised for the process; 0, or the failing HRESULT (logged).
HRESULT comInit();
// The process-wide server instance, created on first use; empty (and logged) when it cannot be created.
HostDrvRef hostDrv();

// A server status value as a result code: non-negative NO_ERR, -4 ERR_TIMEOUT, -1 ERR_NO_HW, -5 (another process
// holds the unit) ERR_DRIVER_ALREADY_OPEN, else ERR_USB_OTHER.
KRVRC statusResult(long status);
// The message text of an HRESULT, for log lines.
std::string hresultText(HRESULT hr);
// Logs "<what>: <text of hr>" at error level.
void logServerFailure(const char* what, HRESULT hr);

// Sends the closing control code (outputs off) to every device, whatever happens to the others, then gives each
// unit back to other processes: ERR_UNKNOWN when a call failed, else ERR_NO_HW or ERR_TIMEOUT for a unit that is
// gone or did not answer, else NO_ERR. Devices are the unit handles an open record keeps.
KRVRC switchOff(const std::vector<uint32_t>& devices);
// Gives units back to other processes without switching them off (units a failed open looked at).
void releaseUnits(const std::vector<uint32_t>& devices);

// Exactly 11 printable characters (looking at no more than 12).
bool validSerialNumber(const char* sn);

// Open-record bookkeeping, so the shared server is not released under an open mirror.
void recordOpened();
void recordClosed();

}  // namespace MirrorKit::USB
