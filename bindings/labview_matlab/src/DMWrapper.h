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

    // ERR_DRIVER_ALREADY_OPEN when open already, else the result of KRVOpen.
    KRVRC open(const char* serialNumber);
    // The result of KRVClose; the wrapper is closed afterwards whatever it was.
    KRVRC close();

    bool isOpen() const { return open_.load(std::memory_order_acquire); }
    KRVRC status() const { return status_; }
    DM& record() { return *dm_; }

private:
    std::unique_ptr<DM> dm_;
    std::atomic<bool> open_{false};
    KRVRC status_ = NO_ERR;
};

// Handles from 32 up, one per wrapper; a wrapper stays in the table until the library is unloaded, so that the
// map-file text a caller's record points at stays readable.
class HandleTable {
public:
    static constexpr uint64_t kFirstHandle = 32;

    HandleTable() = default;
    ~HandleTable();  // closes the mirrors still open
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // A new wrapper under a new handle.
    uint64_t create();
    // The wrapper of a handle; std::out_of_range ("invalid map<K, T> key") when the handle is not in the table.
    std::shared_ptr<DMWrapper> find(uint64_t handle) const;
    // The open wrapper with the highest handle (0 and null when none is open).
    std::pair<uint64_t, std::shared_ptr<DMWrapper>> lastOpen() const;

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<DMWrapper>> wrappers_;
    uint64_t next_ = kFirstHandle;
};

}  // namespace MirrorKit
