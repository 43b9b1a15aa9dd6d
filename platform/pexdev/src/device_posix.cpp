// Device I/O for the card access library: devices are files in the device directory, served by providers.
#include "krv/platform/device_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace MirrorKit::platform {

DeviceProvider& emulatedCardProvider();  // emulated_card.cpp

namespace {
constexpr int kMaxProviders = 8;
std::atomic<DeviceProvider*> g_providers[kMaxProviders];
std::atomic<int> g_providerCount{0};

bool tryAttach(DeviceProvider* provider, int fd, const struct stat& st, DeviceHandle* handle) {
    void* session = nullptr;
    try {
        if (!provider->attach(fd, st, &session)) return false;
    } catch (...) {
        return false;
    }
    handle->provider = provider;
    handle->session = session;
    return true;
}
}  // namespace

void registerDeviceProvider(DeviceProvider* provider) {
    int slot = g_providerCount.fetch_add(1);
    if (slot < kMaxProviders)
        g_providers[slot].store(provider);
    else
        g_providerCount.store(kMaxProviders);
}

const char* deviceDirectory() {
    const char* dir = std::getenv("PEXLINK_DEVICE_DIR");
    return dir && *dir ? dir : "/dev";
}

bool deviceOpen(const char* name, DeviceHandle* handle, uint32_t* error) {
    *handle = DeviceHandle{};
    char path[PATH_MAX];
    int n = std::snprintf(path, sizeof path, "%s/%s", deviceDirectory(), name);
    if (n < 0 || size_t(n) >= sizeof path) {
        *error = ENAMETOOLONG;
        return false;
    }
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = uint32_t(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *error = uint32_t(errno);
        ::close(fd);
        return false;
    }
    handle->fd = fd;
    int count = std::min(g_providerCount.load(), kMaxProviders);
    for (int i = 0; i < count; ++i) {
        DeviceProvider* provider = g_providers[i].load();
        if (provider && tryAttach(provider, fd, st, handle)) return true;
    }
    if (tryAttach(&emulatedCardProvider(), fd, st, handle)) return true;
    // A file that no provider serves is not a card; no driver of this build talks to it.
    ::close(fd);
    *handle = DeviceHandle{};
    *error = ENODEV;
    return false;
}

bool deviceControl(const DeviceHandle& handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                   uint32_t outSize, uint32_t* returned, uint32_t* error) {
    if (!handle.provider) {
        *error = EBADF;
        return false;
    }
    try {
        return handle.provider->control(handle.session, code, in, inSize, out, outSize, returned, error);
    } catch (...) {
        *error = EIO;
        return false;
    }
}

void deviceClose(DeviceHandle* handle) {
    if (handle->provider) handle->provider->detach(handle->session);
    if (handle->fd >= 0) ::close(handle->fd);
    *handle = DeviceHandle{};
}

}  // namespace MirrorKit::platform
