// pexlink entry points against emulated cards: arguments, card counting, transfers, bit operations, waits.
#include "pexlink_fixture.h"

#include "krv/platform/named_lock.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

extern char** environ;

namespace MirrorKit::Test {
namespace {

using Emu::Reg::FrameMemory;
using Emu::Reg::HvaConfig;
using Emu::Reg::SeqMemory;

// Whether another thread gets the lock at once (in this thread it is recursive, so it would prove nothing).
bool lockIsFree() {
    auto other = std::async(std::launch::async, [] {
        uint32_t rc = AcquireMutex();
        if (rc == PEX_SUCCESS) MutexRelease();
        return rc;
    });
    return other.wait_for(std::chrono::seconds(2)) == std::future_status::ready && other.get() == PEX_SUCCESS;
}

TEST_F(PexlinkTest, NullPointersAreRefusedWithoutTouchingTheCard) {
    makeCards(1);
    uint32_t word = 0;
    EXPECT_EQ(ReadReg(1, HvaConfig, nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(ReadRegNoMutex(1, HvaConfig, nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(ReadConfigReg(1, 0, nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(ReadMem(1, FrameMemory, 0, 4, nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(WriteMem(1, FrameMemory, 0, 4, nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(WriteMemBurst(1, FrameMemory, 4, nullptr), PEX_ERR_NULL_ARG);
    // Result pointers of the information calls are checked too, instead of being written through.
    EXPECT_EQ(GetNumDevices(nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(GetSWRev(nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(GetDrvSWRev(nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(GetPCIAddress(1, 0, nullptr), PEX_ERR_NULL_ARG);
    EXPECT_EQ(card(1)->transferCount(), 0u);
    EXPECT_EQ(ReadReg(1, HvaConfig, &word), PEX_SUCCESS);  // the card itself was reachable
    EXPECT_EQ(card(1)->transferCount(), 1u);
}

TEST_F(PexlinkTest, MissingCardGivesOpenErrorAndLeavesTheLockFree) {
    makeCards(2);
    uint32_t word = 0x5555, words[4] = {1, 2, 3, 4};
    uint64_t address = 77;
    EXPECT_EQ(ReadReg(3, HvaConfig, &word), PEX_ERR_OPEN);
    EXPECT_EQ(word, 0x5555u);
    EXPECT_EQ(WriteReg(3, HvaConfig, 1), PEX_ERR_OPEN);
    EXPECT_EQ(ReadMem(3, FrameMemory, 0, 4, words), PEX_ERR_OPEN);
    EXPECT_EQ(WriteMem(3, FrameMemory, 1, 4, words), PEX_ERR_OPEN);
    EXPECT_EQ(WriteMemBurst(3, FrameMemory, 4, words), PEX_ERR_OPEN);
    EXPECT_EQ(ReadConfigReg(3, 0, &word), PEX_ERR_OPEN);
    EXPECT_EQ(WriteConfigReg(3, 1, 1), PEX_ERR_OPEN);
    EXPECT_EQ(SetBits(0, HvaConfig, 1), PEX_ERR_OPEN);
    EXPECT_EQ(ClearBits(-1, HvaConfig, 1), PEX_ERR_OPEN);
    EXPECT_EQ(SetBitsWait(3, HvaConfig, 1, 10), PEX_ERR_OPEN);
    EXPECT_EQ(ClearBitsWait(3, HvaConfig, 1, 10), PEX_ERR_OPEN);
    EXPECT_EQ(ReadRegNoMutex(3, HvaConfig, &word), PEX_ERR_OPEN);
    EXPECT_EQ(WriteRegNoMutex(3, HvaConfig, 1), PEX_ERR_OPEN);
    EXPECT_EQ(GetDriverInfo(3), PEX_ERR_OPEN);
    EXPECT_EQ(GetPCIAddress(3, 0, &address), PEX_ERR_OPEN);
    EXPECT_EQ(address, 77u);
    EXPECT_TRUE(lockIsFree());
    EXPECT_EQ(card(1)->transferCount() + card(2)->transferCount(), 0u);
}

TEST_F(PexlinkTest, CountsCardsUpToTheFirstGap) {
    int16_t count = -1;
    EXPECT_EQ(GetNumDevices(&count), PEX_SUCCESS);
    EXPECT_EQ(count, 0);

    makeCards(4);
    ASSERT_EQ(unlink(devicePath(3).c_str()), 0);
    EXPECT_EQ(GetNumDevices(&count), PEX_SUCCESS);
    EXPECT_EQ(count, 2);

    makeCards(11);
    EXPECT_EQ(GetNumDevices(&count), PEX_SUCCESS);
    EXPECT_EQ(count, PEX_MAX_CARDS);

    // A file that is not a card image is no card.
    ASSERT_EQ(unlink(devicePath(1).c_str()), 0);
    std::ofstream(devicePath(1)) << "not a card";
    EXPECT_EQ(GetNumDevices(&count), PEX_SUCCESS);
    EXPECT_EQ(count, 0);
}

TEST_F(PexlinkTest, RevisionsAndBusAddresses) {
    uint32_t revision = 1;
    EXPECT_EQ(GetSWRev(&revision), PEX_SUCCESS);
    EXPECT_EQ(revision, 110u);

    revision = 1;
    EXPECT_EQ(GetDrvSWRev(&revision), PEX_ERR_OPEN);
    EXPECT_EQ(revision, 0u);  // written on failure too

    Emu::CardOptions options;
    options.driverRevision = 412;
    options.baseAddress = 0x1234500000ull;
    std::string error;
    ASSERT_TRUE(Emu::createCards(dir(), 2, options, &error)) << error;
    EXPECT_EQ(GetDrvSWRev(&revision), PEX_SUCCESS);
    EXPECT_EQ(revision, 412u);
    EXPECT_EQ(GetDriverInfo(2), PEX_SUCCESS);

    uint64_t address = 0;
    EXPECT_EQ(GetPCIAddress(1, 3, &address), PEX_SUCCESS);
    EXPECT_EQ(address, 0x1234500000ull + 12);
    EXPECT_EQ(GetPCIAddress(2, 0, &address), PEX_SUCCESS);
    EXPECT_EQ(address, 0x1234500000ull + 0x100000);
    // The offset is a 32-bit product: it wraps instead of carrying into the upper half of the base.
    EXPECT_EQ(GetPCIAddress(1, 0x40000001u, &address), PEX_SUCCESS);
    EXPECT_EQ(address, 0x1234500000ull + 4);
}

TEST_F(PexlinkTest, EveryTransferReachesTheCardWithItsCommand) {
    makeCards(1);
    uint32_t block[3] = {0x11, 0x22, 0x33}, back[3] = {}, word = 0;
    ASSERT_EQ(WriteReg(1, HvaConfig, 0x03E80041u), PEX_SUCCESS);
    ASSERT_EQ(ReadReg(1, HvaConfig, &word), PEX_SUCCESS);
    EXPECT_EQ(word, 0x03E80041u);
    ASSERT_EQ(WriteMem(1, FrameMemory + 4, 0, 3, block), PEX_SUCCESS);
    ASSERT_EQ(WriteMem(1, SeqMemory, 1, 3, block), PEX_SUCCESS);
    ASSERT_EQ(ReadMem(1, FrameMemory + 4, 0, 3, back), PEX_SUCCESS);
    EXPECT_EQ(back[2], 0x33u);
    ASSERT_EQ(ReadMem(1, FrameMemory + 4, 7, 2, back), PEX_SUCCESS);
    ASSERT_EQ(WriteMemBurst(1, FrameMemory, 2, block), PEX_SUCCESS);
    ASSERT_EQ(WriteConfigReg(1, 5, 0xABCD), PEX_SUCCESS);
    ASSERT_EQ(ReadConfigReg(1, 5, &word), PEX_SUCCESS);
    EXPECT_EQ(word, 0xABCDu);
    ASSERT_EQ(WriteRegNoMutex(1, Emu::Reg::SyncWidth, 9), PEX_SUCCESS);
    ASSERT_EQ(ReadRegNoMutex(1, Emu::Reg::SyncWidth, &word), PEX_SUCCESS);
    EXPECT_EQ(word, 9u);

    struct Expected {
        uint32_t command, address, count;
        std::vector<uint32_t> words;
    };
    const std::vector<Expected> expected = {
        {PEX_CMD_WRITE, HvaConfig, 1, {0x03E80041u}},
        {PEX_CMD_READ, HvaConfig, 1, {0x03E80041u}},
        {PEX_CMD_WRITE, FrameMemory + 4, 3, {0x11, 0x22, 0x33}},
        {PEX_CMD_WRITE_ALT, SeqMemory, 3, {0x11, 0x22, 0x33}},
        {PEX_CMD_READ, FrameMemory + 4, 3, {0x11, 0x22, 0x33}},
        {PEX_CMD_READ_ALT, FrameMemory + 4, 2, {0x11, 0x22}},
        {PEX_CMD_WRITE_BURST, FrameMemory, 2, {0x11, 0x22}},
        {PEX_CMD_CFG_WRITE, 5, 1, {0xABCD}},
        {PEX_CMD_CFG_READ, 5, 1, {0xABCD}},
        {PEX_CMD_WRITE, Emu::Reg::SyncWidth, 1, {9}},
        {PEX_CMD_READ, Emu::Reg::SyncWidth, 1, {9}},
    };
    auto log = card(1)->transfers();
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].command, expected[i].command);
        EXPECT_EQ(log[i].address, expected[i].address);
        EXPECT_EQ(log[i].count, expected[i].count);
        EXPECT_EQ(log[i].words, expected[i].words);
        EXPECT_EQ(log[i].pid, getpid());
    }
    EXPECT_EQ(card(1)->sequenceMemory(3), (std::vector<uint32_t>{0x11, 0x22, 0x33}));
}

TEST_F(PexlinkTest, DriverStatusAndSystemErrorsReachTheCallerUnchanged) {
    makeCards(1);
    auto c = card(1);
    c->setReg(HvaConfig, 0x42);
    uint32_t word = 7;
    ASSERT_TRUE(c->failAddress(HvaConfig, 0xE00000AAu, Emu::Direction::Read));
    EXPECT_EQ(ReadReg(1, HvaConfig, &word), 0xE00000AAu);
    EXPECT_EQ(word, 7u);  // outputs are written only on success
    EXPECT_EQ(ReadRegNoMutex(1, HvaConfig, &word), 0xE00000AAu);
    EXPECT_EQ(WriteReg(1, HvaConfig, 0x43), PEX_SUCCESS);  // writes were not hit
    c->clearFaults();

    ASSERT_TRUE(c->failNthTransfer(2, 5 /* EIO */, Emu::FaultMode::SystemError));
    EXPECT_EQ(ReadReg(1, HvaConfig, &word), PEX_SUCCESS);
    EXPECT_EQ(word, 0x43u);
    EXPECT_EQ(WriteReg(1, HvaConfig, 0x44), 5u);
    EXPECT_EQ(ReadReg(1, HvaConfig, &word), PEX_SUCCESS);
    EXPECT_EQ(word, 0x43u);  // the failed write changed nothing

    // A transfer the driver refuses (outside the register window) fails with its status.
    uint32_t block[2] = {1, 2};
    EXPECT_EQ(WriteMemBurst(1, Emu::kWindowWords - 1, 2, block), Emu::kStatusBadAddress);
    EXPECT_TRUE(lockIsFree());
}

TEST_F(PexlinkTest, SetAndClearBitsReadThenWriteBack) {
    makeCards(1);
    auto c = card(1);
    c->setReg(Emu::Reg::SyncControl, 0xF0);
    EXPECT_EQ(SetBits(1, Emu::Reg::SyncControl, 0x0F), PEX_SUCCESS);
    EXPECT_EQ(c->reg(Emu::Reg::SyncControl), 0xFFu);
    EXPECT_EQ(ClearBits(1, Emu::Reg::SyncControl, 0xF0), PEX_SUCCESS);
    EXPECT_EQ(c->reg(Emu::Reg::SyncControl), 0x0Fu);
    auto log = c->transfers();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].command, PEX_CMD_READ);
    EXPECT_EQ(log[1].command, PEX_CMD_WRITE);
    EXPECT_EQ(log[1].words, std::vector<uint32_t>{0xFF});
    EXPECT_EQ(log[3].words, std::vector<uint32_t>{0x0F});

    // A failed read stops the operation before the write.
    c->clearLog();
    ASSERT_TRUE(c->failNthTransfer(1, 0xE0000123u));
    EXPECT_EQ(SetBits(1, Emu::Reg::SyncControl, 0x100), 0xE0000123u);
    EXPECT_EQ(c->transferCount(), 1u);
    EXPECT_EQ(c->reg(Emu::Reg::SyncControl), 0x0Fu);
}

TEST_F(PexlinkTest, WaitForBitsPollsUntilTheyShow) {
    makeCards(1);
    auto c = card(1);
    // The bit reads back set only from the fourth poll on, like hardware that takes a moment.
    ASSERT_TRUE(c->overrideReads(Emu::Reg::SeqControl, 0x4, 0, 4));
    EXPECT_EQ(SetBitsWait(1, Emu::Reg::SeqControl, 0x4, 2000), PEX_SUCCESS);
    auto log = c->transfers();
    ASSERT_EQ(log.size(), 6u);  // read, write, three polls that miss, one that hits
    EXPECT_EQ(log[1].command, PEX_CMD_WRITE);
    EXPECT_EQ(log[1].words, std::vector<uint32_t>{0x4});
    EXPECT_EQ(log[4].words, std::vector<uint32_t>{0x0});
    EXPECT_EQ(log[5].words, std::vector<uint32_t>{0x4});

    c->clearLog();
    c->setReg(Emu::Reg::SyncControl, 0x3);
    ASSERT_TRUE(c->overrideReads(Emu::Reg::SyncControl, 0, 0x2, 3));
    EXPECT_EQ(ClearBitsWait(1, Emu::Reg::SyncControl, 0x2, 2000), PEX_SUCCESS);
    EXPECT_EQ(c->reg(Emu::Reg::SyncControl), 0x1u);
    EXPECT_EQ(c->transferCount(), 5u);  // read, write, two polls that miss, one that hits
}

TEST_F(PexlinkTest, WaitForBitsTimesOut) {
    makeCards(1);
    auto c = card(1);
    ASSERT_TRUE(c->overrideReads(Emu::Reg::SyncControl, 0x1, 0));  // bit 0 never reads back set
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SetBitsWait(1, Emu::Reg::SyncControl, 0x1, 300), PEX_ERR_WAIT_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_GT(c->transferCount(), 3u);  // it polled
    EXPECT_EQ(c->reg(Emu::Reg::SyncControl), 0x1u);  // the write itself happened

    ASSERT_TRUE(c->overrideReads(Emu::Reg::SyncWidth, 0, 0x8));  // bit 3 never reads back clear
    EXPECT_EQ(ClearBitsWait(1, Emu::Reg::SyncWidth, 0x8, 50), PEX_ERR_WAIT_TIMEOUT);

    // Many short waits: the timer callback must never touch a flag of a call that has returned (the sanitizer
    // build catches it if it does).
    for (int i = 0; i < 50; ++i) {
        uint32_t rc = SetBitsWait(1, Emu::Reg::SyncControl, 0x1, i % 3);
        ASSERT_TRUE(rc == PEX_ERR_WAIT_TIMEOUT || rc == PEX_SUCCESS) << rc;
    }
}

TEST_F(PexlinkTest, FailedPollEndsTheWaitWithItsCode) {
    makeCards(1);
    auto c = card(1);
    ASSERT_TRUE(c->overrideReads(Emu::Reg::SyncControl, 0x1, 0));
    ASSERT_TRUE(c->failNthTransfer(5, 0xE0000999u));  // read, write, two polls, then the failing one
    EXPECT_EQ(SetBitsWait(1, Emu::Reg::SyncControl, 0x1, 5000), 0xE0000999u);
    EXPECT_EQ(c->transferCount(), 5u);
}

TEST_F(PexlinkTest, CleanUpLeavesTransfersFailingUntilInitAgain) {
    makeCards(1);
    uint32_t word = 0;
    PEXCleanUp();
    PEXCleanUp();  // harmless twice
    EXPECT_EQ(ReadReg(1, HvaConfig, &word), PEX_ERR_MUTEX_WAIT);
    EXPECT_EQ(WriteReg(1, HvaConfig, 1), PEX_ERR_MUTEX_WAIT);
    EXPECT_EQ(AcquireMutex(), PEX_ERR_MUTEX_WAIT);
    EXPECT_EQ(MutexRelease(), PEX_ERR_MUTEX_RELEASE);
    EXPECT_EQ(card(1)->transferCount(), 0u);
    // Unlocked transfers do not need the lock.
    EXPECT_EQ(WriteRegNoMutex(1, HvaConfig, 2), PEX_SUCCESS);
    ASSERT_EQ(PEXInit(), PEX_SUCCESS);
    EXPECT_EQ(ReadReg(1, HvaConfig, &word), PEX_SUCCESS);
    EXPECT_EQ(word, 2u);

    // A lock name the system cannot hold makes PEXInit fail; the old name works again afterwards.
    setenv("PEXLINK_LOCK_NAME", "bad/name", 1);
    EXPECT_EQ(PEXInit(), PEX_ERR_INIT);
    setenv("PEXLINK_LOCK_NAME", lockName().c_str(), 1);
    ASSERT_EQ(PEXInit(), PEX_SUCCESS);
    EXPECT_EQ(ReadReg(1, HvaConfig, &word), PEX_SUCCESS);
}

// The library creates its lock by itself when it is loaded: a fresh process that never calls PEXInit can
// transfer at once, on the lock named in its environment.
TEST_F(PexlinkTest, LoadingTheLibraryCreatesTheLock) {
    if (std::getenv("PEXLINK_TEST_CHILD")) {
        uint32_t word = 0;
        ASSERT_EQ(ReadReg(1, HvaConfig, &word), PEX_SUCCESS);
        EXPECT_EQ(word, 0x77u);
        return;
    }
    makeCards(1);
    card(1)->setReg(HvaConfig, 0x77);
    const std::string childLock = lockName() + "-child";
    platform::NamedLock::remove(childLock);
    std::vector<std::string> env = {"PEXLINK_TEST_CHILD=1", "PEXLINK_LOCK_NAME=" + childLock,
                                    "PEXLINK_DEVICE_DIR=" + dir()};
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("PEXLINK_", 0) != 0 && entry.rfind("GTEST_", 0) != 0) env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=PexlinkTest.LoadingTheLibraryCreatesTheLock";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The child's lock is a system-wide object now.
    int fd = shm_open(("/" + childLock).c_str(), O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    platform::NamedLock::remove(childLock);
}

}  // namespace
}  // namespace MirrorKit::Test
