// Wrappers and the handle table of the LabVIEW and MATLAB interfaces.
#include "DMWrapper.h"

#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace MirrorKit {

namespace {

// Map file names handed to callers, one copy of each name; never freed, as callers' records keep pointing at them.
const char* internedText(const char* text) {
    static std::mutex* mutex = new std::mutex;
    static auto* texts = new std::set<std::string>;
    std::lock_guard<std::mutex> hold(*mutex);
    return texts->insert(text).first->c_str();
}

}  // namespace

DMWrapper::DMWrapper() : dm_(std::make_unique<DM>()) { std::memset(dm_.get(), 0, sizeof(DM)); }

DMWrapper::~DMWrapper() {
    if (isOpen()) close();
}

KRVRC DMWrapper::open(const char* serialNumber) {
    if (isOpen()) return ERR_DRIVER_ALREADY_OPEN;
    status_ = KRVOpen(dm_.get(), serialNumber);
    // The PCIe back end takes another card when the one asked for is not installed; a caller who chose a card
    // must not drive another one.
    if (status_ == NO_ERR && dm_->DriverType == KRV_PCIE && requestedDevId_ > 0 &&
        requestedDevId_ != KRV_DEV_ID_QUERY_PROFILE && dm_->DevId != requestedDevId_) {
        KRVClose(dm_.get());
        status_ = ERR_NO_HW;
    }
    open_.store(status_ == NO_ERR, std::memory_order_release);
    return status_;
}

KRVRC DMWrapper::close() {
    open_.store(false, std::memory_order_release);
    status_ = KRVClose(dm_.get());
    return status_;
}

KRVRC DMWrapper::setDeviceId(int32_t deviceId) {
    if (isOpen()) return ERR_DRIVER_ALREADY_OPEN;
    if (deviceId <= 0) return ERR_BADARG;
    requestedDevId_ = deviceId;
    dm_->DevId = deviceId;
    return NO_ERR;
}

const char* DMWrapper::mappingFileText() const { return internedText(dm_->MappingFile); }

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
    if (it != wrappers_.end()) return it->second;
    if (handle >= kFirstHandle && handle < next_) return nullptr;
    throw std::out_of_range("invalid map<K, T> key");
}

void HandleTable::retire(uint64_t handle) {
    std::shared_ptr<DMWrapper> leaving;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        const auto it = wrappers_.find(handle);
        if (it == wrappers_.end()) return;
        leaving = std::move(it->second);
        wrappers_.erase(it);
    }
    // The wrapper (and an open mirror in it) goes here, outside the lock, unless a call still holds it.
}

std::pair<uint64_t, std::shared_ptr<DMWrapper>> HandleTable::lastOpen() const {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = wrappers_.rbegin(); it != wrappers_.rend(); ++it) {
        if (it->second->isOpen()) return *it;
    }
    return {0, nullptr};
}

void HandleTable::closeAll() {
    std::vector<std::shared_ptr<DMWrapper>> open;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (const auto& entry : wrappers_)
            if (entry.second->isOpen()) open.push_back(entry.second);
    }
    for (const auto& wrapper : open) wrapper->close();
}

}  // namespace MirrorKit
