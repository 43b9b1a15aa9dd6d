// libpexemu's C calls: making and opening card images, refusals that change nothing, and what a card shows after
// libpexlink's transfers (which libpexlink sends to the card through the same library, loaded at run time).
#include <pexemu.h>
#include <pexlink.h>

#include "krv/platform/named_lock.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string& lockName() {
    static const std::string name = "pexemu-api-test-" + std::to_string(getpid());
    return name;
}

class LockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("PEXLINK_LOCK_NAME", lockName().c_str(), 1);
        PEXCleanUp();
        ASSERT_EQ(PEXInit(), PEX_SUCCESS);
    }
    void TearDown() override { MirrorKit::platform::NamedLock::remove(lockName()); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new LockEnvironment);

class PexemuApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pexemu-api-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (card_) pexemu_card_close(card_);
        unsetenv("PEXLINK_DEVICE_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // Two cards in the folder, card 1 open, libpexlink pointed at the folder.
    void cards(uint32_t revision = 0x20000600u) {
        char message[256] = "";
        ASSERT_EQ(pexemu_create_cards(dir_.c_str(), 2, revision, message, sizeof message), PEXEMU_OK) << message;
        ASSERT_EQ(pexemu_card_open(card1().c_str(), &card_, message, sizeof message), PEXEMU_OK) << message;
        setenv("PEXLINK_DEVICE_DIR", dir_.c_str(), 1);
    }
    std::string card1() const { return dir_ + "/PEXIO1"; }

    std::string dir_;
    PexEmuCard* card_ = nullptr;
};

TEST_F(PexemuApiTest, CreateRefusesBadArgumentsAndMakesNothing) {
    char message[256] = "";
    EXPECT_EQ(pexemu_create_cards(nullptr, 1, 0x20000600u, message, sizeof message), PEXEMU_ERR_ARG);
    EXPECT_NE(std::string(message), "");
    EXPECT_EQ(pexemu_create_cards("", 1, 0x20000600u, nullptr, 0), PEXEMU_ERR_ARG);
    EXPECT_EQ(pexemu_create_cards(dir_.c_str(), 0, 0x20000600u, nullptr, 0), PEXEMU_ERR_ARG);
    EXPECT_EQ(pexemu_create_cards(dir_.c_str(), 100, 0x20000600u, nullptr, 0), PEXEMU_ERR_ARG);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    // A folder that cannot be made (a file stands in its way): nothing is made, and the message says where.
    message[0] = '\0';
    std::ofstream(dir_ + "/file") << "in the way";
    const std::string missing = dir_ + "/file/folder";
    EXPECT_EQ(pexemu_create_cards(missing.c_str(), 1, 0x20000600u, message, sizeof message), PEXEMU_ERR_FILE);
    EXPECT_NE(std::string(message).find(missing), std::string::npos) << message;
    // A short message buffer is cut, never overrun.
    char tiny[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(pexemu_create_cards(missing.c_str(), 1, 0x20000600u, tiny, 3), PEXEMU_ERR_FILE);
    EXPECT_EQ(tiny[2], '\0');
    EXPECT_EQ(tiny[3], 'x');
}

TEST_F(PexemuApiTest, OpenRefusesWhatIsNotACard) {
    PexEmuCard* untouched = reinterpret_cast<PexEmuCard*>(0x1);
    char message[256] = "";
    EXPECT_EQ(pexemu_card_open(card1().c_str(), &untouched, message, sizeof message), PEXEMU_ERR_FILE);
    EXPECT_NE(std::string(message).find("PEXIO1"), std::string::npos) << message;
    std::ofstream(card1()) << "not a card";
    EXPECT_EQ(pexemu_card_open(card1().c_str(), &untouched, message, sizeof message), PEXEMU_ERR_FILE);
    EXPECT_NE(std::string(message).find("not a card image"), std::string::npos) << message;
    EXPECT_EQ(untouched, reinterpret_cast<PexEmuCard*>(0x1));
    EXPECT_EQ(pexemu_card_open(nullptr, &untouched, nullptr, 0), PEXEMU_ERR_ARG);
    EXPECT_EQ(pexemu_card_open(card1().c_str(), nullptr, nullptr, 0), PEXEMU_ERR_ARG);
}

TEST_F(PexemuApiTest, ReadsRefuseRangesOutsideTheCard) {
    cards(0x20000777u);
    uint32_t value = 0;
    ASSERT_EQ(pexemu_card_read(card_, 0, &value), PEXEMU_OK);
    EXPECT_EQ(value, 0x20000777u);
    value = 5;
    EXPECT_EQ(pexemu_card_read(card_, 32 + 4096, &value), PEXEMU_ERR_ARG);
    EXPECT_EQ(pexemu_card_read(nullptr, 0, &value), PEXEMU_ERR_ARG);
    EXPECT_EQ(pexemu_card_read(card_, 0, nullptr), PEXEMU_ERR_ARG);
    EXPECT_EQ(value, 5u);

    std::vector<uint32_t> out(4, 7u);
    EXPECT_EQ(pexemu_card_lut(card_, 4094, 3, out.data()), PEXEMU_ERR_ARG);
    EXPECT_EQ(pexemu_card_frame(card_, 4093, 4, out.data()), PEXEMU_ERR_ARG);
    EXPECT_EQ(pexemu_card_frame(card_, 1, 0xFFFFFFFFu, out.data()), PEXEMU_ERR_ARG);  // no wrap-around
    EXPECT_EQ(pexemu_card_lut(card_, 0, 4, nullptr), PEXEMU_ERR_ARG);
    EXPECT_EQ(out, std::vector<uint32_t>(4, 7u));
    EXPECT_EQ(pexemu_card_frame(card_, 4092, 4, out.data()), PEXEMU_OK);  // the last words
    EXPECT_EQ(pexemu_card_lut(card_, 4096, 0, nullptr), PEXEMU_OK);
}

TEST_F(PexemuApiTest, ShowsWhatLibpexlinkSent) {
    cards();
    int16_t count = 0;
    ASSERT_EQ(GetNumDevices(&count), PEX_SUCCESS);
    EXPECT_EQ(count, 2);

    uint32_t frame[3] = {0x00020001u, 0x00040003u, 0x00060005u};
    ASSERT_EQ(WriteMemBurst(1, 32 + 10, 3, frame), PEX_SUCCESS);
    uint32_t lut[3] = {2u, 0u, 0x10000u};
    ASSERT_EQ(WriteReg(1, 6, 0x80000000u), PEX_SUCCESS);
    ASSERT_EQ(WriteMem(1, 6, 0, 3, lut), PEX_SUCCESS);
    ASSERT_EQ(WriteReg(2, 4, 0x00030001u), PEX_SUCCESS);  // card 2: not in card 1's log

    std::vector<uint32_t> words(3);
    ASSERT_EQ(pexemu_card_frame(card_, 10, 3, words.data()), PEXEMU_OK);
    EXPECT_EQ(words, std::vector<uint32_t>(frame, frame + 3));
    ASSERT_EQ(pexemu_card_lut(card_, 0, 3, words.data()), PEXEMU_OK);
    EXPECT_EQ(words, std::vector<uint32_t>(lut, lut + 3));
    uint32_t reg = 0;
    ASSERT_EQ(pexemu_card_read(card_, 32 + 11, &reg), PEXEMU_OK);
    EXPECT_EQ(reg, frame[1]);

    uint64_t transfers = 0;
    ASSERT_EQ(pexemu_card_transfer_count(card_, &transfers), PEXEMU_OK);
    EXPECT_EQ(transfers, 3u);
    PexEmuLog* log = nullptr;
    ASSERT_EQ(pexemu_card_log(card_, &log), PEXEMU_OK);
    ASSERT_EQ(pexemu_log_size(log), 3u);
    PexEmuTransfer burst{};
    ASSERT_EQ(pexemu_log_entry(log, 0, &burst), PEXEMU_OK);
    EXPECT_EQ(burst.sequence, 0u);
    EXPECT_EQ(burst.command, PEX_CMD_WRITE_BURST);
    EXPECT_EQ(burst.address, 42u);
    EXPECT_EQ(burst.count, 3u);
    EXPECT_EQ(burst.status, 0u);
    EXPECT_EQ(burst.pid, int32_t(getpid()));
    ASSERT_EQ(burst.word_count, 3u);
    EXPECT_EQ(std::vector<uint32_t>(burst.words, burst.words + 3), std::vector<uint32_t>(frame, frame + 3));
    PexEmuTransfer last{};
    ASSERT_EQ(pexemu_log_entry(log, 2, &last), PEXEMU_OK);
    EXPECT_EQ(last.command, PEX_CMD_WRITE);
    EXPECT_EQ(last.address, 6u);
    PexEmuTransfer untouched{};
    untouched.address = 99;
    EXPECT_EQ(pexemu_log_entry(log, 3, &untouched), PEXEMU_ERR_ARG);
    EXPECT_EQ(untouched.address, 99u);
    // The copy outlives a clear of the card's log.
    ASSERT_EQ(pexemu_card_clear_log(card_), PEXEMU_OK);
    EXPECT_EQ(std::vector<uint32_t>(burst.words, burst.words + 3), std::vector<uint32_t>(frame, frame + 3));
    pexemu_log_free(log);
    ASSERT_EQ(pexemu_card_transfer_count(card_, &transfers), PEXEMU_OK);
    EXPECT_EQ(transfers, 0u);
    EXPECT_EQ(pexemu_log_size(nullptr), 0u);
}

}  // namespace
