// libusb side of the host-driver server: enumeration in a stable order, hot-plug, event thread, transfers.
#include "UsbAccess.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <condition_variable>

namespace MirrorKit::dravix {

namespace {

bool isUnit(libusb_device* device) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(device, &d) != 0) return false;
    return d.idVendor == kUnitVendorId && (d.idProduct == kUnitProductIdPoly || d.idProduct == kUnitProductIdPico);
}

UnitPosition positionOf(libusb_device* device) {
    UnitPosition p;
    p.bus = libusb_get_bus_number(device);
    p.depth = libusb_get_port_numbers(device, p.ports.data(), int(p.ports.size()));
    if (p.depth < 0) p.depth = 0;
    p.address = libusb_get_device_address(device);
    return p;
}

// Calls visit(device) for every drive unit present; the device list is freed whatever visit does.
template <class Visit>
void forEachUnit(libusb_context* ctx, Visit visit) {
    if (ctx == nullptr) return;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    struct Free {
        libusb_device** list;
        ~Free() {
            if (list) libusb_free_device_list(list, 1);
        }
    } guard{list};
    for (ssize_t i = 0; i < count; ++i)
        if (isUnit(list[i])) visit(list[i]);
}

}  // namespace

bool UnitPosition::operator<(const UnitPosition& o) const {
    if (bus != o.bus) return bus < o.bus;
    if (ports != o.ports) return ports < o.ports;
    if (depth != o.depth) return depth < o.depth;
    return address < o.address;
}

bool UnitPosition::operator==(const UnitPosition& o) const {
    return bus == o.bus && ports == o.ports && depth == o.depth && address == o.address;
}

UsbBus::UsbBus(std::function<void(bool)> onChange) : onChange_(std::move(onChange)) {
    if (libusb_init(&ctx_) != 0) {
        ctx_ = nullptr;
        return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        hotplugRegistered_ =
            libusb_hotplug_register_callback(ctx_,
                                             static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                                               LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                                             static_cast<libusb_hotplug_flag>(0), kUnitVendorId,
                                             LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &UsbBus::hotplug, this,
                                             &hotplugHandle_) == LIBUSB_SUCCESS;
    }
}

UsbBus::~UsbBus() {
    stopEvents(kEndpointTimeoutMs);
    if (ctx_ == nullptr) return;
    if (hotplugRegistered_) libusb_hotplug_deregister_callback(ctx_, hotplugHandle_);
    if (events_.joinable()) events_.join();  // stopEvents gave up: the thread must still end before the context
    libusb_exit(ctx_);
}

int LIBUSB_CALL UsbBus::hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* self) {
    libusb_device_descriptor d;
    // Only the drive units count; the filter above could only select the vendor.
    if (libusb_get_device_descriptor(device, &d) == 0 &&
        (d.idProduct == kUnitProductIdPoly || d.idProduct == kUnitProductIdPico)) {
        auto* bus = static_cast<UsbBus*>(self);
        if (bus->onChange_) bus->onChange_(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    }
    return 0;
}

std::vector<UnitPosition> UsbBus::units() const {
    std::vector<UnitPosition> found;
    forEachUnit(ctx_, [&](libusb_device* device) { found.push_back(positionOf(device)); });
    std::sort(found.begin(), found.end());
    return found;
}

int UsbBus::countUnits() const { return int(units().size()); }

bool UsbBus::present(const UnitPosition& unit) const {
    bool found = false;
    forEachUnit(ctx_, [&](libusb_device* device) { found = found || positionOf(device) == unit; });
    return found;
}

libusb_device* UsbBus::find(const UnitPosition& unit) const {
    libusb_device* found = nullptr;
    forEachUnit(ctx_, [&](libusb_device* device) {
        if (found == nullptr && positionOf(device) == unit) found = libusb_ref_device(device);
    });
    return found;
}

void UsbBus::startEvents(std::function<void()> init, std::function<void()> fini) {
    if (ctx_ == nullptr || events_.joinable()) return;
    running_ = true;
    ended_ = false;
    events_ = std::thread([this, init = std::move(init), fini = std::move(fini)] {
        if (init) init();
        while (running_) {
            timeval tv{0, 200000};
            libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
        }
        if (fini) fini();
        ended_ = true;
    });
}

bool UsbBus::stopEvents(unsigned timeoutMs) {
    if (!events_.joinable()) return true;
    running_ = false;
    libusb_interrupt_event_handler(ctx_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ended_ && std::chrono::steady_clock::now() < deadline) {
        libusb_interrupt_event_handler(ctx_);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!ended_) return false;
    events_.join();
    return true;
}

bool UsbDevice::open(const UnitPosition& unit) {
    close();
    libusb_device* device = bus_.find(unit);
    bool ok = device != nullptr && libusb_open(device, &handle_) == 0;
    if (ok) {
        libusb_device_descriptor d;
        libusb_get_device_descriptor(device, &d);
        vendorId_ = d.idVendor;
        productId_ = d.idProduct;
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) == 0 && config->bNumInterfaces > 0 &&
            config->interface[0].num_altsetting > 0) {
            const libusb_interface_descriptor& itf = config->interface[0].altsetting[0];
            for (int i = 0; i < itf.bNumEndpoints; ++i)
                endpoints_.push_back({itf.endpoint[i].bEndpointAddress, itf.endpoint[i].bmAttributes});
        }
        if (config) libusb_free_config_descriptor(config);
        unsigned char text[256] = {};
        if (ok && d.iProduct != 0 && libusb_get_string_descriptor_ascii(handle_, d.iProduct, text, sizeof text) > 0)
            name_ = reinterpret_cast<char*>(text);
        else
            name_ = "USB Device";
    }
    if (device) libusb_unref_device(device);
    if (!ok) close();
    return ok;
}

UsbDevice::ClaimResult UsbDevice::claim() {
    if (handle_ == nullptr) return ClaimResult::kFailed;
    if (claimed_) return ClaimResult::kHeld;
    const int rc = libusb_claim_interface(handle_, 0);
    busy_ = rc == LIBUSB_ERROR_BUSY;
    if (rc == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
    claimed_ = rc == 0;
    return claimed_ ? ClaimResult::kHeld : busy_ ? ClaimResult::kBusy : ClaimResult::kFailed;
}

void UsbDevice::resetAndReconnect() {
    if (handle_ != nullptr) libusb_reset_device(handle_);
    close();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bus_.countUnits();  // enumerate again, as a reconnect does
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void UsbDevice::close() {
    if (handle_ == nullptr) return;
    if (claimed_) libusb_release_interface(handle_, 0);
    libusb_close(handle_);
    handle_ = nullptr;
    claimed_ = false;
    busy_ = false;
    gone_ = false;
    endpoints_.clear();
    name_.clear();
    vendorId_ = productId_ = 0;
}

bool UsbDevice::vendorRequest(bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                              uint16_t length) {
    if (handle_ == nullptr) return false;
    uint8_t type = LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | (in ? LIBUSB_ENDPOINT_IN : LIBUSB_ENDPOINT_OUT);
    const int rc = libusb_control_transfer(handle_, type, request, value, index, data, length, kEndpointTimeoutMs);
    if (rc == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
    return rc >= 0;
}

bool UsbDevice::bulkOut(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs) {
    if (handle_ == nullptr || length < 0) return false;
    int done = 0;
    int rc = libusb_bulk_transfer(handle_, endpoint, data, length, &done, timeoutMs);
    if (rc == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
    return rc == 0 && done == length;
}

}  // namespace MirrorKit::dravix
