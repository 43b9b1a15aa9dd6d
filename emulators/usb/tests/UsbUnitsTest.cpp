// The emulated units seen through plain libusb: enumeration, vendor requests, bulk recording, stuck and vanished units.
#include <gtest/gtest.h>
#include <libusb.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "krv/emu/UsbUnits.h"

extern char** environ;

namespace {

using MirrorKit::emu::UsbUnitBed;
using MirrorKit::emu::UsbUnitConfig;

class Units : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bed_.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    }
    void TearDown() override {
        if (handle_) libusb_close(handle_);
        if (ctx_) libusb_exit(ctx_);
    }
    // Opens the n-th unit of vendor 0x1781 in enumeration order.
    libusb_device_handle* open(int n) {
        if (!ctx_ && libusb_init(&ctx_) != 0) return nullptr;
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(ctx_, &list);
        libusb_device_handle* h = nullptr;
        std::vector<libusb_device*> units;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor d;
            if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x1781) units.push_back(list[i]);
        }
        std::sort(units.begin(), units.end(), [](libusb_device* a, libusb_device* b) {
            return std::make_pair(libusb_get_bus_number(a), libusb_get_port_number(a)) <
                   std::make_pair(libusb_get_bus_number(b), libusb_get_port_number(b));
        });
        if (n < int(units.size())) libusb_open(units[size_t(n)], &h);
        libusb_free_device_list(list, 1);
        return h;
    }
    UsbUnitBed bed_;
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
};

TEST_F(Units, EnumerateInPlugOrderWithDescriptorsAndName) {
    UsbUnitConfig a, b;
    a.product = "Unit A";
    b.productId = 0x0ED9;
    b.product = "Unit B";
    ASSERT_EQ(bed_.addUnit(a), 0);
    ASSERT_EQ(bed_.addUnit(b), 1);
    handle_ = open(1);
    ASSERT_NE(handle_, nullptr);
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(handle_), &d), 0);
    EXPECT_EQ(d.idProduct, 0x0ED9);
    unsigned char name[64] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, d.iProduct, name, sizeof name), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "Unit B");
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle_), &config), 0);
    ASSERT_EQ(config->interface[0].altsetting[0].bNumEndpoints, 1);
    EXPECT_EQ(config->interface[0].altsetting[0].endpoint[0].bEndpointAddress, 0x02);
    EXPECT_EQ(config->interface[0].altsetting[0].endpoint[0].bmAttributes, 0x02);
    libusb_free_config_descriptor(config);
}

TEST_F(Units, VendorRequestsEepromStatusAndControlLines) {
    UsbUnitConfig c;
    c.serialNumber = "AB#00000123";
    c.statusWord = 0x0105;
    c.externalEeprom[16] = 'X';
    int unit = bed_.addUnit(c);
    ASSERT_EQ(unit, 0);
    handle_ = open(0);
    ASSERT_NE(handle_, nullptr);
    unsigned char buf[128] = {};
    EXPECT_EQ(libusb_control_transfer(handle_, 0xC0, 0xF0, 0, 0, buf, 22, 1000), 22);
    EXPECT_EQ(libusb_control_transfer(handle_, 0xC0, 0xF4, 0, 0, buf, 2, 1000), 2);
    EXPECT_EQ(buf[0] | buf[1] << 8, 0x0105);
    EXPECT_EQ(libusb_control_transfer(handle_, 0xC0, 0xF6, 0, 0, buf, 128, 1000), 128);
    EXPECT_EQ(buf[16], 'X');
    ASSERT_EQ(libusb_control_transfer(handle_, 0xC0, 0xF2, 0, 0x1F80, buf, 64, 1000), 64);
    EXPECT_EQ(std::memcmp(buf + 2, "DXPOLY", 6), 0);
    EXPECT_EQ(buf[16], 'A');
    EXPECT_EQ(buf[17], 0);
    EXPECT_EQ(buf[20], '#');
    // More than one chunk per request is refused, as the firmware does.
    EXPECT_EQ(libusb_control_transfer(handle_, 0xC0, 0xF2, 0, 0x1F80, buf, 128, 1000), LIBUSB_ERROR_PIPE);
    unsigned char out[4] = {1, 2, 3, 4};
    ASSERT_EQ(libusb_control_transfer(handle_, 0x40, 0xF2, 0, 0x0100, out, 4, 1000), 4);
    EXPECT_EQ(bed_.eeprom(unit)[0x101], 2);
    EXPECT_EQ(libusb_control_transfer(handle_, 0x40, 0xF5, 0, 0x84, nullptr, 0, 1000), 0);
    EXPECT_EQ(libusb_control_transfer(handle_, 0x40, 0xF5, 0, 0x04, nullptr, 0, 1000), 0);
    EXPECT_EQ(bed_.controlLines(unit), (std::vector<uint16_t>{0x84, 0x04}));
    bed_.failRequest(unit, 0xF4, true);
    EXPECT_EQ(libusb_control_transfer(handle_, 0xC0, 0xF4, 0, 0, buf, 2, 1000), LIBUSB_ERROR_PIPE);
}

TEST_F(Units, BulkTransfersAreRecordedWholeAndCanStall) {
    int unit = bed_.addUnit(UsbUnitConfig());
    handle_ = open(0);
    ASSERT_NE(handle_, nullptr);
    std::vector<unsigned char> frame(2560);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7);
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle_, 0x02, frame.data(), int(frame.size()), &done, 1000), 0);
    EXPECT_EQ(done, 2560);
    ASSERT_EQ(bed_.bulkCount(unit), 1u);
    EXPECT_EQ(bed_.bulkTransfers(unit)[0], std::vector<uint8_t>(frame.begin(), frame.end()));
    bed_.failBulk(unit, true);
    EXPECT_EQ(libusb_bulk_transfer(handle_, 0x02, frame.data(), 320, &done, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(bed_.bulkCount(unit), 1u);
}

TEST_F(Units, HeldTransferTimesOutAndUnplugFailsTheRest) {
    int unit = bed_.addUnit(UsbUnitConfig());
    handle_ = open(0);
    ASSERT_NE(handle_, nullptr);
    bed_.holdBulk(unit, true);
    unsigned char frame[320] = {};
    int done = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle_, 0x02, frame, 320, &done, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(bed_.bulkInFlight(unit), 0u);  // the time-out discarded it

    int result = 1;
    std::thread t([&] { result = libusb_bulk_transfer(handle_, 0x02, frame, 320, &done, 5000); });
    for (int i = 0; i < 200 && bed_.bulkInFlight(unit) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(bed_.bulkInFlight(unit), 1u);
    bed_.unplug(unit);
    t.join();
    EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_bulk_transfer(handle_, 0x02, frame, 320, &done, 1000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(bed_.bulkCount(unit), 0u);
}

TEST_F(Units, ReplugKeepsEepromAndRecordsAtANewAddress) {
    int unit = bed_.addUnit(UsbUnitConfig());
    bed_.writeEeprom(unit, 0x10, {0xAB});
    handle_ = open(0);
    ASSERT_NE(handle_, nullptr);
    uint8_t before = libusb_get_device_address(libusb_get_device(handle_));
    ASSERT_EQ(libusb_control_transfer(handle_, 0x40, 0xF5, 0, 0x84, nullptr, 0, 1000), 0);
    unsigned char frame[320] = {7};
    int done = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle_, 0x02, frame, sizeof frame, &done, 1000), 0);
    libusb_close(handle_);
    handle_ = nullptr;
    bed_.unplug(unit);
    EXPECT_FALSE(bed_.plugged(unit));
    ASSERT_TRUE(bed_.replug(unit));
    handle_ = open(0);
    ASSERT_NE(handle_, nullptr);
    EXPECT_NE(libusb_get_device_address(libusb_get_device(handle_)), before);
    unsigned char buf[64] = {};
    ASSERT_EQ(libusb_control_transfer(handle_, 0xC0, 0xF2, 0, 0x0000, buf, 64, 1000), 64);
    EXPECT_EQ(buf[0x10], 0xAB);
    // What the unit saw before it was unplugged is still there, and what it sees now comes after.
    ASSERT_EQ(libusb_control_transfer(handle_, 0x40, 0xF5, 0, 0x04, nullptr, 0, 1000), 0);
    EXPECT_EQ(bed_.controlLines(unit), (std::vector<uint16_t>{0x84, 0x04}));
    ASSERT_EQ(bed_.bulkCount(unit), 1u);
    EXPECT_EQ(bed_.bulkTransfers(unit)[0].at(0), 7);
}

}  // namespace

namespace {

// Two opens of one unit are two clients, as two usbfs files (or two programs) are.
class TwoClients : public Units {
protected:
    void TearDown() override {
        if (second_) libusb_close(second_);
        Units::TearDown();
    }
    libusb_device_handle* second_ = nullptr;
};

// Each client reaps only its own requests: two threads reading different EEPROM blocks through two opens at once
// always get their own block back.
TEST_F(TwoClients, RequestsOfTwoClientsAreKeptApart) {
    UsbUnitConfig c;
    c.eeprom.assign(4096, 0);
    for (size_t i = 0; i < 64; ++i) {
        c.eeprom[i] = 0xA0;
        c.eeprom[64 + i] = 0xB0;
    }
    ASSERT_EQ(bed_.addUnit(c), 0);
    handle_ = open(0);
    second_ = open(0);
    ASSERT_NE(handle_, nullptr);
    ASSERT_NE(second_, nullptr);
    auto reader = [](libusb_device_handle* h, uint16_t address, uint8_t expected, int& wrong) {
        for (int i = 0; i < 300; ++i) {
            unsigned char block[64] = {};
            const int n = libusb_control_transfer(h, 0xC0, 0xF2, 0, address, block, sizeof block, 2000);
            if (n != 64 || block[0] != expected || block[63] != expected) ++wrong;
        }
    };
    int wrongFirst = 0, wrongSecond = 0;
    std::thread first(reader, handle_, 0, 0xA0, std::ref(wrongFirst));
    std::thread second(reader, second_, 64, 0xB0, std::ref(wrongSecond));
    first.join();
    second.join();
    EXPECT_EQ(wrongFirst, 0);
    EXPECT_EQ(wrongSecond, 0);
}

// The interface is claimed by one client at a time, as usbfs does: a second claim and a second client's bulk
// transfers are refused "busy" (control requests still answer), and the claim ends with the holder's release. (A
// holder whose process ends frees it too; the soak kills such holders.)
TEST_F(TwoClients, SecondClaimIsRefusedUntilTheHolderLetsGo) {
    ASSERT_EQ(bed_.addUnit(UsbUnitConfig()), 0);
    handle_ = open(0);
    second_ = open(0);
    ASSERT_NE(handle_, nullptr);
    ASSERT_NE(second_, nullptr);
    EXPECT_FALSE(bed_.claimed(0));
    ASSERT_EQ(libusb_claim_interface(handle_, 0), 0);
    EXPECT_TRUE(bed_.claimed(0));
    EXPECT_EQ(libusb_claim_interface(second_, 0), LIBUSB_ERROR_BUSY);
    unsigned char frame[320] = {};
    int done = 0;
    EXPECT_NE(libusb_bulk_transfer(second_, 0x02, frame, sizeof frame, &done, 1000), 0);
    EXPECT_EQ(bed_.bulkCount(0), 0u);
    unsigned char reply[22] = {};
    EXPECT_EQ(libusb_control_transfer(second_, 0xC0, 0xF0, 0, 0, reply, sizeof reply, 1000), 22);
    ASSERT_EQ(libusb_bulk_transfer(handle_, 0x02, frame, sizeof frame, &done, 1000), 0);
    EXPECT_EQ(bed_.bulkCount(0), 1u);

    ASSERT_EQ(libusb_release_interface(handle_, 0), 0);
    ASSERT_EQ(libusb_claim_interface(second_, 0), 0);
    EXPECT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_ERROR_BUSY);
    ASSERT_EQ(libusb_release_interface(second_, 0), 0);
    EXPECT_FALSE(bed_.claimed(0));
    EXPECT_EQ(libusb_claim_interface(handle_, 0), 0);
    EXPECT_EQ(bed_.resetCount(0), 0u);
}

}  // namespace

namespace {

// Programs that drive a unit and end, killed or not, as the senders of the fault soak do. Each is a process of its
// own (tests/krv_usb_unit_client) with its own libusb; this process only watches the unit.
class ProgramsThatEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bed_.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    }

    struct Program {
        pid_t pid = -1;
        bool ready = false;  // it claimed the unit and started its work
    };
    // Starts the client program and waits until it has claimed the unit (or ended).
    static Program start(std::vector<std::string> args) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return {};
        args.insert(args.begin(), {UNIT_CLIENT, std::to_string(pipeFds[1])});
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        Program p;
        if (posix_spawn(&p.pid, UNIT_CLIENT, nullptr, nullptr, argv.data(), environ) != 0) p.pid = -1;
        close(pipeFds[1]);
        char byte = 0;
        p.ready = p.pid > 0 && read(pipeFds[0], &byte, 1) == 1;
        close(pipeFds[0]);
        return p;
    }
    // The program's exit code, or -1 if it did not end within the time (it is then killed).
    static int exitCode(pid_t pid, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static void killNow(pid_t pid) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    static bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    UsbUnitBed bed_;
};

// A program killed while it holds the interface and has a transfer stuck in the unit leaves neither behind: the
// claim ends, the stuck transfer never reaches the unit, and the next program claims the unit and sends frames
// whose completions are its own. Several rounds, so that a new program's requests meet whatever an earlier one left.
TEST_F(ProgramsThatEnd, AKilledProgramLeavesNoClaimAndNoTransfers) {
    ASSERT_EQ(bed_.addUnit(UsbUnitConfig()), 0);
    constexpr int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        bed_.holdBulk(0, true);
        const Program killed = start({"hold"});
        ASSERT_TRUE(killed.ready);
        ASSERT_TRUE(waitFor([&] { return bed_.bulkInFlight(0) == 1; }, 5000));
        EXPECT_TRUE(bed_.claimed(0));
        killNow(killed.pid);

        EXPECT_TRUE(waitFor([&] { return !bed_.claimed(0) && bed_.bulkInFlight(0) == 0; }, 5000))
            << "claimed " << bed_.claimed(0) << ", in flight " << bed_.bulkInFlight(0);
        bed_.holdBulk(0, false);

        const Program next = start({"send", std::to_string(round + 1)});
        EXPECT_TRUE(next.ready);
        EXPECT_EQ(exitCode(next.pid, 15000), 0);
        EXPECT_TRUE(waitFor([&] { return !bed_.claimed(0); }, 5000));
    }
    // Only the frames of the programs that lived arrived, each whole.
    const auto frames = bed_.bulkTransfers(0);
    ASSERT_EQ(frames.size(), size_t(3 * kRounds));
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], std::vector<uint8_t>(320, uint8_t(i / 3 + 1))) << "frame " << i;
}

// A program killed in the middle of a request (the unit still answering it) is let go as well: umockdev drops
// such a client without closing it, and the unit must still see that it went away.
TEST_F(ProgramsThatEnd, AProgramKilledInTheMiddleOfARequestLeavesNoClaim) {
    ASSERT_EQ(bed_.addUnit(UsbUnitConfig()), 0);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Program killed = start({"read"});
        ASSERT_TRUE(killed.ready);
        // Back-to-back EEPROM reads: nearly all of the program's time is spent inside a request.
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * round));
        killNow(killed.pid);
        EXPECT_TRUE(waitFor([&] { return !bed_.claimed(0); }, 5000));
        const Program next = start({"send", "7"});
        EXPECT_TRUE(next.ready);
        EXPECT_EQ(exitCode(next.pid, 15000), 0);
    }
}

}  // namespace
