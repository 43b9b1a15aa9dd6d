// A server object whose construction fails part way: nothing of it may stay behind to keep the module loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "HostDrv.h"
#include "krv/emu/UsbUnits.h"

namespace {

// Failures injected on the testing thread only: the n-th allocation from now fails, and so does the n-th
// transfer record.
thread_local long tAllocationsLeft = -1;
thread_local long tTransfersLeft = -1;

bool injected(long& left) { return left >= 0 && left-- == 0; }

}  // namespace

// Plain malloc and free underneath, so the pairs always match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (injected(tAllocationsLeft)) throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
// The non-throwing form too (std::stable_partition asks for its buffer with it): a sanitizer's own version would
// hand out memory its allocator expects back, not through free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (injected(tAllocationsLeft)) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

extern "C" libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    using Alloc = libusb_transfer* (*)(int);
    static const auto real = reinterpret_cast<Alloc>(dlsym(RTLD_NEXT, "libusb_alloc_transfer"));
    return injected(tTransfersLeft) ? nullptr : real(isoPackets);
}

namespace {

using MirrorKit::dravix::CHostDrv;
using MirrorKit::dravix::gServerRefs;

// Constructs a server object with failure n injected through counter; true when the construction failed.
bool constructionFails(long& counter, long n) {
    counter = n;
    CHostDrv* host = nullptr;
    bool failed = false;
    try {
        host = new CHostDrv(nullptr);
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    counter = -1;
    EXPECT_EQ(gServerRefs.load(), host ? 1 : 0) << "failure " << n;
    if (host) host->inner()->Release();
    EXPECT_EQ(gServerRefs.load(), 0);
    return failed;
}

TEST(HostDrvConstruction, FailureAtAnyAllocationLeavesNothingBehind) {
    MirrorKit::emu::UsbUnitBed bed;
    if (!bed.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    ASSERT_EQ(bed.addUnit(MirrorKit::emu::UsbUnitConfig()), 0);
    int failed = 0;
    long n = 0;
    while (n < 10000 && constructionFails(tAllocationsLeft, n)) ++failed, ++n;
    EXPECT_GT(failed, 3);  // the object, its bus, its device table and its threads each allocate
    EXPECT_LT(n, 10000);
}

TEST(HostDrvConstruction, MissingTransferRecordFailsTheConstruction) {
    MirrorKit::emu::UsbUnitBed bed;
    if (!bed.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    for (long n : {0L, 1000L, 32L * 32 - 1}) EXPECT_TRUE(constructionFails(tTransfersLeft, n)) << n;
    EXPECT_FALSE(constructionFails(tTransfersLeft, 32L * 32));
}

}  // namespace
