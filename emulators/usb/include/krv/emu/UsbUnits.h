// Emulated USB drive units for tests: umockdev devices that answer usbdevfs like a real unit, so libusb and the
// host-driver server above it run unchanged.
//
// Each unit is a USB device (vendor 0x1781, product 0x0ED8 or 0x0ED9 by default) with one interface holding one
// bulk OUT endpoint 0x02. It answers the vendor requests of the drive electronics:
//   0xF0 in   22-byte identification reply
//   0xF2 in/out  EEPROM (8 KB) at wIndex, at most 64 bytes per request
//   0xF4 in   2-byte status word
//   0xF5 out  control line: wIndex recorded in order
//   0xF6 in   128-byte external EEPROM block
// plus the standard GET_DESCRIPTOR requests (the product string is the unit's friendly name). Every bulk OUT
// transfer is recorded whole. Every client of a unit (each open of its node, in this process or another one under
// the same testbed) has its requests kept apart from the others', and a client that goes away (closes the node, or
// its process ends, killed or not) leaves neither requests nor a claim behind, as a closed usbfs file. Unplugging
// fails the transfers in flight and removes the device; replugging brings the same unit (same EEPROM) back at a new
// address.
//
// The programs run under umockdev-wrapper (the preload library must be in place before the program starts);
// UsbUnitBed::available() is false otherwise and tests then skip (exit code 77). One testbed serves the whole
// process and is created by the first UsbUnitBed, so create a UsbUnitBed before the first libusb_init of the process
// (before the first host-driver object), and release every host-driver object (libusb context) created inside the
// lifetime of a UsbUnitBed before that bed is destroyed. Units of a bed enumerate in the order they were added
// (bus number, then port, both increase with every unit ever added in the process).
//
//     MirrorKit::emu::UsbUnitBed bed;                       // skip the test if !bed.available()
//     MirrorKit::emu::UsbUnitConfig cfg;
//     cfg.serialNumber = "DUA00000001";                   // stored as a DXPOLY serial-number block
//     int unit = bed.addUnit(cfg);
//     ... create the server, send frames ...
//     bed.waitBulkCount(unit, 1, 1000);
//     std::vector<uint8_t> frame = bed.bulkTransfers(unit).at(0);
//     bed.unplug(unit);
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace MirrorKit::emu {

constexpr uint16_t kUnitVendorId = 0x1781;
constexpr uint16_t kUnitProductId160 = 0x0ED8;
constexpr uint16_t kUnitProductId32 = 0x0ED9;
constexpr size_t kUnitEepromSize = 8192;
constexpr uint16_t kSerialBlockAddress = 0x1F80;
constexpr size_t kSerialBlockSize = 128;

struct UsbUnitConfig {
    uint16_t vendorId = kUnitVendorId;
    uint16_t productId = kUnitProductId160;
    std::string product = "Mirror Drive Unit";  // product string, which the server reports as the friendly name
    // When not empty, the serial-number block at 0x1F80 is filled from it (tag by pico below); must be 11 characters
    // for a valid block, other lengths are stored as given (up to 11) to emulate damaged blocks.
    std::string serialNumber;
    bool pico = false;  // tag "DXPICO" instead of "DXPOLY"
    // The whole EEPROM (8 KB, 0xFF where not given); the serial-number block above is written over it.
    std::vector<uint8_t> eeprom;
    std::array<uint8_t, 128> externalEeprom{};
    uint16_t statusWord = 0x0101;  // bit 8 set: external EEPROM of 128 bytes present
    // Descriptor shape, to emulate devices the server must refuse.
    uint8_t endpointCount = 1;
    uint8_t endpointAddress = 0x02;
    uint8_t endpointAttributes = 0x02;  // bulk
};

// One control transfer as the unit saw it.
struct ControlRecord {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data;  // OUT data stage
    int64_t timeNs = 0;         // steady clock, when the request arrived
};

class UsbUnitBed {
public:
    UsbUnitBed();
    ~UsbUnitBed();  // unplugs every unit still present
    UsbUnitBed(const UsbUnitBed&) = delete;
    UsbUnitBed& operator=(const UsbUnitBed&) = delete;

    // True when running under umockdev-wrapper with a working testbed.
    bool available() const;

    // Adds and plugs a unit; returns its id (0, 1, ... per bed) or -1 on failure.
    int addUnit(const UsbUnitConfig& config);
    // Fails the transfers in flight (-ESHUTDOWN), answers ENODEV from then on, and removes the device.
    void unplug(int unit);
    // Plugs an unplugged unit back at a new address, keeping its EEPROM. True on success.
    bool replug(int unit);
    bool plugged(int unit) const;

    // Bulk OUT transfers in arrival order, each whole.
    std::vector<std::vector<uint8_t>> bulkTransfers(int unit) const;
    size_t bulkCount(int unit) const;
    // The bulk transfers recorded so far, handed over and forgotten (later counts start from zero again): long
    // runs collect them as they go instead of keeping every one.
    std::vector<std::vector<uint8_t>> takeBulkTransfers(int unit);
    // Waits until at least count bulk transfers were recorded; false on time-out.
    bool waitBulkCount(int unit, size_t count, int timeoutMs) const;
    // All control transfers, standard ones included.
    std::vector<ControlRecord> controlTransfers(int unit) const;
    // Only the vendor requests (0xF0..0xF6).
    std::vector<ControlRecord> vendorRequests(int unit) const;
    // wIndex of every 0xF5 request, in order.
    std::vector<uint16_t> controlLines(int unit) const;
    void clearRecords(int unit);

    std::vector<uint8_t> eeprom(int unit) const;
    void writeEeprom(int unit, uint16_t address, const std::vector<uint8_t>& bytes);
    void setStatusWord(int unit, uint16_t word);
    // Stalls (-EPIPE) every later vendor request with this code, or stops doing so.
    void failRequest(int unit, uint8_t request, bool fail);
    // Fails every later bulk transfer with -EPIPE, or stops doing so.
    void failBulk(int unit, bool fail);
    // While held, bulk transfers stay in flight (a stuck unit) until released or cancelled; releasing completes them.
    void holdBulk(int unit, bool hold);
    size_t bulkInFlight(int unit) const;
    // Resets asked of the unit since it was added.
    size_t resetCount(int unit) const;
    // True while a client (an open of the unit in some process) holds its interface. Claims behave as usbfs
    // claims do: a second client's claim, or its bulk transfer, is refused with EBUSY until the holder releases
    // the interface or goes away.
    bool claimed(int unit) const;

    // The 128-byte serial-number block for an 11-character serial number.
    static std::array<uint8_t, kSerialBlockSize> serialBlock(const std::string& serial, bool pico);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace MirrorKit::emu
