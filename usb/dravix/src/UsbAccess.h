// USB access layer of the host-driver server over libusb: the drive units present, one opened unit, its transfers.
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace MirrorKit::dravix {

constexpr uint16_t kUnitVendorId = 0x1781;
constexpr uint16_t kUnitProductIdPoly = 0x0ED8;
constexpr uint16_t kUnitProductIdPico = 0x0ED9;
constexpr unsigned kEndpointTimeoutMs = 5000;

// Where a unit sits: its bus, its port path and the address the bus gave it. A unit unplugged and plugged in again,
// even into the same port, comes back at another address, so this names one stay of one unit on the bus.
struct UnitPosition {
    uint8_t bus = 0;
    std::array<uint8_t, 8> ports{};
    int depth = 0;
    uint8_t address = 0;
    bool operator<(const UnitPosition& o) const;
    bool operator==(const UnitPosition& o) const;
};

// One libusb context: the enumerator of drive units, their hot-plug notifications and the event thread that runs
// every transfer completion.
class UsbBus {
public:
    // onChange(arrived) runs on the event thread for every unit that arrives or leaves: keep it short.
    explicit UsbBus(std::function<void(bool arrived)> onChange);
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    bool ok() const { return ctx_ != nullptr; }
    libusb_context* context() const { return ctx_; }

    // The units present, in a stable order (bus, then port path, then address).
    std::vector<UnitPosition> units() const;
    int countUnits() const;
    bool present(const UnitPosition& unit) const;
    // The unit at that position with a reference the caller drops with libusb_unref_device, or null.
    libusb_device* find(const UnitPosition& unit) const;

    // Starts the event thread; init runs first on that thread (the thread's own set-up), fini last.
    void startEvents(std::function<void()> init, std::function<void()> fini);
    // Stops the event thread; false when it did not end within timeoutMs (it is then left to end by itself).
    bool stopEvents(unsigned timeoutMs);

private:
    static int LIBUSB_CALL hotplug(libusb_context*, libusb_device*, libusb_hotplug_event event, void* self);

    libusb_context* ctx_ = nullptr;
    libusb_hotplug_callback_handle hotplugHandle_ = 0;
    bool hotplugRegistered_ = false;
    std::function<void(bool)> onChange_;
    std::thread events_;
    std::atomic<bool> running_{false};
    std::atomic<bool> ended_{false};
};

struct UsbEndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 0;
};

// One opened drive unit.
class UsbDevice {
public:
    explicit UsbDevice(UsbBus& bus) : bus_(bus) {}
    ~UsbDevice() { close(); }
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // Opens the unit for identification and control requests; the interface is claimed only by claim().
    bool open(const UnitPosition& unit);
    // Claims the interface for this process, once; kBusy when another process holds it (nothing is reset).
    enum class ClaimResult { kHeld, kBusy, kFailed };
    ClaimResult claim();
    bool busy() const { return busy_; }
    // Resets the unit when it could be opened at all, then waits and lets the bus enumerate again.
    void resetAndReconnect();
    void close();
    bool isOpen() const { return handle_ != nullptr; }
    // True once a transfer found the unit no longer there.
    bool gone() const { return gone_; }

    uint16_t vendorId() const { return vendorId_; }
    uint16_t productId() const { return productId_; }
    const std::string& friendlyName() const { return name_; }
    // Endpoints of the selected interface, the control endpoint not counted.
    const std::vector<UsbEndpointInfo>& endpoints() const { return endpoints_; }
    libusb_device_handle* handle() const { return handle_; }

    // Vendor request to the device; true when the transfer succeeded.
    bool vendorRequest(bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
    // One synchronous bulk OUT transfer of the whole buffer; true when all of it went out.
    bool bulkOut(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs);

private:
    UsbBus& bus_;
    libusb_device_handle* handle_ = nullptr;
    bool claimed_ = false;
    bool busy_ = false;
    // Set by transfers, which run without the table lock.
    std::atomic<bool> gone_{false};
    uint16_t vendorId_ = 0;
    uint16_t productId_ = 0;
    std::string name_;
    std::vector<UsbEndpointInfo> endpoints_;
};

}  // namespace MirrorKit::dravix
