// The drive units known to one server object: 32 slots, each bound to one unit for as long as that unit stays on
// the bus, opened lazily, each with its bulk and control endpoints.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>

#include "UsbAccess.h"

namespace MirrorKit::dravix {

constexpr int kSlotCount = 32;
constexpr uint8_t kBulkOutEndpoint = 0x02;
constexpr int kPolyTransferSize = 2560;
constexpr int kPicoTransferSize = 512;

// EEPROM access through request 0xF2 in chunks of at most 64 bytes, on one opened device. More than one byte must
// start on a 64-byte boundary.
bool eepromTransfer(UsbDevice& device, bool in, uint16_t address, uint8_t* data, uint32_t length);

class DeviceTable {
public:
    // beforeClose(slot) runs under the table lock before a slot's device is closed, so that transfers still in
    // flight on it can be ended first.
    DeviceTable(UsbBus& bus, std::function<void(int)> beforeClose);
    ~DeviceTable();

    // The table lock, re-entrant; slot operations take it themselves, callers take it to keep a slot open across
    // several of them.
    std::recursive_mutex& lock() { return lock_; }

    // Counts the units present and binds each unit new to the table to a slot of its own, in bus order: a slot
    // never bound first, else the slot whose unit left longest ago. A slot whose unit has left is closed and
    // stays without a unit until it is bound again; it never reaches the unit that took its place nor the same
    // unit plugged in again. Slots of units still present stay open.
    void rescan();
    int deviceCount();
    // Makes the slot usable: opens its unit if needed (with one reset-and-retry), checks identity and endpoints
    // and probes the unit. False when the slot is unusable; it is then closed.
    bool openSlot(int slot);
    void closeSlot(int slot);
    // True when the slot has no unit: never bound, or its unit has left (a transfer that found the unit gone
    // counts as it leaving).
    bool unitGone(int slot);

    UsbDevice* device(int slot);  // null unless open
    // Bulk OUT endpoint of an open slot, 0 when none.
    uint8_t bulkEndpoint(int slot);
    void setTransferSize(int slot, int bytes);
    int transferSize(int slot);

    // Device ids name a slot (0..31: whatever unit the slot holds) or one unit's stay in a slot (a handle: 256 *
    // the slot's binding count, which only grows, + 128 + slot). The slot an id names, or -1 for an invalid id or a handle
    // whose unit has left its slot; under the table lock, so that the answer holds while the caller keeps it.
    int slotOf(long id);
    // The handle of the unit the slot holds, or -1 when it holds none.
    long handleOf(int slot);
    // The open device of a slot, kept alive for the caller: a transfer runs on it without the table lock, and a
    // slot closed meanwhile only closes the device once the transfer lets it go.
    std::shared_ptr<UsbDevice> deviceRef(int slot);
    // Claims the slot's interface for this process, once; a unit that another process holds answers kBusy.
    enum class Claim { kHeld, kBusy, kFailed };
    Claim claim(int slot);
    // Gives the slot's unit back to other processes: the device is closed (claim released) and reopened lazily.
    void release(int slot);

    // A vendor request on the slot's control endpoint. A non-zero length with a null buffer fails unsent.
    bool vendorRequest(int slot, bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                       uint32_t length);
    // EEPROM access through request 0xF2 in chunks of at most 64 bytes. More than one byte must start on a
    // 64-byte boundary.
    bool eepromRead(int slot, uint16_t address, uint8_t* data, uint32_t length);
    bool eepromWrite(int slot, uint16_t address, const uint8_t* data, uint32_t length);

private:
    struct Slot {
        std::shared_ptr<UsbDevice> device;
        uint8_t bulkEndpoint = 0;
        bool controlEndpoint = false;
        int transferSize = kPolyTransferSize;
        bool bound = false;      // unit holds the unit of this slot
        UnitPosition unit;
        uint64_t leftAt = 0;     // when bound is false: 0 if never bound, else when the unit left (a count)
        uint32_t generation = 0; // how many times the slot was bound (wrapping below 2^25), part of handles
    };
    bool eepromAccess(int slot, bool in, uint16_t address, uint8_t* data, uint32_t length);
    // Closes the slot of a unit that has left and unbinds it.
    void unitLeft(int slot);
    // The slot a new unit takes, or -1 when every slot holds a unit present.
    int freeSlot() const;

    std::recursive_mutex lock_;
    UsbBus& bus_;
    std::function<void(int)> beforeClose_;
    int deviceCount_ = 0;
    uint64_t departures_ = 0;
    std::array<Slot, kSlotCount> slots_;
};

}  // namespace MirrorKit::dravix
