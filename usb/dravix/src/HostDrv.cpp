// CHostDrv: status, control lines, serial-number block, single frames, streaming and device changes.
#include "HostDrv.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "krv/platform/message.h"

namespace MirrorKit::dravix {

std::atomic<long> gServerRefs{0};

namespace {

constexpr uint8_t kReqStatusWord = 0xF4;
constexpr uint8_t kReqControl = 0xF5;
constexpr uint8_t kReqExtEeprom = 0xF6;
constexpr uint16_t kSerialBlockAddress = 0x1F80;
constexpr uint32_t kSerialBlockSize = 128;
constexpr size_t kSerialOffset = 16;
constexpr size_t kSerialLength = 11;
constexpr uint32_t kExtEepromSize = 128;
constexpr size_t kNameLimit = 255;  // the caller's buffer is 256 bytes; one zero stays at its end

// wIndex of request 0xF5 for control codes 0..9; bit 7 gives the line's state.
constexpr uint16_t kControlLines[10] = {0x84, 0x04, 0x82, 0x02, 0x88, 0x08, 0x90, 0x10, 0xA0, 0x20};

bool serialCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '#';
}

}  // namespace

CHostDrv::CHostDrv(IUnknown* outer) : outer_(outer != nullptr ? outer : &inner_) {
    ++gServerRefs;
    try {
        construct();
    } catch (...) {
        // What was built so far goes again, so that a failed construction leaves the module free to unload.
        shutdown();
        throw;
    }
}

CHostDrv::~CHostDrv() { shutdown(); }

void CHostDrv::construct() {
    std::unique_lock<std::shared_mutex> guard(objectLock_);
    for (int s = 0; s < kSlotCount; ++s) {
        StreamSlot& slot = streams_[size_t(s)];
        for (StreamBuffer& b : slot.buffers) {
            b.slot = s;
            b.owner = this;
            b.transfer = libusb_alloc_transfer(0);
            void* data = nullptr;
            if (posix_memalign(&data, 4096, size_t(kPolyFrameSize) * kFramesPerBuffer) == 0)
                b.data = static_cast<uint8_t*>(data);
            if (b.transfer == nullptr || b.data == nullptr) throw std::bad_alloc();
        }
    }
    bus_.reset(new UsbBus([this](bool arrived) { deviceChanged(arrived); }));
    if (!bus_->ok()) return;
    table_.reset(new DeviceTable(*bus_, [this](int slot) {
        // Transfers still in flight on the slot end before its handle closes.
        {
            std::lock_guard<std::mutex> lock(streamMutex_);
            for (StreamBuffer& b : streams_[size_t(slot)].buffers)
                if (b.inFlight) libusb_cancel_transfer(b.transfer);
        }
        waitStreams(slot, kStreamWaitMs + 1000);
    }));
    changeThread_ = std::thread([this] { changeLoop(); });
    // The event thread runs every transfer completion, as the stream worker; it has an apartment of its own.
    bus_->startEvents([] { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }, [] { CoUninitialize(); });
}

void CHostDrv::shutdown() {
    {
        std::lock_guard<std::mutex> lock(changeMutex_);
        changeStop_ = true;
    }
    changeSignal_.notify_all();
    if (changeThread_.joinable()) changeThread_.join();
    {
        std::unique_lock<std::shared_mutex> guard(objectLock_);
        waitStreams(-1, kStreamWaitMs);
        resetStreamCounters();
        table_.reset();  // closes every slot while the event thread can still complete cancelled transfers
    }
    if (bus_) bus_->stopEvents(kStreamWaitMs);
    // Transfers go before the context: freeing one may log through the context.
    for (StreamSlot& slot : streams_)
        for (StreamBuffer& b : slot.buffers) {
            if (b.transfer) {
                b.transfer->dev_handle = nullptr;  // its device is closed; libusb would look at it
                libusb_free_transfer(b.transfer);
            }
            std::free(b.data);
        }
    bus_.reset();
    MirrorKit::com::releaseWindow(std::exchange(notifyWindow_, 0));
    --gServerRefs;
}

// ---- IUnknown ------------------------------------------------------------------------------------------------------

STDMETHODIMP CHostDrv::Inner::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown) {
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    if (riid == IID_IDispatch || riid == IID_IHostDrv) {
        *object = static_cast<IHostDrv*>(self);
        self->AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CHostDrv::Inner::AddRef() { return ++self->refs_; }

STDMETHODIMP_(ULONG) CHostDrv::Inner::Release() {
    ULONG left = --self->refs_;
    if (left == 0) delete self;
    return left;
}

// ---- Helpers -------------------------------------------------------------------------------------------------------

std::shared_ptr<UsbDevice> CHostDrv::target(LONG id, int& slot) {
    slot = -1;
    if (!table_) return nullptr;
    std::lock_guard<std::recursive_mutex> tableGuard(table_->lock());
    const int s = table_->slotOf(id);
    if (s < 0 || !table_->openSlot(s)) return nullptr;
    slot = s;
    return table_->deviceRef(s);
}

LONG CHostDrv::claimFor(int slot) {
    switch (table_->claim(slot)) {
    case DeviceTable::Claim::kHeld: return DRAVIX_DONE;
    case DeviceTable::Claim::kBusy: return DRAVIX_BUSY;
    default: return table_->unitGone(slot) ? DRAVIX_NO_DEVICE : DRAVIX_INVALID;
    }
}

LONG CHostDrv::failed(int slot, const UsbDevice& device, LONG status) {
    if (!device.gone()) return status;
    table_->unitGone(slot);  // closes the slot if it still holds this device
    return DRAVIX_NO_DEVICE;
}

bool CHostDrv::waitStreams(int slot, unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(streamMutex_);
    return streamChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        if (slot >= 0) return streams_[size_t(slot)].inFlight == 0;
        for (const StreamSlot& s : streams_)
            if (s.inFlight != 0) return false;
        return true;
    });
}

void CHostDrv::resetStreamCounters() {
    std::lock_guard<std::mutex> lock(streamMutex_);
    for (StreamSlot& s : streams_) {
        s.bufferIndex = 0;
        s.frameCount = 0;
    }
}

void LIBUSB_CALL CHostDrv::streamCompleted(libusb_transfer* transfer) {
    // Runs on the event thread. The outcome is not reported: a stream only keeps its buffers cycling.
    auto* buffer = static_cast<StreamBuffer*>(transfer->user_data);
    CHostDrv* self = buffer->owner;
    {
        std::lock_guard<std::mutex> lock(self->streamMutex_);
        StreamSlot& slot = self->streams_[size_t(buffer->slot)];
        buffer->inFlight = false;
        transfer->dev_handle = nullptr;  // the slot may close its device as soon as this completion is counted
        --slot.inFlight;
        ++slot.available;
    }
    self->streamChanged_.notify_all();
}

void CHostDrv::deviceChanged(bool arrived) {
    {
        std::lock_guard<std::mutex> lock(changeMutex_);
        changes_.push_back(arrived);
    }
    changeSignal_.notify_all();
}

void CHostDrv::changeLoop() {
    std::unique_lock<std::mutex> lock(changeMutex_);
    for (;;) {
        changeSignal_.wait(lock, [&] { return changeStop_ || !changes_.empty(); });
        if (changeStop_) return;
        bool arrived = changes_.front();
        changes_.pop_front();
        lock.unlock();
        table_->rescan();
        {
            std::lock_guard<std::mutex> notifyLock(notifyMutex_);
            if (notifyWindow_ != 0 && notifyMessage_ != 0)
                MirrorKit::com::postMessage(notifyWindow_, notifyMessage_, arrived ? 1 : 0, 0);
        }
        lock.lock();
    }
}

// ---- IHostDrv ------------------------------------------------------------------------------------------------------

STDMETHODIMP CHostDrv::Dravix_GetStatus(LONG nDevId, LONG nStatId, LONG* p_nStatus) {
    if (p_nStatus == nullptr) return E_POINTER;
    int slot = -1;
    const std::shared_ptr<UsbDevice> device = target(nDevId, slot);
    if (device == nullptr) {
        *p_nStatus = DRAVIX_NO_DEVICE;
        return S_OK;
    }
    UsbDevice& d = *device;
    switch (nStatId) {
    case DRAVIX_STAT_NAME: {
        const std::string& name = d.friendlyName();
        std::memcpy(p_nStatus, name.data(), name.size() < kNameLimit ? name.size() : kNameLimit);
        return S_OK;
    }
    case DRAVIX_STAT_VENDOR_ID: *p_nStatus = d.vendorId(); return S_OK;
    case DRAVIX_STAT_PRODUCT_ID: *p_nStatus = d.productId(); return S_OK;
    case DRAVIX_STAT_BIT0:
    case DRAVIX_STAT_BIT1:
    case DRAVIX_STAT_BIT2:
    case DRAVIX_STAT_EEPROM_SIZE: {
        uint8_t bytes[2] = {};
        if (!d.vendorRequest(true, kReqStatusWord, 0, 0, bytes, sizeof bytes)) {
            *p_nStatus = failed(slot, d, DRAVIX_INVALID);
            return S_OK;
        }
        const uint16_t word = uint16_t(bytes[0] | bytes[1] << 8);
        if (nStatId == DRAVIX_STAT_EEPROM_SIZE)
            *p_nStatus = (word >> 1) & 0x80;
        else
            *p_nStatus = (word >> (nStatId - DRAVIX_STAT_BIT0)) & 1;
        return S_OK;
    }
    case DRAVIX_STAT_EXT_EEPROM:
        std::memset(p_nStatus, 0, kExtEepromSize);
        if (!d.vendorRequest(true, kReqExtEeprom, 0, 0, reinterpret_cast<uint8_t*>(p_nStatus), kExtEepromSize))
            *p_nStatus = failed(slot, d, DRAVIX_INVALID);
        return S_OK;
    case DRAVIX_STAT_SERIAL: {
        uint8_t block[kSerialBlockSize];
        if (!eepromTransfer(d, true, kSerialBlockAddress, block, sizeof block)) {
            *p_nStatus = failed(slot, d, DRAVIX_INVALID);
            return S_OK;
        }
        if (std::memcmp(block + 2, "DXPICO", 6) != 0 && std::memcmp(block + 2, "DXPOLY", 6) != 0) {
            *p_nStatus = DRAVIX_INVALID;
            return S_OK;
        }
        char* out = reinterpret_cast<char*>(p_nStatus);
        for (size_t i = 0; i < kSerialLength; ++i) out[i] = char(block[kSerialOffset + 2 * i]);
        return S_OK;
    }
    case DRAVIX_STAT_UNIT_HANDLE: {
        // Only while the slot still holds the device this call looked at.
        std::lock_guard<std::recursive_mutex> tableGuard(table_->lock());
        const long handle = table_->deviceRef(slot) == device ? table_->handleOf(slot) : -1;
        *p_nStatus = handle < 0 ? DRAVIX_NO_DEVICE : LONG(handle);
        return S_OK;
    }
    default:
        *p_nStatus = DRAVIX_INVALID;
        return S_OK;
    }
}

STDMETHODIMP CHostDrv::Dravix_SetControl(LONG nDevId, LONG nCntlId, LONG* p_nStatus) {
    if (p_nStatus == nullptr) return E_POINTER;
    int slot = -1;
    const std::shared_ptr<UsbDevice> device = target(nDevId, slot);
    if (device == nullptr) {
        *p_nStatus = DRAVIX_NO_DEVICE;
        return S_OK;
    }
    UsbDevice& d = *device;
    if (nCntlId == DRAVIX_CTL_RELEASE) {
        table_->release(slot);
        *p_nStatus = DRAVIX_DONE;
        return S_OK;
    }
    // Only a process that drives the unit holds it; one that another process holds is left alone.
    if ((nCntlId >= 0 && nCntlId <= 9) || nCntlId == DRAVIX_CTL_PICO_MODE || nCntlId == DRAVIX_CTL_WRITE_SERIAL) {
        if (const LONG status = claimFor(slot); status != DRAVIX_DONE) {
            *p_nStatus = status;
            return S_OK;
        }
    }
    StreamSlot& stream = streams_[size_t(slot)];
    int frameSize = 0;
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        frameSize = stream.frameSize;
    }
    if (nCntlId >= 0 && nCntlId <= 9) {
        if (nCntlId == 4 && frameSize == kPicoFrameSize) {
            // Pico units need line 0x10 down for a while before 0x88 takes.
            d.vendorRequest(false, kReqControl, 0, 0x10, nullptr, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        bool ok = d.vendorRequest(false, kReqControl, 0, kControlLines[nCntlId], nullptr, 0);
        *p_nStatus = ok ? DRAVIX_DONE : failed(slot, d, DRAVIX_INVALID);
        return S_OK;
    }
    if (nCntlId == DRAVIX_CTL_PICO_MODE) {
        std::lock_guard<std::mutex> lock(streamMutex_);
        stream.frameSize = kPicoFrameSize;
        table_->setTransferSize(slot, kPicoTransferSize);
        return S_OK;
    }
    if (nCntlId != DRAVIX_CTL_WRITE_SERIAL) return S_OK;

    const char* tag = frameSize == kPicoFrameSize ? "DXPICO" : frameSize == kPolyFrameSize ? "DXPOLY" : nullptr;
    // The caller's string is read no further than one byte past the 11 characters.
    const char* serial = reinterpret_cast<const char*>(p_nStatus);
    bool valid = tag != nullptr && strnlen(serial, kSerialLength + 1) == kSerialLength;
    for (size_t i = 0; valid && i < kSerialLength; ++i) valid = serialCharacter(serial[i]);
    if (!valid) {
        *p_nStatus = DRAVIX_INVALID;
        return S_OK;
    }
    uint8_t block[kSerialBlockSize] = {};
    std::memcpy(block + 2, tag, 6);
    for (size_t i = 0; i < kSerialLength; ++i) {
        const int16_t unit = static_cast<signed char>(serial[i]);
        block[kSerialOffset + 2 * i] = uint8_t(unit);
        block[kSerialOffset + 2 * i + 1] = uint8_t(uint16_t(unit) >> 8);
    }
    if (!eepromTransfer(d, false, kSerialBlockAddress, block, sizeof block))
        *p_nStatus = failed(slot, d, DRAVIX_INVALID);
    return S_OK;
}

STDMETHODIMP CHostDrv::Dravix_SendFrameData(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) {
    return Dravix_StepFrameData(nDevId, pFrameData, nBuffSize, p_nStatus);
}

STDMETHODIMP CHostDrv::Dravix_StepFrameData(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) {
    if (p_nStatus == nullptr) return E_POINTER;
    int slot = -1;
    const std::shared_ptr<UsbDevice> device = target(nDevId, slot);
    if (device == nullptr) {
        *p_nStatus = DRAVIX_NO_DEVICE;
        return S_OK;
    }
    if (pFrameData == nullptr) return S_OK;
    if (const LONG status = claimFor(slot); status != DRAVIX_DONE) {
        *p_nStatus = status;
        return S_OK;
    }
    const uint8_t endpoint = table_->bulkEndpoint(slot);
    // The transfer holds no server lock: a unit that stalls holds up only the callers that send to it.
    const bool ok = endpoint != 0 && device->bulkOut(endpoint, pFrameData, nBuffSize, kEndpointTimeoutMs);
    *p_nStatus = ok ? DRAVIX_DONE : failed(slot, *device, DRAVIX_XFER_FAILED);
    return S_OK;
}

STDMETHODIMP CHostDrv::Dravix_SetNotify(ULONG_PTR uWindow, UINT uMessageId) {
    // The target is kept through a handle of the server's own for as long as it is registered.
    const ULONG_PTR held = uWindow != 0 && uMessageId != 0 ? MirrorKit::com::holdWindow(uWindow) : 0;
    ULONG_PTR previous;
    {
        std::lock_guard<std::mutex> notifyLock(notifyMutex_);
        previous = std::exchange(notifyWindow_, held);
        notifyMessage_ = uMessageId;
    }
    MirrorKit::com::releaseWindow(previous);
    return S_OK;
}

STDMETHODIMP CHostDrv::Dravix_GetAvailableDevices(LONG* pDeviceIds, LONG nSizeBuff, LONG* p_nStatus) {
    if (p_nStatus == nullptr || (nSizeBuff > 0 && pDeviceIds == nullptr)) return E_POINTER;
    for (LONG i = 0; i < nSizeBuff; ++i) pDeviceIds[i] = -1;
    if (table_) {
        // Slots keep their units, so a unit may sit above the count of units present.
        std::lock_guard<std::recursive_mutex> tableGuard(table_->lock());
        for (LONG i = 0; i < nSizeBuff && i < kSlotCount; ++i)
            if (table_->openSlot(int(i))) pDeviceIds[i] = i;
    }
    *p_nStatus = DRAVIX_DONE;
    return S_OK;
}

STDMETHODIMP CHostDrv::Dravix_StreamFrameData(LONG nDevId, BYTE* pFrameData, LONG nBuffSize, LONG* p_nStatus) {
    if (p_nStatus == nullptr) return E_POINTER;
    int slot = -1;
    const std::shared_ptr<UsbDevice> device = target(nDevId, slot);
    if (device == nullptr) {
        *p_nStatus = DRAVIX_NO_DEVICE;
        return S_OK;
    }
    if (const LONG status = claimFor(slot); status != DRAVIX_DONE) {
        *p_nStatus = status;
        return S_OK;
    }
    // Streams of different units wait for their own buffers only; a flush or the teardown holds them all.
    std::shared_lock<std::shared_mutex> shared(objectLock_);
    std::lock_guard<std::mutex> slotGuard(streamLocks_[size_t(slot)]);
    StreamSlot& s = streams_[size_t(slot)];
    int frameSize = 0;
    {
        std::lock_guard<std::mutex> lock(streamMutex_);
        frameSize = s.frameSize;
    }
    if (pFrameData == nullptr || nBuffSize != frameSize) {
        *p_nStatus = DRAVIX_INVALID;
        return S_OK;
    }
    StreamBuffer& b = s.buffers[size_t(s.bufferIndex)];
    {
        std::unique_lock<std::mutex> lock(streamMutex_);
        // A buffer is refilled only once its previous transfer is over; writing into it earlier would change
        // data the unit is still receiving.
        if (s.frameCount == 0 &&
            !streamChanged_.wait_for(lock, std::chrono::milliseconds(kStreamWaitMs), [&] { return !b.inFlight; })) {
            *p_nStatus = DRAVIX_XFER_FAILED;
            return S_OK;
        }
        std::memcpy(b.data + size_t(s.frameSize) * size_t(s.frameCount), pFrameData, size_t(s.frameSize));
        if (++s.frameCount < kFramesPerBuffer) {
            *p_nStatus = DRAVIX_DONE;
            return S_OK;
        }
        s.frameCount = 0;
        if (!streamChanged_.wait_for(lock, std::chrono::milliseconds(kStreamWaitMs), [&] { return s.available > 0; })) {
            *p_nStatus = DRAVIX_XFER_FAILED;  // the 8 frames are dropped
            return S_OK;
        }
        --s.available;
    }
    std::lock_guard<std::recursive_mutex> tableGuard(table_->lock());
    // Submitted only while the slot still holds the device: a closed slot has already waited for its transfers.
    const uint8_t endpoint = table_->deviceRef(slot) == device ? table_->bulkEndpoint(slot) : 0;
    bool submitted = false;
    if (endpoint != 0) {
        b.length = s.frameSize * kFramesPerBuffer;
        libusb_fill_bulk_transfer(b.transfer, device->handle(), endpoint, b.data, b.length, &CHostDrv::streamCompleted,
                                  &b, kEndpointTimeoutMs);
        std::lock_guard<std::mutex> lock(streamMutex_);
        b.inFlight = true;
        ++s.inFlight;
        submitted = libusb_submit_transfer(b.transfer) == 0;
        if (submitted) {
            s.bufferIndex = (s.bufferIndex + 1) % kStreamBuffers;
        } else {
            b.inFlight = false;
            --s.inFlight;
        }
    }
    if (!submitted) {
        // No completion will give the buffer back, so it is given back here.
        std::lock_guard<std::mutex> lock(streamMutex_);
        ++s.available;
    }
    streamChanged_.notify_all();
    *p_nStatus = DRAVIX_DONE;
    return S_OK;
}

STDMETHODIMP CHostDrv::Dravix_FlushStream(LONG nDevId, LONG* p_nStatus) {
    std::unique_lock<std::shared_mutex> guard(objectLock_);
    waitStreams(-1, kStreamWaitMs);
    resetStreamCounters();
    if (p_nStatus != nullptr) *p_nStatus = DRAVIX_DONE;
    return S_OK;
}

}  // namespace MirrorKit::dravix
