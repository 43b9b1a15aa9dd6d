// Actuator map files through the core's loader. The first two bytes choose the expected entry count
// (1 to 8192, both units of a two-unit mirror); the rest is the file.
#include "FuzzSupport.h"

#include <KRV.h>
#include <krv/KRVApiImpl.h>
#include <krv/Log.h>

#include <algorithm>
#include <vector>

namespace {
constexpr uint32_t kUnset = 0xA5A5A5A5u;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    krvfuzz::scratchDir();
    MirrorKit::Log::configure(krvfuzz::scratchPath("core.log"), KRV_LOG_OFF, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint64_t count = (uint64_t(data[0]) | uint64_t(data[1]) << 8) % 8192 + 1;
    const std::string path = krvfuzz::writeFile(krvfuzz::scratchPath("Map/fuzz.map"), data + 2, size - 2);

    // The loader may write count entries and nothing beyond: the guard entries must stay as they were.
    std::vector<uint32_t> map(count + 16, kUnset);
    const KRVRC rc = MirrorKit::KRVLoadMapImpl(path.c_str(), map.data(), count);
    KRVFUZZ_CHECK(rc == NO_ERR || rc == ERR_INVALID_LUT, "result " + std::to_string(rc));
    for (uint64_t i = count; i < map.size(); ++i) KRVFUZZ_CHECK(map[i] == kUnset, "entry written past the map");
    if (rc == NO_ERR) {
        for (uint64_t i = 0; i < count; ++i)
            KRVFUZZ_CHECK(map[i] != kUnset, "entry " + std::to_string(i) + " left unset by a successful load");
        // Every channel appears once; only the unmapped mark repeats.
        std::vector<uint64_t> sorted(map.begin(), map.begin() + static_cast<std::ptrdiff_t>(count));
        std::sort(sorted.begin(), sorted.end());
        for (uint64_t i = 1; i < count; ++i)
            KRVFUZZ_CHECK(sorted[i] != sorted[i - 1] || sorted[i] == MAX_DM_SIZE,
                          "entry " + std::to_string(sorted[i]) + " loaded twice");
    } else {
        // A refused file changes nothing.
        for (uint64_t i = 0; i < count; ++i) KRVFUZZ_CHECK(map[i] == kUnset, "a refused load wrote entries");
    }
    return 0;
}
