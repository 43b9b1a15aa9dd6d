// Device I/O seam under the card access library: open a device by name, one control request, close.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace MirrorKit::platform {

// One kind of device that the layer can talk to. A device is opened as a file in the device directory; every
// provider is asked in turn whether it serves that file. Providers must be safe to call from any thread.
class DeviceProvider {
public:
    virtual ~DeviceProvider() = default;
    // Serves the device open as fd (st is its status): returns true and a session for control() and detach(),
    // or false when the file is not this provider's kind of device.
    virtual bool attach(int fd, const struct stat& st, void** session) = 0;
    // One control request. False with *error set (a system error code) when the request itself failed.
    virtual bool control(void* session, uint32_t code, const void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned, uint32_t* error) = 0;
    virtual void detach(void* session) = 0;
};

// Adds a provider; providers are asked in the order they were added. The provider must live until the process
// ends.
void registerDeviceProvider(DeviceProvider* provider);

// Emulated cards are not part of this layer: they are served by a library of their own, loaded (once per
// process, never unloaded) by the first open while $PEXLINK_DEVICE_DIR names a folder of card images. It is
// looked for next to the library or program holding this layer, then by its name on the loader's search path;
// its provider joins the registered ones.
constexpr const char* kCardImageLibrary = "libpexemu.so.1";
constexpr const char* kCardImageProviderEntry = "pexemu_device_provider";
// Loads that library if not tried yet; whether it serves cards, with the loader's message when it does not.
bool cardImageProviderLoaded(std::string* message);

// An open device. Lives on the caller's stack: opening and closing allocate nothing once a card is known.
struct DeviceHandle {
    int fd = -1;
    DeviceProvider* provider = nullptr;
    void* session = nullptr;
};

// Directory holding the devices: $PEXLINK_DEVICE_DIR, default /dev.
const char* deviceDirectory();

// Opens device `name` of the device directory for reading and writing. False with *error = the system error
// code: ENODEV when the file is there but no provider serves it, ELIBACC when $PEXLINK_DEVICE_DIR is set and
// no provider serves the file because the emulated-card library cannot be loaded.
bool deviceOpen(const char* name, DeviceHandle* handle, uint32_t* error);
bool deviceControl(const DeviceHandle& handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                   uint32_t outSize, uint32_t* returned, uint32_t* error);
void deviceClose(DeviceHandle* handle);

}  // namespace MirrorKit::platform
