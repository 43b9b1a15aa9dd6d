// A scripted stand-in for the host-driver server: slots with chosen identities and answers, injected call
// failures, and a record of every call, so the back end's failure paths can be driven without devices.
#pragma once

#include "krv/dravix/IHostDrv.h"

#include <cstdint>
#include <string>
#include <vector>

#define FAKE_HOSTDRV_API __attribute__((visibility("default")))

namespace MirrorKit::USB::fake {

struct Slot {
    bool present = false;
    LONG vendorId = 0x1781;
    LONG productId = 0x0ED8;
    std::string name = "Fake Drive Unit";
    LONG nameStatus = 0;         // negative: Dravix_GetStatus 0 answers it instead of the name
    LONG eepromSize = 128;
    std::string serial;          // what Dravix_GetStatus 8 answers
    LONG serialStatus = 0;       // negative: answered instead of the serial number
    LONG frameStatus = 0;        // status of every frame transfer
    LONG controlStatus = 0;      // status of control codes 0..9
    HRESULT controlFailure = S_OK;  // returned by every Dravix_SetControl on this slot when not S_OK
};

struct Call {
    std::string method;
    LONG device = 0;
    LONG id = 0;                 // status or control id
    std::vector<uint8_t> data;   // frame bytes
};

// Clears every slot, failure and record.
FAKE_HOSTDRV_API void reset();
FAKE_HOSTDRV_API Slot& slot(int device);
// Makes the named method (e.g. "Dravix_SetControl") return hr from now on; S_OK stops the failure.
FAKE_HOSTDRV_API void failMethod(const std::string& method, HRESULT hr);
FAKE_HOSTDRV_API std::vector<Call> calls();
// Server objects created since the last reset, and those still alive.
FAKE_HOSTDRV_API int objectsCreated();
FAKE_HOSTDRV_API int objectsAlive();

}  // namespace MirrorKit::USB::fake
