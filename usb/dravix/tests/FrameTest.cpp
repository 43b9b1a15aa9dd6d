// Single frames and streaming: what reaches the unit, in how many transfers, and what a flush guarantees.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "DravixFixture.h"

namespace DravixTests {
namespace {

using MirrorKit::emu::UsbUnitConfig;

// The concatenation of frames seed, seed+1, ... of n bytes each.
std::vector<uint8_t> frames(size_t n, int count, uint8_t seed) {
    std::vector<uint8_t> all;
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> f(n);
        for (size_t j = 0; j < n; ++j) f[j] = uint8_t(seed + 17 * i + j);
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}
std::vector<uint8_t> nth(const std::vector<uint8_t>& all, size_t n, int i) {
    return std::vector<uint8_t>(all.begin() + long(n) * i, all.begin() + long(n) * (i + 1));
}

TEST_F(DravixTest, SingleFramesGoOutWhole) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    EXPECT_EQ(step(0, frame(320, 5)), DRAVIX_DONE);
    std::vector<uint8_t> f = frame(100, 9);
    LONG status = 12345;
    ASSERT_EQ(host->Dravix_SendFrameData(0, f.data(), 100, &status), S_OK);
    EXPECT_EQ(status, DRAVIX_DONE);
    status = 12345;
    ASSERT_EQ(host->Dravix_StepFrameData(0, nullptr, 320, &status), S_OK);
    EXPECT_EQ(status, 12345);  // no data, no transfer, status untouched
    auto got = bed.bulkTransfers(0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], frame(320, 5));
    EXPECT_EQ(got[1], f);

    bed.failBulk(0, true);
    EXPECT_EQ(step(0, frame(320, 6)), DRAVIX_XFER_FAILED);
    EXPECT_EQ(host->Dravix_StepFrameData(0, f.data(), 10, nullptr), E_POINTER);
}

TEST_F(DravixTest, StreamingBatchesEightFramesPerTransfer) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    EXPECT_EQ(stream(0, frame(63, 0)), DRAVIX_INVALID);
    EXPECT_EQ(stream(0, frame(321, 0)), DRAVIX_INVALID);
    EXPECT_EQ(stream(0, frame(64, 0)), DRAVIX_INVALID);
    LONG status = 0;
    ASSERT_EQ(host->Dravix_StreamFrameData(0, nullptr, 320, &status), S_OK);
    EXPECT_EQ(status, DRAVIX_INVALID);

    const auto all = frames(320, 16, 3);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(stream(0, nth(all, 320, i)), DRAVIX_DONE);
    LONG flushStatus = 1;
    // Nothing is sent before the eighth frame (a flush here would discard them, so wait on the unit instead).
    EXPECT_FALSE(bed.waitBulkCount(0, 1, 100));
    EXPECT_EQ(stream(0, nth(all, 320, 7)), DRAVIX_DONE);
    ASSERT_TRUE(bed.waitBulkCount(0, 1, 3000));
    for (int i = 8; i < 16; ++i) EXPECT_EQ(stream(0, nth(all, 320, i)), DRAVIX_DONE);
    ASSERT_EQ(host->Dravix_FlushStream(0, &flushStatus), S_OK);
    EXPECT_EQ(flushStatus, 0);
    auto got = bed.bulkTransfers(0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::vector<uint8_t>(all.begin(), all.begin() + 2560));
    EXPECT_EQ(got[1], std::vector<uint8_t>(all.begin() + 2560, all.end()));
}

TEST_F(DravixTest, PicoStreamingSends512ByteTransfers) {
    UsbUnitConfig c;
    c.productId = 0x0ED9;
    ASSERT_EQ(bed.addUnit(c), 0);
    ASSERT_NE(create(), nullptr);
    setControl(0, DRAVIX_CTL_PICO_MODE);
    EXPECT_EQ(stream(0, frame(320, 0)), DRAVIX_INVALID);
    const auto all = frames(64, 8, 40);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(stream(0, nth(all, 64, i)), DRAVIX_DONE);
    LONG status = 1;
    host->Dravix_FlushStream(0, &status);
    auto got = bed.bulkTransfers(0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], all);
}

TEST_F(DravixTest, FlushDiscardsPartialBuffersOfEverySlot) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 1);
    ASSERT_NE(create(), nullptr);
    const auto early = frames(320, 5, 1);
    for (int i = 0; i < 5; ++i) stream(0, nth(early, 320, i));
    for (int i = 0; i < 3; ++i) stream(1, nth(early, 320, i));
    LONG status = 1;
    // Flushing names slot 1, but slot 0's partial buffer goes too.
    ASSERT_EQ(host->Dravix_FlushStream(1, &status), S_OK);
    const auto later = frames(320, 8, 100);
    for (int i = 0; i < 8; ++i) stream(0, nth(later, 320, i));
    host->Dravix_FlushStream(0, &status);
    auto got = bed.bulkTransfers(0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], later);
    EXPECT_EQ(bed.bulkCount(1), 0u);
}

TEST_F(DravixTest, FlushReturnsOnlyAfterTransfersInFlightComplete) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    bed.holdBulk(0, true);
    const auto all = frames(320, 16, 7);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(stream(0, nth(all, 320, i)), DRAVIX_DONE);
    for (int i = 0; i < 200 && bed.bulkInFlight(0) < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(bed.bulkInFlight(0), 2u);
    auto flushed = std::async(std::launch::async, [&] {
        LONG status = 1;
        host->Dravix_FlushStream(0, &status);
        return bed.bulkCount(0);
    });
    EXPECT_EQ(flushed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    bed.holdBulk(0, false);
    EXPECT_EQ(flushed.get(), 2u);  // both transfers were complete when the flush returned
}

TEST_F(DravixTest, UnplugMidStreamEndsTransfersAndLaterCallsReportNoDevice) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    bed.holdBulk(0, true);
    const auto all = frames(320, 24, 9);
    for (int i = 0; i < 24; ++i) ASSERT_EQ(stream(0, nth(all, 320, i)), DRAVIX_DONE);
    for (int i = 0; i < 200 && bed.bulkInFlight(0) < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bed.unplug(0);
    auto start = std::chrono::steady_clock::now();
    LONG status = 1;
    host->Dravix_FlushStream(0, &status);
    // The failed transfers count as complete: the flush does not sit out its time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(bed.bulkCount(0), 0u);
    EXPECT_EQ(step(0, frame(320, 0)), DRAVIX_NO_DEVICE);
}

TEST_F(DravixTest, ManyBuffersCycleWithoutLoss) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_NE(create(), nullptr);
    // More batches than there are buffers, so every buffer is reused.
    const int batches = 80;
    const auto all = frames(320, 8 * batches, 11);
    for (int i = 0; i < 8 * batches; ++i) ASSERT_EQ(stream(0, nth(all, 320, i)), DRAVIX_DONE);
    LONG status = 1;
    host->Dravix_FlushStream(0, &status);
    auto got = bed.bulkTransfers(0);
    ASSERT_EQ(got.size(), size_t(batches));
    for (int b = 0; b < batches; ++b)
        EXPECT_EQ(got[size_t(b)], std::vector<uint8_t>(all.begin() + 2560L * b, all.begin() + 2560L * (b + 1))) << b;
}

}  // namespace
}  // namespace DravixTests

namespace DravixTests {
namespace {

TEST_F(DravixTest, ConcurrentClientsAreSerialisedWithoutLoss) {
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 0);
    ASSERT_EQ(bed.addUnit(UsbUnitConfig()), 1);
    ASSERT_NE(create(), nullptr);
    const int rounds = 40;
    std::atomic<int> failures{0};
    auto stepper = [&](LONG slot) {
        for (int i = 0; i < rounds; ++i) {
            std::vector<uint8_t> f = frame(320, uint8_t(i));
            LONG status = 1;
            host->Dravix_StepFrameData(slot, f.data(), 320, &status);
            if (status != DRAVIX_DONE) ++failures;
        }
    };
    auto streamer = [&] {
        for (int i = 0; i < rounds * 8; ++i) {
            std::vector<uint8_t> f = frame(320, uint8_t(i));
            LONG status = 1;
            host->Dravix_StreamFrameData(1, f.data(), 320, &status);
            if (status != DRAVIX_DONE) ++failures;
        }
    };
    auto lister = [&] {
        for (int i = 0; i < rounds; ++i) {
            LONG ids[4], status = 1;
            host->Dravix_GetAvailableDevices(ids, 4, &status);
            if (status != DRAVIX_DONE || ids[0] != 0 || ids[1] != 1) ++failures;
        }
    };
    std::thread a(stepper, 0), b(streamer), c(lister);
    a.join();
    b.join();
    c.join();
    LONG status = 1;
    host->Dravix_FlushStream(0, &status);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(bed.bulkCount(0), size_t(rounds));
    EXPECT_EQ(bed.bulkCount(1), size_t(rounds));
    for (const auto& t : bed.bulkTransfers(1)) EXPECT_EQ(t.size(), 2560u);
}

}  // namespace
}  // namespace DravixTests
