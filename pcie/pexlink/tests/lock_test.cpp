// The transfer lock of pexlink within one process: time-out, abandonment, recursion and bracketing.
#include "pexlink_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace MirrorKit::Test {
namespace {

using Emu::Reg::FrameMemory;
using Emu::Reg::HvaConfig;
using Clock = std::chrono::steady_clock;

// Holds the lock on a thread of its own until told to let go (or to end without letting go).
class Holder {
public:
    explicit Holder(bool releaseAtEnd = true) {
        thread_ = std::thread([this, releaseAtEnd] {
            acquired_.set_value(AcquireMutex());
            go_.get_future().wait();
            if (releaseAtEnd) MutexRelease();
        });
        result_ = acquired_.get_future().get();
    }
    ~Holder() { finish(); }
    uint32_t acquired() const { return result_; }
    void finish() {
        if (!thread_.joinable()) return;
        go_.set_value();
        thread_.join();
    }

private:
    std::promise<uint32_t> acquired_;
    std::promise<void> go_;
    std::thread thread_;
    uint32_t result_ = ~0u;
};

TEST_F(PexlinkTest, LockHeldElsewhereTimesOutEveryLockedCall) {
    makeCards(1);
    Holder holder;
    ASSERT_EQ(holder.acquired(), PEX_SUCCESS);
    uint32_t words[4] = {1, 2, 3, 4};
    // All waits run side by side, so the test costs one time-out, not one per call.
    const auto start = Clock::now();
    std::vector<std::future<uint32_t>> calls;
    calls.push_back(std::async(std::launch::async, [] {
        uint32_t v = 0;
        return ReadReg(1, HvaConfig, &v);
    }));
    calls.push_back(std::async(std::launch::async, [] { return WriteReg(1, HvaConfig, 5); }));
    calls.push_back(std::async(std::launch::async, [&] { return WriteMemBurst(1, FrameMemory, 4, words); }));
    calls.push_back(std::async(std::launch::async, [&] { return WriteMem(1, FrameMemory, 0, 4, words); }));
    calls.push_back(std::async(std::launch::async, [] { return SetBits(1, HvaConfig, 1); }));
    calls.push_back(std::async(std::launch::async, [] { return SetBitsWait(1, HvaConfig, 1, 10); }));
    calls.push_back(std::async(std::launch::async, [] { return AcquireMutex(); }));
    for (auto& call : calls) EXPECT_EQ(call.get(), PEX_ERR_MUTEX_TIMEOUT);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(PEX_LOCK_TIMEOUT_MS - 10));
    EXPECT_LT(waited, std::chrono::milliseconds(PEX_LOCK_TIMEOUT_MS * 3));
    EXPECT_EQ(card(1)->transferCount(), 0u);  // nothing was sent

    // Unlocked transfers pass while the lock is held.
    EXPECT_EQ(WriteRegNoMutex(1, HvaConfig, 6), PEX_SUCCESS);
    holder.finish();
    uint32_t value = 0;
    EXPECT_EQ(ReadReg(1, HvaConfig, &value), PEX_SUCCESS);
    EXPECT_EQ(value, 6u);
}

TEST_F(PexlinkTest, BracketedCallsHoldOthersOffUntilRelease) {
    makeCards(1);
    ASSERT_EQ(AcquireMutex(), PEX_SUCCESS);
    ASSERT_EQ(AcquireMutex(), PEX_SUCCESS);  // recursive for its owner
    EXPECT_EQ(SetBits(1, HvaConfig, 0x10), PEX_SUCCESS);
    std::atomic<bool> done{false};
    auto other = std::async(std::launch::async, [&] {
        uint32_t rc = WriteReg(1, HvaConfig, 0x99);
        done = true;
        return rc;
    });
    EXPECT_EQ(SetBits(1, HvaConfig, 0x20), PEX_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(MutexRelease(), PEX_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());  // still held once
    EXPECT_EQ(MutexRelease(), PEX_SUCCESS);
    EXPECT_EQ(other.get(), PEX_SUCCESS);
    // The other thread's write came after both read-modify-writes.
    auto log = card(1)->transfers();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3].words, std::vector<uint32_t>{0x30});
    EXPECT_EQ(log[4].words, std::vector<uint32_t>{0x99});
}

TEST_F(PexlinkTest, ReleasingALockNotHeldFails) {
    EXPECT_EQ(MutexRelease(), PEX_ERR_MUTEX_RELEASE);
    Holder holder;
    ASSERT_EQ(holder.acquired(), PEX_SUCCESS);
    EXPECT_EQ(MutexRelease(), PEX_ERR_MUTEX_RELEASE);  // held by another thread
}

TEST_F(PexlinkTest, AbandonedLockIsReportedOnceAndThenUsable) {
    makeCards(1);
    {
        Holder quitter(false);  // ends its thread while holding the lock
        ASSERT_EQ(quitter.acquired(), PEX_SUCCESS);
    }
    uint32_t value = 0;
    EXPECT_EQ(WriteReg(1, HvaConfig, 3), PEX_ERR_MUTEX_ABANDONED);
    EXPECT_EQ(card(1)->transferCount(), 0u);  // nothing was sent
    // The failed call handed the lock on: other threads and this one go on normally.
    auto other = std::async(std::launch::async, [] { return WriteReg(1, HvaConfig, 4); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(other.get(), PEX_SUCCESS);
    EXPECT_EQ(ReadReg(1, HvaConfig, &value), PEX_SUCCESS);
    EXPECT_EQ(value, 4u);

    {
        Holder quitter(false);
        ASSERT_EQ(quitter.acquired(), PEX_SUCCESS);
    }
    EXPECT_EQ(AcquireMutex(), PEX_ERR_MUTEX_ABANDONED);
    // The failed acquire holds nothing, so there is nothing to release and others get the lock at once.
    EXPECT_EQ(MutexRelease(), PEX_ERR_MUTEX_RELEASE);
    auto next = std::async(std::launch::async, [] {
        uint32_t rc = AcquireMutex();
        if (rc == PEX_SUCCESS) MutexRelease();
        return rc;
    });
    ASSERT_EQ(next.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(next.get(), PEX_SUCCESS);
}

TEST_F(PexlinkTest, ThreadsSharingTheLibraryKeepTheirOwnTransfers) {
    makeCards(1);
    // Every locked transfer goes through one shared request record: each thread's words must still land
    // whole and in their own place.
    constexpr int kThreads = 4, kRounds = 300, kWords = 16;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            uint32_t block[kWords], back[kWords];
            for (int r = 0; r < kRounds; ++r) {
                for (int i = 0; i < kWords; ++i) block[i] = uint32_t(t << 24 | r << 8 | i);
                uint32_t at = FrameMemory + uint32_t(t * kWords);
                if (WriteMemBurst(1, at, kWords, block) != 0 || ReadMem(1, at, 0, kWords, back) != 0 ||
                    std::memcmp(block, back, sizeof block) != 0)
                    ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(card(1)->transferCount(), uint64_t(kThreads * kRounds * 2));
}

// PEXCleanUp and PEXInit on one thread while others transfer: a call in progress keeps the lock handle it
// started with, so no transfer touches a freed handle; calls that find no lock fail without sending.
TEST_F(PexlinkTest, CleanUpAndInitWhileOthersTransfer) {
    makeCards(1);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0}, done{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
        users.emplace_back([&] {
            while (!stop.load()) {
                uint32_t value = 0;
                const uint32_t rc = ReadReg(1, HvaConfig, &value);
                if (rc != PEX_SUCCESS && rc != PEX_ERR_MUTEX_WAIT) ++unexpected;
                ++done;
            }
        });
    }
    for (int cycle = 0; cycle < 3000; ++cycle) {
        PEXCleanUp();
        if (PEXInit() != PEX_SUCCESS) ++unexpected;
    }
    stop = true;
    for (auto& th : users) th.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(done.load(), 0);
    uint32_t value = 0;
    EXPECT_EQ(ReadReg(1, HvaConfig, &value), PEX_SUCCESS);
}

}  // namespace
}  // namespace MirrorKit::Test
