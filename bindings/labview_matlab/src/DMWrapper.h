// One mirror behind a handle of the LabVIEW and MATLAB interfaces, and the process-wide table of them.
#pragma once

#include <KRV.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace MirrorKit {

// Owns a zero-filled DM record and remembers whether it is open. Destruction closes an open mirror.
class DMWrapper {
public:
    DMWrapper();
    ~DMWrapper();
    DMWrapper(const DMWrapper&) = delete;
    DMWrapper& operator=(const DMWrapper&) = delete;

    // ERR_DRIVER_ALREADY_OPEN when open already, else the result of KRVOpen. A PCIe mirror opened on another card
    // than the one asked for with setDeviceId is closed again and answers ERR_NO_HW.
    KRVRC open(const char* serialNumber);
    // The result of KRVClose; the wrapper is closed afterwards whatever it was.
    KRVRC close();
    // The card a PCIe mirror is to be opened on (1-based, or KRV_DEV_ID_QUERY_PROFILE); before open only.
    KRVRC setDeviceId(int32_t deviceId);

    bool isOpen() const { return open_.load(std::memory_order_acquire); }
    KRVRC status() const { return status_; }
    DM& record() { return *dm_; }
    // The record's map file name as a text that stays readable, unchanged, for the life of the process: callers'
    // records point at it and may outlive the wrapper.
    const char* mappingFileText() const;

private:
    std::unique_ptr<DM> dm_;
    std::atomic<bool> open_{false};
    KRVRC status_ = NO_ERR;
    int32_t requestedDevId_ = 0;
};

// Handles from 32 up, one per wrapper. A wrapper leaves the table when its mirror is closed or its open failed,
// so that a program that reconnects again and again does not keep one record per handle it ever had; a handle
// that was given out and has left the table reads as a closed mirror.
class HandleTable {
public:
    static constexpr uint64_t kFirstHandle = 32;

    HandleTable() = default;
    ~HandleTable();  // closes the mirrors still open
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // A new wrapper under a new handle.
    uint64_t create();
    // The wrapper of a handle; null for a handle that has left the table; std::out_of_range ("invalid map<K, T>
    // key") for a handle never given out.
    std::shared_ptr<DMWrapper> find(uint64_t handle) const;
    // Takes a handle's wrapper out of the table; it goes once no call holds it any more.
    void retire(uint64_t handle);
    // The open wrapper with the highest handle (0 and null when none is open).
    std::pair<uint64_t, std::shared_ptr<DMWrapper>> lastOpen() const;
    // Closes every open mirror.
    void closeAll();

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<DMWrapper>> wrappers_;
    uint64_t next_ = kFirstHandle;
};

}  // namespace MirrorKit
