// Profile reading, search directories and the install-directory lookup.
#include <KRV.h>

#include "krv/Encoding.h"
#include "krv/Profile.h"
#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <grp.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

using namespace MirrorKit;
using krvtest::InstallTree;
using krvtest::TempDir;

namespace {

struct ProfileFixture : ::testing::Test {
    InstallTree tree;
    DM dm = tree.record();
    ~ProfileFixture() override { std::free(dm.ExtraDrivers); }

    KRVRC read(const std::vector<std::string>& lines, bool crlf = false) {
        krvtest::writeProfile(tree.profiles() + "/MIRROR00001.dm", lines, crlf);
        return read_profile(dm.ProfilesPath, "MIRROR00001", dm);
    }
};

std::vector<uint32_t> inactive(const DM& dm) {
    std::vector<uint32_t> out;
    for (int i = 0; i < MAX_DM_SIZE && dm.InactiveActuators[i] != kInactiveTerminator; ++i)
        out.push_back(decodeValue(dm.InactiveActuators[i]));
    return out;
}

}  // namespace

TEST_F(ProfileFixture, ReadsEveryKeyIntoTheRecord) {
    ASSERT_EQ(read({"type=1", "size=952", "maxv=200", "vlim=150", "hva=3", "use_fiber=257", "use_CL=1",
                    "burst_mode=1", "fiber_mode=2", "hva2=4", "use_fiber2=-1", "use_CL2=1", "fiber_mode2=3",
                    "map=m952.map", "calibration=c.mat", "driver_sn=ABCDEFGHIJKLMN", "driver_sn2=UNIT2SERIAL"}),
              NO_ERR);
    EXPECT_EQ(dm.DriverType, KRV_PCIE);
    EXPECT_EQ(dm.ActCount, 952u);
    EXPECT_EQ(decodeValue(dm.MaxVoltage), 200u);
    EXPECT_EQ(decodeValue(dm.VoltageLimit), 150u);
    EXPECT_EQ(dm.HVAType, 3u);
    EXPECT_EQ(dm.Driver.HVAType, 3u);
    EXPECT_EQ(dm.UseFiber, 257u);
    EXPECT_EQ(dm.Driver.UseFiber, 1u);  // low byte
    EXPECT_EQ(dm.Driver.UseCL, 1u);
    EXPECT_EQ(dm.BurstMode, 1u);
    EXPECT_EQ(dm.Driver.FiberMode, 2u);
    EXPECT_EQ(dm.ExtraDrivers[0].HVAType, 4u);
    EXPECT_EQ(dm.ExtraDrivers[0].UseFiber, 0xFFu);
    EXPECT_EQ(dm.ExtraDrivers[0].FiberMode, 3u);
    EXPECT_EQ(std::string(dm.MappingFile), tree.maps() + "/m952.map");
    EXPECT_EQ(std::string(dm.CalibrationFile), tree.calibrations() + "/c.mat");
    EXPECT_STREQ(dm.Driver.SerialNumber, "ABCDEFGHIJK");
    EXPECT_STREQ(dm.ExtraDrivers[0].SerialNumber, "UNIT2SERIAL");
    EXPECT_EQ(dm.DriverCount, 2u);
    EXPECT_STREQ(dm.SerialNumber, "MIRROR00001");
}

TEST_F(ProfileFixture, LineEndingsAndShortLines) {
    const std::vector<std::string> lines = {"type=2", "x", "size=140", "maxv=100", "vlim=90", "inactive=2:7,9"};
    ASSERT_EQ(read(lines, true), NO_ERR);
    DM crlf = dm;
    ASSERT_EQ(read(lines, false), NO_ERR);
    EXPECT_EQ(std::memcmp(&crlf, &dm, offsetof(DM, ExtraDrivers)), 0);
    EXPECT_EQ(dm.ActCount, 140u);
    EXPECT_EQ(inactive(dm), (std::vector<uint32_t>{7, 9}));
}

TEST_F(ProfileFixture, InactiveListsAndTheirLimits) {
    ASSERT_EQ(read({"inactive=3:5,17,200"}), NO_ERR);
    EXPECT_EQ(inactive(dm), (std::vector<uint32_t>{5, 17, 200}));
    EXPECT_EQ(dm.InactiveActuators[3], kInactiveTerminator);

    ASSERT_EQ(read({"inactive=0:"}), NO_ERR);
    EXPECT_EQ(dm.InactiveActuators[0], kInactiveTerminator);

    // A list refused part way leaves the record's list whole (here: as the line before set it).
    ASSERT_EQ(read({"inactive=1:4", "inactive=3:5,17,2cal.mat"}), ERR_FILE_FORMAT);
    EXPECT_EQ(inactive(dm), (std::vector<uint32_t>{4}));

    // A count beyond the record's capacity refuses the profile instead of overrunning the record (or of
    // dropping the list, which would drive actuators that must stay off).
    std::string huge = "inactive=5000:";
    for (int i = 0; i < 5000; ++i) huge += std::to_string(i) + (i + 1 < 5000 ? "," : "");
    ASSERT_EQ(read({huge}), ERR_FILE_FORMAT);
    EXPECT_EQ(dm.InactiveActuators[0], kInactiveTerminator);
    EXPECT_EQ(dm.SerialNumber[11], '\0');

    std::string full = "inactive=4095,";
    for (int i = 0; i < 4095; ++i) full += std::to_string(i) + ",";
    ASSERT_EQ(read({full}), NO_ERR);
    EXPECT_EQ(inactive(dm).size(), 4095u);
    EXPECT_EQ(dm.InactiveActuators[4095], kInactiveTerminator);
}

TEST_F(ProfileFixture, SecondUnitKeysWithoutSerialKeepOneUnit) {
    ASSERT_EQ(read({"hva2=5", "use_fiber2=1", "driver_sn=UNIT1SERIAL"}), NO_ERR);
    EXPECT_EQ(dm.DriverCount, 1u);
    EXPECT_EQ(dm.ExtraDrivers[0].HVAType, 5u);
    EXPECT_EQ(dm.ExtraDrivers[0].UseFiber, 1u);
}

TEST_F(ProfileFixture, EmptyValuesUnknownKeysAndBadNumbers) {
    std::strcpy(dm.MappingFile, "stale");
    ASSERT_EQ(read({"map=", "calibration=", "colour=blue", "no equals sign"}), NO_ERR);
    EXPECT_STREQ(dm.MappingFile, "");
    EXPECT_STREQ(dm.CalibrationFile, "");
    EXPECT_EQ(dm.ActCount, 0u);
    // A number that does not read as one is damage, not zero.
    EXPECT_EQ(read({"size=lots"}), ERR_FILE_FORMAT);
    EXPECT_EQ(dm.ActCount, 0u);
}

TEST_F(ProfileFixture, MissingAndUnreadableFiles) {
    EXPECT_EQ(read_profile(dm.ProfilesPath, "NOSUCHMIRRO", dm), ERR_OPENFILE);
    krvtest::writeProfile(tree.profiles() + "/LOCKEDMIRRO.dm", {"type=2"});
    ::chmod((tree.profiles() + "/LOCKEDMIRRO.dm").c_str(), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(read_profile(dm.ProfilesPath, "LOCKEDMIRRO", dm), ERR_FILE_PERMISSIONS);
        return;
    }
    // Root reads every file: the read is tried in a child that has given up root for "nobody".
    EXPECT_EXIT(
        {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(2);
            std::_Exit(read_profile(dm.ProfilesPath, "LOCKEDMIRRO", dm) == ERR_FILE_PERMISSIONS ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(InstallPath, RegistryThenEnvironment) {
    TempDir dir;
    const std::string store = dir / "registry.reg";
    krvtest::setEnv("KRV_REGISTRY_FILE", store);
    krvtest::setEnv("KRV", "");
    std::string out;

    reset_install_path_cache();
    EXPECT_EQ(get_install_path(out), ERR_REGISTRY);  // no store, no variable

    krvtest::setEnv("KRV", dir.path() + "/bin/tool.exe");
    reset_install_path_cache();
    ASSERT_EQ(get_install_path(out), NO_ERR);
    EXPECT_EQ(out, dir.path() + "/bin");

    krvtest::setEnv("KRV", dir.path() + "/kit//");
    reset_install_path_cache();
    ASSERT_EQ(get_install_path(out), NO_ERR);
    EXPECT_EQ(out, dir.path() + "/kit");

    // The key exists but the value does not: the variable is not consulted.
    krvtest::writeText(store, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\n\"Other\"=\"x\"\n");
    reset_install_path_cache();
    EXPECT_EQ(get_install_path(out), ERR_REGISTRY);

    krvtest::writeText(store, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\velmira]\n"
                              "\"InstallPath\"=\"" + dir.path() + "/kit\"\n");
    reset_install_path_cache();
    ASSERT_EQ(get_install_path(out), NO_ERR);
    EXPECT_EQ(out, dir.path() + "/kit");

    // Cached: a later change of the store is not seen.
    krvtest::writeText(store, "");
    EXPECT_EQ(get_install_path(out), NO_ERR);
    EXPECT_EQ(out, dir.path() + "/kit");
    krvtest::setEnv("KRV", "");
}

TEST(SearchPaths, SettersAndDefaults) {
    InstallTree tree;
    reset_install_path_cache();
    DM dm;
    std::memset(&dm, 0, sizeof dm);
    EXPECT_EQ(KRVSetProfilesPath(&dm, "/no/such/directory"), NO_ERR);
    EXPECT_STREQ(dm.ProfilesPath, "/no/such/directory");
    const std::string longPath(400, 'p');
    EXPECT_EQ(KRVSetMapsPath(&dm, longPath.c_str()), NO_ERR);
    EXPECT_EQ(std::strlen(dm.MapsPath), 259u);
    // KRV4 keeps its own cache of the install directory; this process has only one install tree.
    EXPECT_EQ(KRVSetProfilesPath(&dm, nullptr), NO_ERR);
    EXPECT_EQ(std::string(dm.ProfilesPath), tree.root() + "/Profiles");
    EXPECT_EQ(KRVSetMapsPath(&dm, nullptr), NO_ERR);
    EXPECT_EQ(std::string(dm.MapsPath), tree.root() + "/Map");
    EXPECT_EQ(KRVSetCalibrationsPath(&dm, nullptr), NO_ERR);
    EXPECT_EQ(std::string(dm.CalibrationsPath), tree.root() + "/Calibration");
    EXPECT_EQ(KRVSetCalibrationsPath(nullptr, "x"), ERR_BADARG);
}
