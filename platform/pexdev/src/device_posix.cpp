// Device I/O for the card access library: devices are files in the device directory, served by providers.
#include "krv/platform/device_io.h"

#include "krv/platform/device_provider.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace MirrorKit::platform {

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

// A provider of a run-time loaded library, seen through its C table.
class TableProvider final : public DeviceProvider {
public:
    explicit TableProvider(const KrvDeviceProviderTable* table) : table_(table) {}
    bool attach(int fd, const struct stat& st, void** session) override { return table_->attach(fd, &st, session) != 0; }
    bool control(void* session, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned, uint32_t* error) override {
        return table_->control(session, code, in, inSize, out, outSize, returned, error) != 0;
    }
    void detach(void* session) override { table_->detach(session); }

private:
    const KrvDeviceProviderTable* table_;
};

struct ProviderLibrary {
    bool loaded = false;
    std::string message;
};

// The folder of the library (or program) this layer is linked into, with a trailing slash; empty when unknown.
std::string ownFolder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&deviceOpen), &info) || !info.dli_fname) return {};
    const char* slash = std::strrchr(info.dli_fname, '/');
    return slash ? std::string(info.dli_fname, size_t(slash - info.dli_fname) + 1) : std::string();
}

// Loads the emulated-card library, next to this layer's library first, then by its name on the loader's search
// path, and registers its provider. Never unloaded: transfers may run on other threads until the process ends.
ProviderLibrary loadProviderLibrary() {
    ProviderLibrary result;
    void* library = nullptr;
    const std::string folder = ownFolder();
    if (!folder.empty()) {
        const std::string beside = folder + kCardImageLibrary;
        if (::access(beside.c_str(), F_OK) == 0) {
            library = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!library) result.message = dlerror();
        }
    }
    if (!library && result.message.empty()) {
        library = dlopen(kCardImageLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!library) result.message = dlerror();
    }
    if (!library) return result;
    auto entry = reinterpret_cast<KrvDeviceProviderEntry>(dlsym(library, kCardImageProviderEntry));
    const KrvDeviceProviderTable* table = entry ? entry() : nullptr;
    if (!table || table->abi != KRV_DEVICE_PROVIDER_ABI || table->size < sizeof(KrvDeviceProviderTable) ||
        !table->attach || !table->control || !table->detach) {
        result.message = std::string(kCardImageLibrary) + " does not offer a device provider this library can use";
        return result;
    }
    registerDeviceProvider(new TableProvider(table));
    result.loaded = true;
    return result;
}

const ProviderLibrary& providerLibrary() {
    static const ProviderLibrary load = loadProviderLibrary();
    return load;
}

bool deviceDirectoryIsSet() {
    const char* dir = std::getenv("PEXLINK_DEVICE_DIR");
    return dir && *dir;
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

bool cardImageProviderLoaded(std::string* message) {
    const ProviderLibrary& load = providerLibrary();
    if (message) *message = load.message;
    return load.loaded;
}

bool deviceOpen(const char* name, DeviceHandle* handle, uint32_t* error) {
    *handle = DeviceHandle{};
    // Card images are asked for by pointing the layer at a folder of them; only then is their library loaded.
    const bool imagesAsked = deviceDirectoryIsSet();
    const bool imagesServed = imagesAsked && cardImageProviderLoaded(nullptr);
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
    // A file that no provider serves is not a card; no driver of this build talks to it. In a folder of card
    // images without the library that serves them, say that the library is missing.
    ::close(fd);
    *handle = DeviceHandle{};
    *error = imagesAsked && !imagesServed ? ELIBACC : ENODEV;
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
