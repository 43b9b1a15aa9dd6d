// Emulated USB drive units for the Python tests: a C face on the shared test bed, plus the host-driver server's
// registration in the registry store that KRV_REGISTRY_FILE names. The program must run under umockdev-wrapper.
#include "krv/emu/UsbUnits.h"

#include <krv/platform/com.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#define BED_API extern "C" __attribute__((visibility("default")))

using MirrorKit::emu::UsbUnitBed;

BED_API int bed_register_server(const char* path) {
    return MirrorKit::com::registerServer(path, false) == S_OK ? 0 : -1;
}

BED_API void* bed_new() { return new UsbUnitBed; }
BED_API void bed_delete(void* bed) { delete static_cast<UsbUnitBed*>(bed); }
BED_API int bed_available(void* bed) { return static_cast<UsbUnitBed*>(bed)->available() ? 1 : 0; }

// A 160-channel unit with the given serial number; its id, or -1.
BED_API int bed_add_unit(void* bed, const char* serial) {
    MirrorKit::emu::UsbUnitConfig config;
    config.serialNumber = serial;
    return static_cast<UsbUnitBed*>(bed)->addUnit(config);
}

// Waits for the count-th bulk transfer, then copies the last one into out; its length in bytes, or -1.
BED_API long bed_last_bulk(void* bed, int unit, size_t count, uint8_t* out, size_t capacity) {
    auto* b = static_cast<UsbUnitBed*>(bed);
    if (!b->waitBulkCount(unit, count, 2000)) return -1;
    const auto all = b->bulkTransfers(unit);
    const auto& last = all.back();
    std::copy_n(last.begin(), std::min(capacity, last.size()), out);
    return static_cast<long>(last.size());
}

BED_API size_t bed_bulk_count(void* bed, int unit) { return static_cast<UsbUnitBed*>(bed)->bulkCount(unit); }
