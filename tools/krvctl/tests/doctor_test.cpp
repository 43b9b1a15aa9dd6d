// krvctl doctor against install trees of its own: all good, a missing map, no install directory; with
// DOCTOR_USB, a USB mirror whose unit is not there, and the same mirror once an emulated unit with its serial
// number is plugged in (that build runs under umockdev-wrapper, with the units' testbed made before any libusb use).
#include "doctor.h"
#include "profile.h"
#include "commands.h"

#ifdef DOCTOR_USB
#include <krv/emu/UsbUnits.h>
#endif
#include <krv/platform/com.h>
#include <krv/platform/registry.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {

class Tree {
public:
    Tree() {
        char pattern[] = "/tmp/krv-doctor-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        ::setenv("KRV_REGISTRY_FILE", (dir_ + "/registry.reg").c_str(), 1);
        ::setenv("LOCALAPPDATA", dir_.c_str(), 1);
        // A lock name of the test's own: what other processes left in /dev/shm is no business of the test.
        ::setenv("PEXLINK_LOCK_NAME", ("krv-doctor-" + std::to_string(::getpid())).c_str(), 1);
        ::unsetenv("KRV");
        for (const char* sub : {"Profiles", "Map", "Calibration", "Shapes"})
            std::system(("mkdir -p " + dir_ + "/" + sub).c_str());
        MirrorKit::platform::registry::setString("HKEY_LOCAL_MACHINE\\Software\\Velmira", "InstallPath", dir_);
    }
    ~Tree() { std::system(("rm -rf " + dir_).c_str()); }

    void profile(const std::string& serial, std::initializer_list<std::pair<const char*, const char*>> settings) {
        krvctl::ProfileSettings p;
        for (const auto& [key, value] : settings) p.set(key, value, "test");
        krvctl::writeProfileFile(dir_ + "/Profiles/" + serial + ".dm", p);
    }
    void map(const std::string& name, int entries) {
        std::string text;
        for (int i = 0; i < entries; ++i) text += std::to_string(i) + "\n";
        krvctl::writeFileAtomically(dir_ + "/Map/" + name, text);
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

struct Result {
    int status;
    std::string text;
    bool has(const std::string& s) const { return text.find(s) != std::string::npos; }
};

Result doctor() {
    std::ostringstream out;
    const int status = krvctl::runDoctor(out);
    return {status, out.str()};
}

void registerServer() {
    ASSERT_TRUE(SUCCEEDED(MirrorKit::com::registerServer(::getenv("KRV_TEST_DRAVIX"), false)));
}

#ifndef DOCTOR_USB
TEST(Doctor, DummyTreeAllGoodThenAMissingMap) {
    Tree tree;
    registerServer();
    tree.map("m32.map", 32);
    tree.profile("DOCTOR00001", {{"type", "2"}, {"size", "32"}, {"maxv", "100"}, {"vlim", "100"}, {"map", "m32.map"}});

    Result r = doctor();
    EXPECT_EQ(0, r.status) << r.text;
    EXPECT_TRUE(r.has("install directory: " + tree.dir() + " (InstallPath in the registry store)")) << r.text;
    EXPECT_TRUE(r.has("DOCTOR00001: dummy mirror, 32 actuators, map m32.map (present)")) << r.text;
    EXPECT_TRUE(r.has("host-driver server: registered")) << r.text;
    EXPECT_TRUE(r.has("log file: " + tree.dir() + "/Velmira/MirrorKit.log")) << r.text;
    EXPECT_TRUE(r.has("open-loop library: ")) << r.text;
    EXPECT_FALSE(r.has("PROBLEM")) << r.text;

    tree.profile("DOCTOR00002", {{"type", "2"}, {"size", "32"}, {"map", "gone.map"}});
    r = doctor();
    EXPECT_EQ(1, r.status) << r.text;
    EXPECT_TRUE(r.has("DOCTOR00002: dummy mirror, 32 actuators, map gone.map (MISSING)")) << r.text;
    EXPECT_TRUE(r.has("PROBLEM: DOCTOR00002: its map file " + tree.dir() + "/Map/gone.map is missing -- ")) << r.text;
    EXPECT_FALSE(r.has("PROBLEM: DOCTOR00001")) << r.text;
}

// PCIe mirrors open without an amplifier link, but nothing reaches the amplifier: each such profile is a
// PROBLEM with the keys to set, read as the back end reads them (the link switches by their low byte).
TEST(Doctor, PcieProfilesWithoutOrWithWrongLinks) {
    Tree tree;
    registerServer();
    const char* pcie[][2] = {{"type", "1"}, {"size", "32"}, {"maxv", "100"}, {"vlim", "100"}};
    auto profile = [&](const std::string& serial, std::initializer_list<std::pair<const char*, const char*>> more) {
        krvctl::ProfileSettings p;
        for (const auto& kv : pcie) p.set(kv[0], kv[1], "test");
        for (const auto& [key, value] : more) p.set(key, value, "test");
        krvctl::writeProfileFile(tree.dir() + "/Profiles/" + serial + ".dm", p);
    };
    profile("DOCTORPCIE1", {});
    profile("DOCTORPCIE2", {{"hva", "2"}, {"use_fiber", "1"}, {"fiber_mode", "1"}});
    profile("DOCTORPCIE3", {{"hva", "2"}, {"use_fiber", "256"}, {"fiber_mode", "1"}});
    profile("DOCTORPCIE4", {{"hva", "0"}, {"use_CL", "1"}, {"use_fiber", "1"}});

    const Result r = doctor();
    EXPECT_TRUE(r.has("PROBLEM: DOCTORPCIE1: no amplifier link is selected (neither use_fiber nor use_CL), so the "
                      "mirror opens but no data is sent to it -- set use_fiber=1 (fiber) or use_CL=1 (CameraLink); "
                      "rewrite it with: krvctl profile write " + tree.dir() + "/Profiles/DOCTORPCIE1.dm"))
        << r.text;
    for (const char* fine : {"no amplifier link", "both the fiber", "a ZETA driver", "CameraLink amplifier"})
        EXPECT_FALSE(r.has(std::string("PROBLEM: DOCTORPCIE2: ") + fine)) << r.text;  // no card, but good links
    EXPECT_TRUE(r.has("PROBLEM: DOCTORPCIE3: no amplifier link is selected")) << r.text;
    EXPECT_TRUE(r.has("PROBLEM: DOCTORPCIE3: a ZETA driver (hva=2) needs the fiber link")) << r.text;
    EXPECT_TRUE(r.has("PROBLEM: DOCTORPCIE4: both the fiber and the CameraLink link are selected")) << r.text;
    EXPECT_FALSE(r.has("no problems found")) << r.text;
}

// The transfer lock is looked at under the name the programs use; one that is not a lock is a PROBLEM that
// says what to do, and PCIe mirrors then count as mirrors that cannot be opened.
TEST(Doctor, PcieTransferLock) {
    Tree tree;
    registerServer();
    const std::string name = ::getenv("PEXLINK_LOCK_NAME");
    Result r = doctor();
    EXPECT_TRUE(r.has("PCIe transfer lock: " + name + " (/dev/shm/" + name + ", not made yet)")) << r.text;
    EXPECT_FALSE(r.has("PROBLEM")) << r.text;

    const std::string path = "/dev/shm/" + name;
    std::FILE* foreign = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(foreign);
    std::fputs("not a lock", foreign);
    std::fclose(foreign);
    tree.profile("DOCTORPCIE5", {{"type", "1"}, {"size", "32"}, {"hva", "2"}, {"use_fiber", "1"}, {"fiber_mode", "1"}});
    r = doctor();
    ::unlink(path.c_str());
    EXPECT_EQ(1, r.status) << r.text;
    EXPECT_TRUE(r.has("PROBLEM: the PCIe transfer lock " + name + " (" + path)) << r.text;
    EXPECT_TRUE(r.has("is not a lock of this kit (wrong size), so every PCIe transfer of this user fails")) << r.text;
    EXPECT_TRUE(r.has("-- when no program is using the cards, run: sudo rm " + path)) << r.text;
    EXPECT_TRUE(r.has("PROBLEM: DOCTORPCIE5: this user cannot open the PCIe transfer lock")) << r.text;
}

TEST(Doctor, NoInstallDirectoryIsAFailure) {
    Tree tree;
    MirrorKit::platform::registry::deleteTree("HKEY_LOCAL_MACHINE\\Software\\Velmira");
    const Result r = doctor();
    EXPECT_EQ(1, r.status) << r.text;
    EXPECT_TRUE(r.has("PROBLEM: no install directory")) << r.text;
}
#endif

#ifdef DOCTOR_USB
TEST(Doctor, UsbMirrorWithoutAndWithItsUnit) {
    MirrorKit::emu::UsbUnitBed bed;
    if (!bed.available()) GTEST_SKIP() << "needs umockdev-wrapper";
    Tree tree;
    registerServer();
    tree.profile("DOCTORUSB01", {{"type", "0"}, {"size", "140"}, {"driver_sn", "UNITSN00001"}});

    Result r = doctor();
    EXPECT_EQ(1, r.status) << r.text;
    EXPECT_TRUE(r.has("USB drive units: none connected")) << r.text;
    EXPECT_TRUE(r.has("PROBLEM: DOCTORUSB01: its drive unit UNITSN00001 is not connected -- ")) << r.text;

    MirrorKit::emu::UsbUnitConfig unit;
    unit.serialNumber = "UNITSN00001";
    ASSERT_GE(bed.addUnit(unit), 0);
    r = doctor();
    EXPECT_EQ(0, r.status) << r.text;
    EXPECT_TRUE(r.has("(product 0x0ED8): serial number UNITSN00001")) << r.text;
    EXPECT_TRUE(r.has("DOCTORUSB01: USB mirror, 140 actuators, default map, drive unit UNITSN00001")) << r.text;
    EXPECT_FALSE(r.has("PROBLEM")) << r.text;
}

#endif

}  // namespace
