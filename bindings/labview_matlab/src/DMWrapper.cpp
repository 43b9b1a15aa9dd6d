// Wrappers and the handle table of the LabVIEW and MATLAB interfaces.
#include "DMWrapper.h"

#include <cstring>
#include <stdexcept>

namespace MirrorKit {

DMWrapper::DMWrapper() : dm_(std::make_unique<DM>()) { std::memset(dm_.get(), 0, sizeof(DM)); }

DMWrapper::~DMWrapper() {
    if (isOpen()) close();
}

KRVRC DMWrapper::open(const char* serialNumber) {
    if (isOpen()) return ERR_DRIVER_ALREADY_OPEN;
    status_ = KRVOpen(dm_.get(), serialNumber);
    open_.store(status_ == NO_ERR, std::memory_order_release);
    return status_;
}

KRVRC DMWrapper::close() {
    open_.store(false, std::memory_order_release);
    status_ = KRVClose(dm_.get());
    return status_;
}

HandleTable::~HandleTable() {
    // Unloading: nothing else may run in the library any more, so no lock is taken.
    wrappers_.clear();
}

uint64_t HandleTable::create() {
    std::lock_guard<std::mutex> hold(mutex_);
    const uint64_t handle = next_++;
    wrappers_.emplace(handle, std::make_shared<DMWrapper>());
    return handle;
}

std::shared_ptr<DMWrapper> HandleTable::find(uint64_t handle) const {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto it = wrappers_.find(handle);
    if (it == wrappers_.end()) throw std::out_of_range("invalid map<K, T> key");
    return it->second;
}

std::pair<uint64_t, std::shared_ptr<DMWrapper>> HandleTable::lastOpen() const {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = wrappers_.rbegin(); it != wrappers_.rend(); ++it) {
        if (it->second->isOpen()) return *it;
    }
    return {0, nullptr};
}

}  // namespace MirrorKit
