// The back end's process-wide COM state and its one host-driver server instance.
#include "UsbCommon.h"

#include "krv/Backend.h"
#include "krv/DMState.h"
#include "krv/Log.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace MirrorKit::USB {
namespace {

// Not yet initialised; any negative value would do, this one reads "element not found".
constexpr HRESULT kNotInitialised = (HRESULT)0x80070490u;

struct SharedState {
    // Two threads opening their first mirror at once must not both initialise COM or create two servers.
    std::mutex lock;
    HRESULT comResult = kNotInitialised;
    IHostDrv* server = nullptr;  // the one reference this library holds
    unsigned openRecords = 0;
    bool exitHookRegistered = false;
};

// Never destroyed: the exit hook runs after static destructors may have started.
SharedState& shared() {
    static SharedState* state = new SharedState;
    return *state;
}

// Lets go of the server and of COM when the library unloads or the process ends. Registered after the server
// library has loaded, so it runs before that library's own static objects are destroyed.
void releaseAtExit() {
    SharedState& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.server) std::exchange(s.server, nullptr)->Release();
    if (s.comResult >= 0) {
        CoUninitialize();
        s.comResult = kNotInitialised;
    }
}

void registerExitHook(SharedState& s) {
    // Each registration may come after another library load; the hook is idempotent.
    std::atexit(releaseAtExit);
    s.exitHookRegistered = true;
}

const char* const kNotRegistered =
    "The CHostDrv class is not registered.  Use regsvr32.exe to register Dravix.dll";

HRESULT comInitLocked(SharedState& s) {
    if (s.comResult >= 0) return 0;
    s.comResult = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (s.comResult >= 0) {
        if (!s.exitHookRegistered) registerExitHook(s);
        return 0;
    }
    if (s.comResult == REGDB_E_CLASSNOTREG)
        KRV_LOG_ERROR(logger(), kNotRegistered);
    else
        KRV_LOG_ERROR(logger(), "Error initializing driver: " << hresultText(s.comResult));
    return s.comResult;
}

}  // namespace

log4cxx::LoggerPtr logger() {
    // Never destroyed: a mirror may still be closed while the process exits.
    static const log4cxx::LoggerPtr* usb = new log4cxx::LoggerPtr(Log::get("KRV.USB"));
    return *usb;
}

HRESULT comInit() {
    SharedState& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    return comInitLocked(s);
}

HostDrvRef hostDrv() {
    SharedState& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.server) {
        void* object = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_CHostDrv, nullptr, CLSCTX_INPROC, IID_IHostDrv, &object);
        if (hr == CO_E_NOTINITIALIZED && SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
            // COM is initialised once per process, on the thread that opened first; a server created later
            // on another thread (a first open that lost the race, or after a release) initialises that thread
            // for the rest of its life.
            hr = CoCreateInstance(CLSID_CHostDrv, nullptr, CLSCTX_INPROC, IID_IHostDrv, &object);
        }
        if (FAILED(hr) || !object) {
            if (hr == REGDB_E_CLASSNOTREG)
                KRV_LOG_ERROR(logger(), kNotRegistered);
            else
                KRV_LOG_ERROR(logger(), "Error creating CHostDrv Object (Dravix.dll): " << hresultText(hr));
            return {};
        }
        s.server = static_cast<IHostDrv*>(object);
        registerExitHook(s);
    }
    s.server->AddRef();
    return HostDrvRef::adopt(s.server);
}

KRVRC statusResult(long status) {
    if (status >= 0) return NO_ERR;
    if (status == kStatusTransfer) return ERR_TIMEOUT;
    if (status == kStatusNoDevice) return ERR_NO_HW;
    if (status == kStatusBusy) return ERR_DRIVER_ALREADY_OPEN;
    return ERR_USB_OTHER;
}

std::string hresultText(HRESULT hr) { return com::errorMessage(hr); }

void logServerFailure(const char* what, HRESULT hr) {
    KRV_LOG_ERROR(logger(), what << ": " << hresultText(hr));
}

bool validSerialNumber(const char* sn) {
    if (!sn || strnlen(sn, KRV_SERIAL_NUMBER_LEN + 1) != KRV_SERIAL_NUMBER_LEN) return false;
    for (int i = 0; i < KRV_SERIAL_NUMBER_LEN; ++i)
        if (!std::isprint(static_cast<unsigned char>(sn[i]))) return false;
    return true;
}

UsbRecord* usbRecord(const DMState& state) {
    return state.Owner == KRV_Priv_USBBackend() ? static_cast<UsbRecord*>(state.BackendState) : nullptr;
}

void attachRecord(DMState& state, std::unique_ptr<UsbRecord> record) {
    state.Owner = KRV_Priv_USBBackend();
    state.BackendState = record.release();
}

void recordOpened() {
    SharedState& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.openRecords;
}

void recordClosed() {
    SharedState& s = shared();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.openRecords > 0) --s.openRecords;
}

}  // namespace MirrorKit::USB

extern "C" KRVAPI KRVRC KRV_USBReleaseHostDriver(void) {
    using namespace MirrorKit::USB;
    SharedState& s = shared();
    IHostDrv* server = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.openRecords > 0) return ERR_DRIVER_ALREADY_OPEN;
        server = std::exchange(s.server, nullptr);
    }
    // Outside the lock: the final release stops the server's worker and closes its devices.
    if (server) server->Release();
    return NO_ERR;
}
