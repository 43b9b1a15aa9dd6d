// Slots bound to units, lazy opening with identity checks and the identification probe; vendor requests and chunked
// EEPROM access.
#include "DeviceTable.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace MirrorKit::dravix {

namespace {
// Handles: generation * 256 + 128 + slot, so that no slot number and no small id is a handle.
constexpr uint32_t kMaxGeneration = (1u << 22) - 1;
constexpr long kHandleMark = 128;
constexpr long kHandleStep = 256;
constexpr uint8_t kReqIdentify = 0xF0;
constexpr uint8_t kReqEeprom = 0xF2;
constexpr uint16_t kIdentifyLength = 22;
constexpr uint32_t kEepromChunk = 64;

bool validSlot(int slot) { return slot >= 0 && slot < kSlotCount; }
}  // namespace

DeviceTable::DeviceTable(UsbBus& bus, std::function<void(int)> beforeClose)
    : bus_(bus), beforeClose_(std::move(beforeClose)) {
    rescan();
}

DeviceTable::~DeviceTable() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (int i = 0; i < kSlotCount; ++i) closeSlot(i);
}

void DeviceTable::rescan() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const std::vector<UnitPosition> present = bus_.units();
    deviceCount_ = int(present.size());
    for (int i = 0; i < kSlotCount; ++i) {
        const Slot& s = slots_[size_t(i)];
        if (s.bound && !std::binary_search(present.begin(), present.end(), s.unit)) unitLeft(i);
    }
    for (const UnitPosition& unit : present) {
        const bool known = std::any_of(slots_.begin(), slots_.end(),
                                       [&](const Slot& s) { return s.bound && s.unit == unit; });
        if (known) continue;
        const int slot = freeSlot();
        if (slot < 0) break;
        Slot& s = slots_[size_t(slot)];
        closeSlot(slot);
        s.bound = true;
        s.unit = unit;
        // Handles stay positive LONGs, below 2^30.
        s.generation = s.generation % kMaxGeneration + 1;
    }
}

void DeviceTable::unitLeft(int slot) {
    closeSlot(slot);
    Slot& s = slots_[size_t(slot)];
    s.bound = false;
    s.leftAt = ++departures_;
}

int DeviceTable::freeSlot() const {
    int oldest = -1;
    for (int i = 0; i < kSlotCount; ++i) {
        const Slot& s = slots_[size_t(i)];
        if (s.bound) continue;
        if (s.leftAt == 0) return i;
        if (oldest < 0 || s.leftAt < slots_[size_t(oldest)].leftAt) oldest = i;
    }
    return oldest;
}

bool DeviceTable::unitGone(int slot) {
    if (!validSlot(slot)) return true;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Slot& s = slots_[size_t(slot)];
    if (s.bound && s.device && s.device->gone()) unitLeft(slot);
    return !s.bound;
}

int DeviceTable::deviceCount() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return deviceCount_;
}

void DeviceTable::closeSlot(int slot) {
    if (!validSlot(slot)) return;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Slot& s = slots_[size_t(slot)];
    if (s.device && beforeClose_) beforeClose_(slot);
    s.device.reset();
    s.bulkEndpoint = 0;
    s.controlEndpoint = false;
}

bool DeviceTable::openSlot(int slot) {
    if (!validSlot(slot)) return false;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Slot& s = slots_[size_t(slot)];
    if (unitGone(slot)) return false;
    if (s.device && s.device->isOpen()) return true;

    s.device = std::make_shared<UsbDevice>(bus_);
    if (!s.device->open(s.unit)) {
        if (!bus_.present(s.unit)) {
            unitLeft(slot);
            return false;
        }
        // A unit another process holds is left alone: a reset would disturb the mirror it drives.
        if (s.device->busy()) {
            s.device.reset();
            return false;
        }
        s.device->resetAndReconnect();
        if (!s.device->open(s.unit)) {
            s.device.reset();
            if (!bus_.present(s.unit)) unitLeft(slot);
            return false;
        }
    }
    const UsbDevice& d = *s.device;
    const bool identity = d.vendorId() == kUnitVendorId &&
                          (d.productId() == kUnitProductIdPoly || d.productId() == kUnitProductIdPico);
    const bool shape = d.endpoints().size() == 1 && d.endpoints()[0].address == kBulkOutEndpoint &&
                       (d.endpoints()[0].attributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK;
    if (!identity || !shape) {
        closeSlot(slot);
        return false;
    }
    s.bulkEndpoint = kBulkOutEndpoint;
    s.controlEndpoint = true;
    uint8_t reply[kIdentifyLength] = {};
    if (!vendorRequest(slot, true, kReqIdentify, 0, 0, reply, sizeof reply)) {
        if (!unitGone(slot)) closeSlot(slot);
        return false;
    }
    // Endpoint time-out and transfer size need no setting here: every transfer carries its own time-out and
    // length.
    return true;
}

UsbDevice* DeviceTable::device(int slot) {
    if (!validSlot(slot)) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Slot& s = slots_[size_t(slot)];
    return s.device && s.device->isOpen() ? s.device.get() : nullptr;
}

uint8_t DeviceTable::bulkEndpoint(int slot) {
    if (!validSlot(slot)) return 0;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return slots_[size_t(slot)].bulkEndpoint;
}

void DeviceTable::setTransferSize(int slot, int bytes) {
    if (!validSlot(slot)) return;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    slots_[size_t(slot)].transferSize = bytes;
}

int DeviceTable::transferSize(int slot) {
    if (!validSlot(slot)) return 0;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return slots_[size_t(slot)].transferSize;
}

bool DeviceTable::vendorRequest(int slot, bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                uint32_t length) {
    if (!validSlot(slot)) return false;
    if ((length != 0 && data == nullptr) || length > 0xFFFF) return false;
    std::shared_ptr<UsbDevice> device;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        Slot& s = slots_[size_t(slot)];
        if (!s.controlEndpoint || !s.device) return false;
        device = s.device;
    }
    // The request runs without the table lock: a unit that does not answer holds up only its own callers.
    return device->vendorRequest(in, request, value, index, data, uint16_t(length));
}

int DeviceTable::slotOf(long id) {
    if (id >= 0 && id < kSlotCount) return int(id);
    const long low = id % kHandleStep;
    if (id < kHandleStep || low < kHandleMark || low >= kHandleMark + kSlotCount) return -1;
    const int slot = int(low - kHandleMark);
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const Slot& s = slots_[size_t(slot)];
    return s.bound && long(s.generation) == id / kHandleStep ? slot : -1;
}

long DeviceTable::handleOf(int slot) {
    if (!validSlot(slot)) return -1;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const Slot& s = slots_[size_t(slot)];
    return s.bound ? long(s.generation) * kHandleStep + kHandleMark + slot : -1;
}

std::shared_ptr<UsbDevice> DeviceTable::deviceRef(int slot) {
    if (!validSlot(slot)) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Slot& s = slots_[size_t(slot)];
    return s.device && s.device->isOpen() ? s.device : nullptr;
}

DeviceTable::Claim DeviceTable::claim(int slot) {
    if (!validSlot(slot)) return Claim::kFailed;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Slot& s = slots_[size_t(slot)];
    if (!s.device || !s.device->isOpen()) return Claim::kFailed;
    switch (s.device->claim()) {
    case UsbDevice::ClaimResult::kHeld: return Claim::kHeld;
    case UsbDevice::ClaimResult::kBusy: return Claim::kBusy;
    default: return Claim::kFailed;
    }
}

void DeviceTable::release(int slot) {
    if (!validSlot(slot)) return;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    closeSlot(slot);
}

bool eepromTransfer(UsbDevice& device, bool in, uint16_t address, uint8_t* data, uint32_t length) {
    if (length > 1 && address % kEepromChunk != 0) return false;
    uint32_t current = address;
    while (length > 0) {
        uint32_t chunk = length < kEepromChunk ? length : kEepromChunk;
        if (current > 0xFFFF || !device.vendorRequest(in, kReqEeprom, 0, uint16_t(current), data, uint16_t(chunk)))
            return false;
        current += chunk;
        data += chunk;
        length -= chunk;
    }
    return true;
}

bool DeviceTable::eepromAccess(int slot, bool in, uint16_t address, uint8_t* data, uint32_t length) {
    std::shared_ptr<UsbDevice> device;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!validSlot(slot) || !slots_[size_t(slot)].controlEndpoint) return false;
        device = deviceRef(slot);
    }
    return device && eepromTransfer(*device, in, address, data, length);
}

bool DeviceTable::eepromRead(int slot, uint16_t address, uint8_t* data, uint32_t length) {
    return eepromAccess(slot, true, address, data, length);
}

bool DeviceTable::eepromWrite(int slot, uint16_t address, const uint8_t* data, uint32_t length) {
    // The transfer only reads an OUT buffer.
    return eepromAccess(slot, false, address, const_cast<uint8_t*>(data), length);
}

}  // namespace MirrorKit::dravix
