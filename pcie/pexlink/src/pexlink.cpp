// pexlink: card transfers through the device I/O layer, serialised system-wide by one named lock.
#include <pexlink.h>

#include "krv/platform/device_io.h"
#include "krv/platform/named_lock.h"
#include "krv/platform/timing.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

using MirrorKit::platform::DeviceHandle;
using MirrorKit::platform::NamedLock;

namespace {

// The process's handle of the lock. Every user takes its own reference for the length of its call, so that
// PEXCleanUp or a second PEXInit on another thread never frees a handle that a call is still using.
// The holder itself is never destroyed: the unload hook below calls PEXCleanUp after the library's static objects
// are gone when the process ends (as it does for a library loaded with dlopen), and must still find it.
alignas(std::shared_ptr<NamedLock>) unsigned char g_lockStorage[sizeof(std::shared_ptr<NamedLock>)];

std::shared_ptr<NamedLock>& lockHolder() {
    static std::shared_ptr<NamedLock>* holder = new (g_lockStorage) std::shared_ptr<NamedLock>;
    return *holder;
}

std::shared_ptr<NamedLock> currentLock() { return std::atomic_load(&lockHolder()); }

// The name the last PEXInit asked for and what became of it, for PEXLockStatus. Built on first use, as PEXInit
// runs from the load-time constructor, possibly before the globals of this library are initialised.
struct InitRecord {
    std::mutex mutex;
    std::string name = PEX_LOCK_NAME;
    int error = 0;
};
InitRecord& initRecord() {
    static InitRecord record;
    return record;
}
uint16_t g_loadCount = 0;

// Used by every locked transfer, and only while the lock is held.
PexRequest g_request;
PexReply g_reply;
uint32_t g_transferred;

struct DeviceName {
    char text[32];
    explicit DeviceName(int32_t card) { std::snprintf(text, sizeof text, "%s%ld", PEX_DEVICE_STEM, long(card)); }
};

// One device-control transfer on an open card; the result is the system error, the driver status, or 0.
uint32_t transferOn(const DeviceHandle& device, PexRequest& request, PexReply& reply, uint32_t address,
                    void* buffer, uint32_t count, uint32_t command, uint32_t* transferred) {
    request.Address = address;
    request.Reserved = 0;
    request.Buffer = uint64_t(uintptr_t(buffer));
    request.Count = count;
    request.Command = command;
    uint32_t returned = 0, error = 0;
    if (!MirrorKit::platform::deviceControl(device, IOCTL_PEX_TRANSFER, &request, sizeof request, &reply,
                                            sizeof reply, &returned, &error))
        return error;
    if (reply.Status == 0) *transferred = reply.Transferred;
    return reply.Status;
}

// Releases the lock on every way out; the result of a failed release replaces the transfer's.
class LockHold {
public:
    explicit LockHold(NamedLock* lock) : lock_(lock) {}
    ~LockHold() {
        if (lock_) lock_->release();
    }
    uint32_t release(uint32_t result) {
        NamedLock* lock = lock_;
        lock_ = nullptr;
        return lock->release() ? result : PEX_ERR_MUTEX_RELEASE;
    }

private:
    NamedLock* lock_;
};

// Waits for the lock. An abandoned lock is handed on at once: the caller is told (and sends nothing), and the
// next caller finds the lock free and consistent instead of owned by a thread that will not release it.
uint32_t waitForLock(NamedLock* lock) {
    if (!lock) return PEX_ERR_MUTEX_WAIT;
    switch (lock->acquire(PEX_LOCK_TIMEOUT_MS)) {
    case NamedLock::Wait::Acquired: return PEX_SUCCESS;
    case NamedLock::Wait::TimedOut: return PEX_ERR_MUTEX_TIMEOUT;
    case NamedLock::Wait::Abandoned: lock->release(); return PEX_ERR_MUTEX_ABANDONED;
    case NamedLock::Wait::Failed: break;
    }
    return PEX_ERR_MUTEX_WAIT;
}

uint32_t lockedTransfer(int32_t card, uint32_t address, void* buffer, uint32_t count, uint32_t command) {
    DeviceName name(card);
    const std::shared_ptr<NamedLock> lock = currentLock();
    uint32_t result = waitForLock(lock.get());
    if (result != PEX_SUCCESS) return result;
    LockHold hold(lock.get());
    DeviceHandle device;
    uint32_t error = 0;
    if (!MirrorKit::platform::deviceOpen(name.text, &device, &error)) {
        result = PEX_ERR_OPEN;
    } else {
        result = transferOn(device, g_request, g_reply, address, buffer, count, command, &g_transferred);
        MirrorKit::platform::deviceClose(&device);
    }
    return hold.release(result);
}

uint32_t unlockedTransfer(int32_t card, uint32_t address, void* buffer, uint32_t count, uint32_t command) {
    DeviceName name(card);
    DeviceHandle device;
    uint32_t error = 0;
    if (!MirrorKit::platform::deviceOpen(name.text, &device, &error)) return PEX_ERR_OPEN;
    PexRequest request;
    PexReply reply;
    uint32_t transferred = 0;
    uint32_t result = transferOn(device, request, reply, address, buffer, count, command, &transferred);
    MirrorKit::platform::deviceClose(&device);
    return result;
}

// Driver information of one card (its own records, no lock).
uint32_t driverInfo(int32_t card, PexDriverInfo* info) {
    DeviceName name(card);
    DeviceHandle device;
    uint32_t error = 0;
    if (!MirrorKit::platform::deviceOpen(name.text, &device, &error)) return PEX_ERR_OPEN;
    unsigned char input[PEX_DRIVER_INFO_INPUT_SIZE] = {};
    uint32_t returned = 0;
    uint32_t result = PEX_SUCCESS;
    if (!MirrorKit::platform::deviceControl(device, IOCTL_PEX_DRIVER_INFO, input, sizeof input, info,
                                            sizeof *info, &returned, &error))
        result = error;
    MirrorKit::platform::deviceClose(&device);
    return result;
}

void markExpired(void* flag) { static_cast<std::atomic<int>*>(flag)->store(1); }

// Sets or clears bits, then reads until they all show the wanted state or the time-out timer fires.
uint32_t changeBitsAndWait(int32_t card, uint32_t address, uint32_t bits, uint32_t timeoutMs, bool set) {
    uint32_t value = 0;
    uint32_t result = lockedTransfer(card, address, &value, 1, PEX_CMD_READ);
    if (result != PEX_SUCCESS) return result;
    value = set ? (value | bits) : (value & ~bits);
    result = lockedTransfer(card, address, &value, 1, PEX_CMD_WRITE);
    if (result != PEX_SUCCESS) return result;
    auto reached = [&] { return set ? (value & bits) == bits : (value & bits) == 0; };
    std::atomic<int> expired{0};
    MirrorKit::platform::OneShotTimer timer;
    if (!timer.start(timeoutMs, markExpired, &expired)) return PEX_ERR_TIMER;
    // No pause between reads: the time-out alone bounds the loop. The first test sees the value just written,
    // so a time-out that has already passed ends the call on that value without a read.
    while (!expired.load()) {
        result = lockedTransfer(card, address, &value, 1, PEX_CMD_READ);
        if (result != PEX_SUCCESS) {
            timer.cancel();
            return result;
        }
        if (reached()) break;
    }
    // cancel() waits for a running callback, so `expired` is never written after this call returns.
    timer.cancel();
    return reached() ? PEX_SUCCESS : PEX_ERR_WAIT_TIMEOUT;
}

uint32_t readModifyWrite(int32_t card, uint32_t address, uint32_t bits, bool set) {
    uint32_t value = 0;
    uint32_t result = lockedTransfer(card, address, &value, 1, PEX_CMD_READ);
    if (result != PEX_SUCCESS) return result;
    value = set ? (value | bits) : (value & ~bits);
    return lockedTransfer(card, address, &value, 1, PEX_CMD_WRITE);
}

// Exceptions never leave an export; the device layer does not throw, so this only guards the unexpected.
template <typename F>
uint32_t guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return PEX_ERR_OPEN;
    }
}

}  // namespace

extern "C" {

PEXAPI uint32_t PEXInit(void) {
    try {
        int error = 0;
        const std::string name = NamedLock::defaultName();
        std::unique_ptr<NamedLock> lock = NamedLock::open(name, &error);
        {
            InitRecord& record = initRecord();
            std::lock_guard<std::mutex> hold(record.mutex);
            record.name = name;
            record.error = lock ? 0 : error;
        }
        if (!lock) return PEX_ERR_INIT;
        // A second PEXInit replaces the handle (and so follows a changed lock name) instead of leaking it.
        std::atomic_store(&lockHolder(), std::shared_ptr<NamedLock>(std::move(lock)));
        return PEX_SUCCESS;
    } catch (...) {
        return PEX_ERR_INIT;
    }
}

PEXAPI void PEXCleanUp(void) { std::atomic_store(&lockHolder(), std::shared_ptr<NamedLock>()); }

PEXAPI uint32_t PEXLockStatus(char* text, uint32_t size) {
    try {
        std::string name;
        int initError = 0;
        {
            InitRecord& record = initRecord();
            std::lock_guard<std::mutex> hold(record.mutex);
            name = record.name;
            initError = record.error;
        }
        const bool held = currentLock() != nullptr;
        const NamedLock::Info info = NamedLock::inspect(name);
        std::string line;
        if (held) {
            line = "PCIe transfer lock " + NamedLock::describe(info);
        } else if (info.openError != 0) {
            line = NamedLock::explainFailure(info);
        } else if (initError != 0) {
            // Mended since this process tried: it can be opened now.
            line = "the PCIe transfer lock " + NamedLock::describe(info) + " could not be opened when this program "
                   "started (" + std::strerror(initError) + ") -- start the program again";
        } else {
            line = "the PCIe transfer lock " + NamedLock::describe(info) + " is not open in this program (PEXInit "
                   "has not run, or PEXCleanUp closed it)";
        }
        if (text && size > 0) {
            const size_t n = std::min<size_t>(line.size(), size - 1);
            std::memcpy(text, line.data(), n);
            text[n] = '\0';
        }
        return held ? PEX_SUCCESS : PEX_ERR_INIT;
    } catch (...) {
        if (text && size > 0) text[0] = '\0';
        return PEX_ERR_INIT;
    }
}

PEXAPI uint32_t GetNumDevices(int16_t* count) {
    if (!count) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        int16_t found = 0;
        for (int32_t card = 1; card <= PEX_MAX_CARDS; ++card) {
            DeviceName name(card);
            DeviceHandle device;
            uint32_t error = 0;
            if (!MirrorKit::platform::deviceOpen(name.text, &device, &error)) break;
            MirrorKit::platform::deviceClose(&device);
            ++found;
        }
        *count = found;
        return PEX_SUCCESS;
    });
}

PEXAPI uint32_t GetSWRev(uint32_t* revision) {
    if (!revision) return PEX_ERR_NULL_ARG;
    *revision = PEX_SW_REVISION;
    return PEX_SUCCESS;
}

PEXAPI uint32_t GetDrvSWRev(uint32_t* revision) {
    if (!revision) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        *revision = 0;
        DeviceName name(1);
        DeviceHandle device;
        uint32_t error = 0;
        if (!MirrorKit::platform::deviceOpen(name.text, &device, &error)) return PEX_ERR_OPEN;
        uint32_t value = 0, returned = 0, result = PEX_SUCCESS;
        if (MirrorKit::platform::deviceControl(device, IOCTL_PEX_DRIVER_REV, nullptr, 0, &value, sizeof value,
                                               &returned, &error))
            *revision = value;
        else
            result = error;
        MirrorKit::platform::deviceClose(&device);
        return result;
    });
}

PEXAPI uint32_t GetDriverInfo(int32_t card) {
    return guarded([&] {
        PexDriverInfo info;
        return driverInfo(card, &info);
    });
}

PEXAPI uint32_t GetPCIAddress(int32_t card, uint32_t index, uint64_t* address) {
    if (!address) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        PexDriverInfo info;
        uint32_t result = driverInfo(card, &info);
        if (result != PEX_SUCCESS) return result;
        const uint64_t base = uint64_t(info.BaseAddressHigh) << 32 | info.BaseAddressLow;
        // The offset is a 32-bit product, as the driver's window is far below 4 GiB.
        *address = base + uint32_t(4u * index);
        return PEX_SUCCESS;
    });
}

PEXAPI uint32_t ReadReg(int32_t card, uint32_t address, uint32_t* value) {
    if (!value) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        uint32_t word = 0;
        uint32_t result = lockedTransfer(card, address, &word, 1, PEX_CMD_READ);
        if (result == PEX_SUCCESS) *value = word;
        return result;
    });
}

PEXAPI uint32_t WriteReg(int32_t card, uint32_t address, uint32_t value) {
    return guarded([&] { return lockedTransfer(card, address, &value, 1, PEX_CMD_WRITE); });
}

PEXAPI uint32_t ReadMem(int32_t card, uint32_t address, uint32_t alternate, uint32_t count, uint32_t* buffer) {
    if (!buffer) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        return lockedTransfer(card, address, buffer, count, alternate ? PEX_CMD_READ_ALT : PEX_CMD_READ);
    });
}

PEXAPI uint32_t WriteMem(int32_t card, uint32_t address, uint32_t alternate, uint32_t count,
                         const uint32_t* buffer) {
    if (!buffer) return PEX_ERR_NULL_ARG;
    // The driver only reads the buffer of a write; the request has no const pointer.
    return guarded([&] {
        return lockedTransfer(card, address, const_cast<uint32_t*>(buffer), count,
                              alternate ? PEX_CMD_WRITE_ALT : PEX_CMD_WRITE);
    });
}

PEXAPI uint32_t WriteMemBurst(int32_t card, uint32_t address, uint32_t count, const uint32_t* buffer) {
    if (!buffer) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        return lockedTransfer(card, address, const_cast<uint32_t*>(buffer), count, PEX_CMD_WRITE_BURST);
    });
}

PEXAPI uint32_t ReadConfigReg(int32_t card, uint32_t address, uint32_t* value) {
    if (!value) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        uint32_t word = 0;
        uint32_t result = lockedTransfer(card, address, &word, 1, PEX_CMD_CFG_READ);
        if (result == PEX_SUCCESS) *value = word;
        return result;
    });
}

PEXAPI uint32_t WriteConfigReg(int32_t card, uint32_t address, uint32_t value) {
    return guarded([&] { return lockedTransfer(card, address, &value, 1, PEX_CMD_CFG_WRITE); });
}

PEXAPI uint32_t SetBits(int32_t card, uint32_t address, uint32_t bits) {
    return guarded([&] { return readModifyWrite(card, address, bits, true); });
}

PEXAPI uint32_t ClearBits(int32_t card, uint32_t address, uint32_t bits) {
    return guarded([&] { return readModifyWrite(card, address, bits, false); });
}

PEXAPI uint32_t SetBitsWait(int32_t card, uint32_t address, uint32_t bits, uint32_t timeoutMs) {
    return guarded([&] { return changeBitsAndWait(card, address, bits, timeoutMs, true); });
}

PEXAPI uint32_t ClearBitsWait(int32_t card, uint32_t address, uint32_t bits, uint32_t timeoutMs) {
    return guarded([&] { return changeBitsAndWait(card, address, bits, timeoutMs, false); });
}

PEXAPI uint32_t ReadRegNoMutex(int32_t card, uint32_t address, uint32_t* value) {
    if (!value) return PEX_ERR_NULL_ARG;
    return guarded([&] {
        uint32_t word = 0;
        uint32_t result = unlockedTransfer(card, address, &word, 1, PEX_CMD_READ);
        if (result == PEX_SUCCESS) *value = word;
        return result;
    });
}

PEXAPI uint32_t WriteRegNoMutex(int32_t card, uint32_t address, uint32_t value) {
    return guarded([&] { return unlockedTransfer(card, address, &value, 1, PEX_CMD_WRITE); });
}

PEXAPI uint32_t AcquireMutex(void) { return guarded([] { return waitForLock(currentLock().get()); }); }

PEXAPI uint32_t MutexRelease(void) {
    const std::shared_ptr<NamedLock> lock = currentLock();
    return lock && lock->release() ? PEX_SUCCESS : PEX_ERR_MUTEX_RELEASE;
}

}  // extern "C"

// The load counter runs PEXInit with the first load of the library and PEXCleanUp with the last unload.
__attribute__((constructor)) static void pexlinkLoaded() {
    if (g_loadCount == 0) PEXInit();
    ++g_loadCount;
}

__attribute__((destructor)) static void pexlinkUnloaded() {
    if (--g_loadCount == 0) PEXCleanUp();
}
