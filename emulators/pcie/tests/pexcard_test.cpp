// The emulated card through its driver's control requests: ports, memories, registers, log and faults.
#include "krv/emu/pexcard.h"

#include <pexlink.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace MirrorKit::Emu {
namespace {

class CardTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pexcard-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        card_ = make(0x20000600u);
    }
    void TearDown() override {
        card_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::unique_ptr<Card> make(uint32_t revision, int n = 1) {
        CardOptions options;
        options.revision = revision;
        std::string error;
        EXPECT_TRUE(createCardImage(cardDevicePath(dir_, n), options, &error)) << error;
        auto card = Card::open(cardDevicePath(dir_, n), &error);
        EXPECT_TRUE(card) << error;
        return card;
    }

    // One transfer as the driver gets it; returns the reply's status (or ~0 when the request itself failed).
    uint32_t xfer(Card& card, uint32_t command, uint32_t address, std::vector<uint32_t>& words) {
        PexRequest request{address, 0, uint64_t(uintptr_t(words.data())), uint32_t(words.size()), command};
        PexReply reply{};
        uint32_t returned = 0, error = 0;
        if (!card.control(IOCTL_PEX_TRANSFER, &request, sizeof request, &reply, sizeof reply, &returned, &error)) {
            lastError_ = error;
            return ~0u;
        }
        EXPECT_EQ(returned, sizeof reply);
        EXPECT_EQ(reply.Transferred, reply.Status == 0 ? words.size() : 0u);
        return reply.Status;
    }
    uint32_t write(uint32_t address, std::vector<uint32_t> words, uint32_t command = PEX_CMD_WRITE) {
        return xfer(*card_, command, address, words);
    }
    uint32_t read1(uint32_t address) {
        std::vector<uint32_t> word(1);
        EXPECT_EQ(xfer(*card_, PEX_CMD_READ, address, word), 0u);
        return word[0];
    }

    std::string dir_;
    std::unique_ptr<Card> card_;
    uint32_t lastError_ = 0;
};

TEST_F(CardTest, ImagesCarryTheirIdentity) {
    CardOptions options;
    options.revision = 0x20000400u;
    options.baseAddress = 0xA0000000u;
    options.driverRevision = 7;
    ASSERT_TRUE(createCards(dir_, 3, options));
    auto third = Card::open(cardDevicePath(dir_, 3));
    ASSERT_TRUE(third);
    EXPECT_EQ(third->revision(), 0x20000400u);
    EXPECT_EQ(third->baseAddress(), 0xA0200000u);
    EXPECT_EQ(third->driverRevision(), 7u);
    EXPECT_EQ(cardDevicePath(dir_, 3), dir_ + "/PEXIO3");
    EXPECT_TRUE(isCardImage(cardDevicePath(dir_, 3)));

    std::ofstream(dir_ + "/plain") << "just text that is long enough to hold a header";
    EXPECT_FALSE(isCardImage(dir_ + "/plain"));
    std::string error;
    EXPECT_FALSE(Card::open(dir_ + "/plain", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(Card::open(dir_ + "/missing"));

    // The driver information carries the base address at byte 44.
    PexDriverInfo info{};
    unsigned char zeros[16] = {};
    uint32_t returned = 0, err = 0;
    ASSERT_TRUE(third->control(IOCTL_PEX_DRIVER_INFO, zeros, 16, &info, sizeof info, &returned, &err));
    EXPECT_EQ(returned, 52u);
    uint64_t base = 0;
    std::memcpy(&base, reinterpret_cast<const char*>(&info) + 44, sizeof base);
    EXPECT_EQ(base, 0xA0200000u);
    uint32_t revision = 0;
    ASSERT_TRUE(third->control(IOCTL_PEX_DRIVER_REV, nullptr, 0, &revision, 4, &returned, &err));
    EXPECT_EQ(revision, 7u);
}

TEST_F(CardTest, PortsStoreWordAfterWordFromTheirReset) {
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0u);
    EXPECT_EQ(write(Reg::Lut, {5}), 0u);
    EXPECT_EQ(write(Reg::Lut, {6, 7, 8}), 0u);  // a block to a port continues the port
    EXPECT_EQ(card_->portIndex(Reg::Lut), 4u);
    EXPECT_EQ(read1(Reg::Lut), 4u);
    auto lut = card_->lut();
    EXPECT_EQ(std::vector<uint32_t>(lut.begin(), lut.begin() + 5), (std::vector<uint32_t>{5, 6, 7, 8, 0}));
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0u);
    EXPECT_EQ(write(Reg::Lut, {9}), 0u);
    EXPECT_EQ(card_->lut()[0], 9u);
    EXPECT_EQ(card_->lut()[1], 6u);

    // Past the end of the memory the words are counted, not stored elsewhere.
    std::vector<uint32_t> table(kLutEntries + 2, 0x10000);
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0u);
    EXPECT_EQ(write(Reg::Lut, table), 0u);
    EXPECT_EQ(card_->portIndex(Reg::Lut), kLutEntries);
    EXPECT_EQ(card_->portOverflow(Reg::Lut), 2u);

    std::vector<uint32_t> wave = {100, 200, 0x18000};
    EXPECT_EQ(write(Reg::DitherWaveform, {kPortReset}), 0u);
    EXPECT_EQ(write(Reg::DitherWaveform, wave), 0u);
    EXPECT_EQ(card_->ditherWaveform(3), wave);
    EXPECT_EQ(write(Reg::DitherGains, {kPortReset}), 0u);
    EXPECT_EQ(write(Reg::DitherGains, {1, 2}), 0u);
    EXPECT_EQ(card_->ditherGains(2), (std::vector<uint32_t>{1, 2}));
}

TEST_F(CardTest, TableLoadPutsTheOrientationBack) {
    EXPECT_EQ(write(Reg::Orientation, {3}), 0u);
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0u);  // a reset without a table in between changes nothing
    EXPECT_EQ(read1(Reg::Orientation), 3u);
    EXPECT_EQ(write(Reg::Lut, {1, 2}), 0u);
    EXPECT_EQ(read1(Reg::Orientation), 3u);
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0u);
    EXPECT_EQ(read1(Reg::Orientation), 0u);
}

TEST_F(CardTest, SequenceMemorySizeFollowsTheRevision) {
    auto old = make(0x20000501u, 2);
    auto current = make(0x20000502u, 3);
    EXPECT_EQ(old->sequenceCapacity(), kSeqWordsSmall);
    EXPECT_EQ(current->sequenceCapacity(), kSeqWordsLarge);
    std::vector<uint32_t> words(kSeqWordsSmall + 1, 0x10000005u);
    std::vector<uint32_t> reset = {kPortReset};
    EXPECT_EQ(xfer(*old, PEX_CMD_WRITE, Reg::SeqMemory, reset), 0u);
    EXPECT_EQ(xfer(*old, PEX_CMD_WRITE, Reg::SeqMemory, words), 0u);
    EXPECT_EQ(old->portOverflow(Reg::SeqMemory), 1u);
    EXPECT_EQ(xfer(*current, PEX_CMD_WRITE, Reg::SeqMemory, words), 0u);
    EXPECT_EQ(current->portOverflow(Reg::SeqMemory), 0u);
    EXPECT_EQ(current->sequenceMemory(kSeqWordsSmall + 1).back(), 0x10000005u);
}

TEST_F(CardTest, RegistersKeepTheirOwnRules) {
    EXPECT_EQ(read1(Reg::Revision), 0x20000600u);
    EXPECT_EQ(write(Reg::Revision, {0x12345678}), 0u);
    EXPECT_EQ(read1(Reg::Revision), 0x20000600u);  // read only

    EXPECT_EQ(write(Reg::SeqControl, {1}), 0u);
    EXPECT_EQ(read1(Reg::SeqControl) & 1, 1u);
    EXPECT_EQ(write(Reg::SeqControl, {0x80000000u}), 0u);
    EXPECT_EQ(read1(Reg::SeqControl) & 1, 0u);

    EXPECT_EQ(write(Reg::FiberChannel, {0x8400003Cu}), 0u);
    EXPECT_EQ(write(Reg::FiberChannel, {0xC4000000u}), 0u);
    EXPECT_EQ(card_->fiberCommands(), (std::vector<uint32_t>{0x8400003Cu, 0xC4000000u}));
    EXPECT_EQ(card_->fiberCommandCount(), 2u);

    for (uint32_t r : {Reg::HvaConfig, Reg::Poke, Reg::DitherPeriod, Reg::SeqPeriod, Reg::SeqDelay,
                       Reg::SyncActuator, Reg::SyncControl, Reg::SyncWidth}) {
        EXPECT_EQ(write(r, {0xC0DE0000u | r}), 0u);
        EXPECT_EQ(read1(r), 0xC0DE0000u | r) << r;
    }
    card_->setReg(Reg::Revision, 0x10000000u);
    EXPECT_EQ(read1(Reg::Revision), 0x10000000u);
}

TEST_F(CardTest, FrameMemoryHoldsBurstsAndDecodesPerActuator) {
    EXPECT_EQ(write(Reg::FrameMemory, {0x00020001u, 0x00000003u}, PEX_CMD_WRITE_BURST), 0u);
    EXPECT_EQ(card_->frameActuators(3), (std::vector<uint16_t>{1, 2, 3}));
    std::vector<uint32_t> half(512, 0xBBBBAAAAu);
    EXPECT_EQ(write(Reg::FrameMemory + 512, half, PEX_CMD_WRITE_BURST), 0u);
    EXPECT_EQ(card_->frameWords(512, 512), half);
    EXPECT_EQ(card_->frameActuators(2048)[1025], 0xBBBBu);

    // The whole frame memory is reachable; a word past it is refused and nothing is written.
    std::vector<uint32_t> last(1, 7);
    EXPECT_EQ(write(kWindowWords - 1, last), 0u);
    EXPECT_EQ(write(kWindowWords - 1, {8, 9}), kStatusBadAddress);
    EXPECT_EQ(card_->frameWords(kFrameWords - 1, 1), last);
    EXPECT_EQ(write(0xFFFFFFFFu, {1, 2}), kStatusBadAddress);  // no wrap-around of the address
}

TEST_F(CardTest, MalformedRequestsFail) {
    PexRequest request{Reg::HvaConfig, 0, 0, 1, PEX_CMD_WRITE};  // null buffer
    PexReply reply{};
    uint32_t returned = 0, error = 0;
    ASSERT_TRUE(card_->control(IOCTL_PEX_TRANSFER, &request, sizeof request, &reply, sizeof reply, &returned, &error));
    EXPECT_EQ(reply.Status, kStatusBadRequest);
    EXPECT_EQ(write(Reg::HvaConfig, {1}, 0x53), kStatusBadRequest);  // unknown command
    EXPECT_FALSE(card_->control(IOCTL_PEX_TRANSFER, &request, 20, &reply, sizeof reply, &returned, &error));
    EXPECT_EQ(error, uint32_t(EINVAL));
    EXPECT_FALSE(card_->control(IOCTL_PEX_TRANSFER, &request, sizeof request, &reply, 8, &returned, &error));
    EXPECT_FALSE(card_->control(0x222404u, &request, sizeof request, &reply, sizeof reply, &returned, &error));
    EXPECT_EQ(error, uint32_t(ENOTTY));
    EXPECT_EQ(write(kConfigWords, {1}, PEX_CMD_CFG_WRITE), kStatusBadAddress);
    EXPECT_EQ(write(3, {0x55}, PEX_CMD_CFG_WRITE), 0u);
    EXPECT_EQ(card_->configSpace()[3], 0x55u);
}

TEST_F(CardTest, TransferLogKeepsOrderWordsAndBounds) {
    write(Reg::HvaConfig, {0x11});
    read1(Reg::HvaConfig);
    write(Reg::FrameMemory, {1, 2, 3}, PEX_CMD_WRITE_BURST);
    auto log = card_->transfers();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].command, PEX_CMD_WRITE);
    EXPECT_EQ(log[1].command, PEX_CMD_READ);
    EXPECT_EQ(log[1].words, std::vector<uint32_t>{0x11});  // what the read returned
    EXPECT_EQ(log[2].command, PEX_CMD_WRITE_BURST);
    EXPECT_EQ(log[2].address, Reg::FrameMemory);
    EXPECT_EQ(log[2].count, 3u);
    EXPECT_EQ(log[2].words, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(log[2].sequence, 2u);
    EXPECT_EQ(log[2].pid, getpid());

    // A second mapping of the same image sees the same card.
    auto again = Card::open(cardDevicePath(dir_, 1));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->transferCount(), 3u);
    again->clearLog();
    EXPECT_EQ(card_->transfers().size(), 0u);

    // Only the newest entries are kept; the oldest words go first when the data store fills up.
    const uint32_t bigWords = kFrameWords;
    std::vector<uint32_t> big(bigWords);
    const uint64_t bigTransfers = kTransferDataWords / bigWords + 1;
    for (uint64_t i = 0; i < bigTransfers; ++i) {
        big[0] = uint32_t(i);
        ASSERT_EQ(write(Reg::FrameMemory, big), 0u);
    }
    log = card_->transfers();
    ASSERT_EQ(log.size(), bigTransfers);
    EXPECT_FALSE(log.front().wordsKept);
    EXPECT_TRUE(log.back().wordsKept);
    EXPECT_EQ(log.back().words[0], uint32_t(bigTransfers - 1));
    card_->clearLog();
    for (uint32_t i = 0; i < kTransferLogEntries + 5; ++i) ASSERT_EQ(write(Reg::SyncWidth, {i}), 0u);
    log = card_->transfers();
    ASSERT_EQ(log.size(), kTransferLogEntries);
    EXPECT_EQ(log.front().sequence, 5u);
    EXPECT_EQ(log.front().words, std::vector<uint32_t>{5});
    EXPECT_EQ(card_->transferCount(), uint64_t(kTransferLogEntries) + 5);
    // Read from a sequence on: only the newer transfers; from before the oldest kept one, from that one; from the
    // end, none.
    log = card_->transfers(kTransferLogEntries + 2);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log.front().sequence, uint64_t(kTransferLogEntries) + 2);
    EXPECT_EQ(log.front().words, std::vector<uint32_t>{kTransferLogEntries + 2});
    EXPECT_EQ(card_->transfers(1).front().sequence, 5u);
    EXPECT_TRUE(card_->transfers(kTransferLogEntries + 5).empty());
}

TEST_F(CardTest, InjectedFaultsReplaceTheTransfer) {
    ASSERT_TRUE(card_->failNthTransfer(2, 0xE0000042u));
    EXPECT_EQ(write(Reg::HvaConfig, {1}), 0u);
    EXPECT_EQ(write(Reg::HvaConfig, {2}), 0xE0000042u);
    EXPECT_EQ(write(Reg::HvaConfig, {3}), 0u);  // once only
    EXPECT_EQ(write(Reg::HvaConfig, {4}), 0u);
    auto log = card_->transfers();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].status, 0xE0000042u);
    EXPECT_TRUE(log[1].words.empty());

    // Every write to the table port fails; reads of it and other registers go through.
    ASSERT_TRUE(card_->failAddress(Reg::Lut, 0xE0000007u, Direction::Write));
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0xE0000007u);
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0xE0000007u);
    EXPECT_EQ(read1(Reg::Lut), 0u);
    // A block that covers the register is hit too.
    EXPECT_EQ(write(Reg::Poke, {1, 2, 3}), 0xE0000007u);
    EXPECT_EQ(read1(Reg::Poke), 0u);

    // As a failed device-control call instead of a driver status.
    ASSERT_TRUE(card_->failAddress(Reg::SeqDelay, 31, Direction::Any, FaultMode::SystemError));
    std::vector<uint32_t> word(1);
    EXPECT_EQ(xfer(*card_, PEX_CMD_READ, Reg::SeqDelay, word), ~0u);
    EXPECT_EQ(lastError_, 31u);

    card_->clearFaults();
    EXPECT_EQ(write(Reg::Lut, {kPortReset}), 0u);
    EXPECT_EQ(write(Reg::SeqDelay, {9}), 0u);

    ASSERT_TRUE(card_->overrideReads(Reg::SeqDelay, 0x1, 0x100, 2));
    EXPECT_EQ(read1(Reg::SeqDelay), 0x108u);
    EXPECT_EQ(read1(Reg::SeqDelay), 0x108u);
    EXPECT_EQ(read1(Reg::SeqDelay), 0x9u);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(card_->failAddress(100 + i, 1));
    EXPECT_FALSE(card_->failAddress(200, 1));  // slots are bounded
}

// A process killed inside a transfer leaves a log entry that says so, instead of one that reads as a successful write
// whose words went missing; the card goes on serving the others.
TEST_F(CardTest, TransferCutShortByItsProcessDeathIsMarked) {
    EXPECT_EQ(write(Reg::FrameMemory, {1, 2}, PEX_CMD_WRITE_BURST), 0u);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        card_->failNthTransfer(1, 0, FaultMode::ProcessDies);
        std::vector<uint32_t> frame(64, 0x00050004u);
        xfer(*card_, PEX_CMD_WRITE_BURST, Reg::FrameMemory, frame);
        _exit(0);  // the transfer must not return
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    EXPECT_EQ(write(Reg::FrameMemory, {3, 4}, PEX_CMD_WRITE_BURST), 0u);
    auto log = card_->transfers();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[0].abandoned);
    EXPECT_TRUE(log[0].wordsKept);
    EXPECT_TRUE(log[1].abandoned);
    EXPECT_EQ(log[1].pid, child);
    EXPECT_EQ(log[1].count, 64u);
    EXPECT_FALSE(log[2].abandoned);
    EXPECT_EQ(log[2].words, (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(card_->frameWords(0, 2), (std::vector<uint32_t>{3, 4}));
}

TEST_F(CardTest, ResetKeepsIdentityAndClearsState) {
    // The identifier word is made up (no maker's device carries it), before and after a reset.
    EXPECT_EQ(card_->configSpace()[0], 0xD0D0D0D0u);
    write(Reg::HvaConfig, {5});
    write(Reg::Lut, {kPortReset});
    write(Reg::Lut, {1});
    card_->failAddress(Reg::HvaConfig, 1);
    card_->reset();
    EXPECT_EQ(card_->reg(Reg::HvaConfig), 0u);
    EXPECT_EQ(card_->lut()[0], 0u);
    EXPECT_EQ(card_->portIndex(Reg::Lut), 0u);
    EXPECT_EQ(card_->transferCount(), 0u);
    EXPECT_EQ(card_->revision(), 0x20000600u);
    EXPECT_EQ(write(Reg::HvaConfig, {6}), 0u);  // fault gone, lock still works
    EXPECT_EQ(card_->configSpace()[0], 0xD0D0D0D0u);
}

TEST_F(CardTest, ReplacedImageIsANewCard) {
    write(Reg::HvaConfig, {5});
    auto replaced = make(0x20000500u);
    EXPECT_EQ(replaced->reg(Reg::HvaConfig), 0u);
    EXPECT_EQ(replaced->revision(), 0x20000500u);
    EXPECT_EQ(card_->reg(Reg::HvaConfig), 5u);  // the old mapping keeps the old card
}

}  // namespace
}  // namespace MirrorKit::Emu
