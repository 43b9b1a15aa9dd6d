// Damaged and hostile profile and map files, through the flat interface: each is refused with the file and the
// line in the log, nothing is half applied, nothing blocks, and nothing floods the log.
#include <KRV.h>

#include "krv/Encoding.h"
#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

constexpr const char* kSerial = "DAMAGED0001";

struct DamagedFiles : ::testing::Test {
    krvtest::InstallTree tree;
    DM dm = tree.record();
    std::string log = tree.root() + "/damaged.log";
    std::string profilePath = tree.profiles() + "/" + kSerial + ".dm";

    void SetUp() override {
        krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent.so");
        KRVConfigureLog(log.c_str(), KRV_LOG_DEBUG);
    }
    void TearDown() override {
        if (dm.State) KRVClose(&dm);
        KRVConfigureLog(nullptr, KRV_LOG_OFF);
    }
    std::string logText(size_t from = 0) {
        const std::string text = krvtest::readText(log);
        return from < text.size() ? text.substr(from) : std::string();
    }
    size_t logSize() { return krvtest::readText(log).size(); }
    KRVRC open(const std::vector<std::string>& lines) {
        krvtest::writeProfile(profilePath, lines);
        return KRVOpen(&dm, kSerial);
    }
    static std::string scrambled(const std::string& plain) {
        std::string out;
        for (char c : plain) out.push_back(c == '\n' ? '\n' : static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7));
        return out;
    }
};

}  // namespace

TEST_F(DamagedFiles, ProfileNumbersThatDoNotReadAsNumbersAreRefusedWithFileAndLine) {
    const struct {
        std::string line;
        KRVRC rc;
    } cases[] = {
        {"size=abc", ERR_FILE_FORMAT},     {"size=0x10", ERR_FILE_FORMAT},
        {"size=7.9", ERR_FILE_FORMAT},     {"size=12abc", ERR_FILE_FORMAT},
        {"size=", ERR_FILE_FORMAT},        {"size=-140", ERR_FILE_FORMAT},
        {"size=99999999999", ERR_FILE_FORMAT}, {"size=0", ERR_INVALID_ACTUATOR_COUNT},
        {"vlim=9x", ERR_FILE_FORMAT},      {"type=two", ERR_FILE_FORMAT},
        {"inactive=3:5,17", ERR_FILE_FORMAT},  {"inactive=2:5,17,200", ERR_FILE_FORMAT},
        {"inactive=1:abc", ERR_FILE_FORMAT},   {"inactive=1:4096", ERR_FILE_FORMAT},
        {"inactive=5000:", ERR_FILE_FORMAT},   {"use_fiber2=x", ERR_FILE_FORMAT},
    };
    for (const auto& c : cases) {
        const size_t from = logSize();
        EXPECT_EQ(open({"type=2", "size=140", "maxv=100", "vlim=100", c.line}), c.rc) << c.line;
        EXPECT_EQ(dm.State, nullptr) << c.line;
        const std::string text = logText(from);
        EXPECT_NE(text.find(profilePath + " line 5"), std::string::npos) << c.line << "\n" << text;
    }
    // The forms a correct profile uses still read as before.
    EXPECT_EQ(open({"type=2", "size=140 ", "maxv= 100", "vlim=100", "inactive=2:7, 9,", "use_fiber2=-1"}), NO_ERR);
    EXPECT_EQ(dm.ActCount, 140u);
}

TEST_F(DamagedFiles, ProfileNamingOneUnitTwiceIsRefused) {
    EXPECT_EQ(open({"type=2", "size=140", "maxv=100", "vlim=100", "driver_sn=UNIT0000001", "driver_sn2=UNIT0000001"}),
              ERR_FILE_FORMAT);
    EXPECT_NE(logText().find("both drive units have serial number UNIT0000001"), std::string::npos);
    EXPECT_EQ(open({"type=2", "size=140", "maxv=100", "vlim=100", "driver_sn=UNIT0000001", "driver_sn2=UNIT0000002"}),
              NO_ERR);
}

// A profile cut short (a copy that stopped, a writer that died) must not open as some other mirror.
TEST_F(DamagedFiles, ProfilesCutShortAreRefused) {
    const std::string whole = scrambled("type=2\nsize=137\nmaxv=200\nvlim=200\n");
    const size_t sizeLineEnd = std::string("type=2\nsize=137\n").size();
    krvtest::writeText(profilePath, whole);
    ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
    ASSERT_EQ(KRVClose(&dm), NO_ERR);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        // Cuts at a line end after the size line leave the voltages out; the voltage checks refuse those.
        if (cut >= sizeLineEnd && whole[cut - 1] == '\n') continue;
        krvtest::writeText(profilePath, whole.substr(0, cut));
        dm = tree.record();
        EXPECT_NE(KRVOpen(&dm, kSerial), NO_ERR) << "cut after " << cut << " bytes, opened with " << dm.ActCount;
        EXPECT_EQ(dm.State, nullptr);
    }
    EXPECT_NE(logText().find("cut short"), std::string::npos);
}

// A FIFO (or any file that is not a regular file) in place of a profile or a map is refused at once.
TEST_F(DamagedFiles, FifosAreRefusedWithoutBlocking) {
    ASSERT_EQ(::mkfifo(profilePath.c_str(), 0600), 0);
    ::alarm(20);  // a reader that blocks ends the test program instead of hanging it
    EXPECT_EQ(KRVOpen(&dm, kSerial), ERR_OPENFILE);
    ::unlink(profilePath.c_str());
    ASSERT_EQ(open(krvtest::dummyProfile(140)), NO_ERR);
    const std::string fifo = tree.maps() + "/fifo.map";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<uint32_t> map(140, 7);
    EXPECT_EQ(KRVLoadMap(&dm, fifo.c_str(), map.data()), ERR_OPENFILE);
    ::alarm(0);
    EXPECT_NE(logText().find("is not a regular file"), std::string::npos);
}

// What the kit logs from a file is cut: a long line never goes into the log whole.
TEST_F(DamagedFiles, LongLinesAreCutInTheLog) {
    const std::string longKey(900 * 1024, 'k');
    size_t from = logSize();
    ASSERT_EQ(open({"type=2", "size=140", "maxv=100", "vlim=100", longKey + "=1"}), NO_ERR);
    ASSERT_EQ(KRVClose(&dm), NO_ERR);
    std::string text = logText(from);
    EXPECT_NE(text.find("Unknown key: kkkk"), std::string::npos);
    EXPECT_NE(text.find("(921602 bytes)"), std::string::npos);
    EXPECT_LT(text.size(), 16u * 1024);

    // A file far larger than any profile is refused before it is read.
    from = logSize();
    EXPECT_EQ(open({"type=2", "size=140", "maxv=100", "vlim=100", std::string(3 << 20, 'k') + "=1"}),
              ERR_FILE_FORMAT);
    text = logText(from);
    EXPECT_NE(text.find("is larger than"), std::string::npos);
    EXPECT_LT(text.size(), 16u * 1024);
}

// A profile rewritten in place while mirrors open is either read whole, old or new, or refused: never a mix.
TEST_F(DamagedFiles, ProfileRewrittenInPlaceIsNeverReadHalfOldHalfNew) {
    const std::string a = scrambled("type=2\nsize=140\nmaxv=100\nvlim=100\ninactive=1:3\n");
    const std::string b = scrambled("type=2\nsize=32\nmaxv=200\nvlim=50\ninactive=1:9\n");
    krvtest::writeText(profilePath, a);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            const std::string& next = i % 2 ? a : b;
            // Truncate, write part of the text (ending inside a line), pause, write the rest.
            FILE* f = std::fopen(profilePath.c_str(), "r+b");
            if (!f) continue;
            if (::ftruncate(::fileno(f), 0) != 0) break;
            // Always inside the size line, which both texts have complete from byte 16 on.
            const size_t part = 8 + static_cast<size_t>(i % 7);
            std::fwrite(next.data(), 1, part, f);
            std::fflush(f);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::fwrite(next.data() + part, 1, next.size() - part, f);
            std::fclose(f);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    int opened = 0, refused = 0;
    for (int i = 0; i < 400; ++i) {
        dm = tree.record();
        const KRVRC rc = KRVOpen(&dm, kSerial);
        if (rc != NO_ERR) {
            ++refused;
            EXPECT_EQ(dm.State, nullptr);
            continue;
        }
        ++opened;
        // All fields from one text: 140 actuators, 100 V, actuator 3 inactive; or 32, 50 V and actuator 9.
        const bool first = dm.ActCount == 140;
        EXPECT_TRUE(first || dm.ActCount == 32) << dm.ActCount;
        EXPECT_EQ(MirrorKit::decodeValue(dm.VoltageLimit), first ? 100u : 50u) << dm.ActCount;
        EXPECT_EQ(MirrorKit::decodeValue(dm.MaxVoltage), first ? 100u : 200u) << dm.ActCount;
        EXPECT_EQ(MirrorKit::decodeValue(dm.InactiveActuators[0]), first ? 3u : 9u) << dm.ActCount;
        ASSERT_EQ(KRVClose(&dm), NO_ERR);
    }
    stop = true;
    writer.join();
    EXPECT_GT(opened, 0);
    std::printf("in-place rewrites: %d opens read a whole profile, %d were refused\n", opened, refused);
}

TEST_F(DamagedFiles, MapLinesThatAreNotChannelNumbersAreRefusedAndChangeNothing) {
    ASSERT_EQ(open(krvtest::dummyProfile(40)), NO_ERR);
    const std::string path = tree.maps() + "/bad.map";
    for (const std::string bad : {"abc", "0x10", "7.9", "12abc", "-3", "+3", "99999999999", "5,6"}) {
        std::string text;
        for (int i = 0; i < 40; ++i) text += (i == 20 ? bad : std::to_string(i)) + "\n";
        krvtest::writeText(path, text);
        std::vector<uint32_t> map(40, 0xABCD);
        EXPECT_EQ(KRVLoadMap(&dm, path.c_str(), map.data()), ERR_INVALID_LUT) << bad;
        EXPECT_EQ(map, std::vector<uint32_t>(40, 0xABCD)) << bad;
        EXPECT_NE(logText().find(path + " line 21: " + bad), std::string::npos) << bad;
    }
    // Two lines giving one channel: both lines are named. Unmapped entries (4096) may repeat.
    std::string text;
    for (int i = 0; i < 40; ++i) text += std::to_string(i == 33 ? 12 : i) + "\n";
    krvtest::writeText(path, text);
    std::vector<uint32_t> map(40, 0xABCD);
    EXPECT_EQ(KRVLoadMap(&dm, path.c_str(), map.data()), ERR_INVALID_LUT);
    EXPECT_EQ(map, std::vector<uint32_t>(40, 0xABCD));
    EXPECT_NE(logText().find("lines 13 and 34 both give 12"), std::string::npos);
    text.clear();
    for (int i = 0; i < 40; ++i) text += std::to_string(i % 3 ? i : 4096) + " unit A\r\n";
    krvtest::writeText(path, text);
    ASSERT_EQ(KRVLoadMap(&dm, path.c_str(), map.data()), NO_ERR);
    EXPECT_EQ(map[0], 4096u);
    EXPECT_EQ(map[1], 1u);
}
