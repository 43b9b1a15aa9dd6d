// Profiles written by krvctl: what it refuses, and that the kit's own reader gets back what was written.
#include "profile.h"

#include <krv/Encoding.h>
#include <krv/Profile.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>

using namespace krvctl;

namespace {

std::string problemOf(const std::string& key, const std::string& value) { return valueProblem(key, value); }

std::string tempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/krvctl-profile-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (!made) throw std::runtime_error("mkdtemp failed");
    return made;
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string usageMessage(const std::function<void()>& f) {
    try {
        f();
    } catch (const UsageError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(ProfileWrite, ReaderGetsBackEveryKey) {
    ProfileSettings s;
    const char* lines[] = {"type=2",           "size=140",        "maxv=300",       "hva=7",
                           "use_fiber=1",      "use_CL=258",      "burst_mode=1",   "fiber_mode=3",
                           "hva2=9",           "use_fiber2=-1",   "use_CL2=1",      "fiber_mode2=2",
                           "vlim=250",         "map=mirror.map",  "calibration=c.mat", "inactive=3:5,17,139",
                           "driver_sn=ABCDEFGHIJK", "driver_sn2=UNIT2-00002"};
    for (const char* l : lines) s.setFromText(l, "test");
    const std::string dir = tempDir();
    writeProfileFile(dir + "/SERIAL00001.dm", s);

    DM dm{};
    std::strcpy(dm.MapsPath, "/maps");
    std::strcpy(dm.CalibrationsPath, "/cal");
    ASSERT_EQ(NO_ERR, MirrorKit::read_profile(dir.c_str(), "SERIAL00001", dm));
    EXPECT_EQ(KRV_DUMMY_DRV, dm.DriverType);
    EXPECT_EQ(140u, dm.ActCount);
    EXPECT_EQ(300u, MirrorKit::decodeValue(dm.MaxVoltage));
    EXPECT_EQ(250u, MirrorKit::decodeValue(dm.VoltageLimit));
    EXPECT_EQ(7u, dm.HVAType);
    EXPECT_EQ(7u, dm.Driver.HVAType);
    EXPECT_EQ(258u, dm.UseCL);
    EXPECT_EQ(2u, dm.Driver.UseCL);  // the unit keeps the low byte
    EXPECT_EQ(1u, dm.BurstMode);
    EXPECT_EQ(3u, dm.FiberMode);
    ASSERT_NE(nullptr, dm.ExtraDrivers);
    EXPECT_EQ(9u, dm.ExtraDrivers[0].HVAType);
    EXPECT_EQ(0xFFu, dm.ExtraDrivers[0].UseFiber);
    EXPECT_EQ(2u, dm.ExtraDrivers[0].FiberMode);
    EXPECT_STREQ("/maps/mirror.map", dm.MappingFile);
    EXPECT_STREQ("/cal/c.mat", dm.CalibrationFile);
    EXPECT_EQ(5u, MirrorKit::decodeValue(dm.InactiveActuators[0]));
    EXPECT_EQ(17u, MirrorKit::decodeValue(dm.InactiveActuators[1]));
    EXPECT_EQ(139u, MirrorKit::decodeValue(dm.InactiveActuators[2]));
    EXPECT_EQ(MirrorKit::kInactiveTerminator, dm.InactiveActuators[3]);
    EXPECT_STREQ("ABCDEFGHIJK", dm.Driver.SerialNumber);
    EXPECT_STREQ("UNIT2-00002", dm.ExtraDrivers[0].SerialNumber);
    EXPECT_EQ(2u, dm.DriverCount);
    std::free(dm.ExtraDrivers);
    std::remove((dir + "/SERIAL00001.dm").c_str());
    ::rmdir(dir.c_str());
}

TEST(ProfileWrite, LaterSettingsWinAndOutputFollowsReaderOrder) {
    ProfileSettings s;
    s.setFromText("map=a.map", "t");
    s.setFromText("size=32", "t");
    s.setFromText("type=0", "t");
    s.setFromText("size=64", "t");
    s.setFromText("map=", "t");  // an empty map value is legal: the reader then leaves MappingFile empty
    const auto entries = s.ordered();
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ("type", entries[0].key);
    EXPECT_EQ("size", entries[1].key);
    EXPECT_EQ("64", entries[1].value);
    EXPECT_EQ("map", entries[2].key);
    EXPECT_EQ("", entries[2].value);

    const std::string dir = tempDir();
    writeProfileFile(dir + "/ORDER000001.dm", s);
    const std::string bytes = readBytes(dir + "/ORDER000001.dm");
    std::remove((dir + "/ORDER000001.dm").c_str());
    ::rmdir(dir.c_str());
    EXPECT_EQ(std::string("type=0").size() + std::string("size=64").size() + std::string("map=").size() + 3,
              bytes.size());
    EXPECT_EQ(MirrorKit::scramble_line("type=0") + "\n", bytes.substr(0, 7));
}

TEST(ProfileWrite, RefusesValuesTheReaderWouldMisread) {
    // Bytes that scramble to a line feed anywhere, or to a carriage return at the end, would corrupt the line.
    EXPECT_NE("", problemOf("map", "caf\xAD.map"));
    EXPECT_NE("", problemOf("map", "name\xAA"));
    EXPECT_EQ("", problemOf("map", "\xAA" "name"));  // only a final CR is dropped by the reader
    EXPECT_NE("", problemOf("calibration", "a\nb"));
    EXPECT_NE("", problemOf("calibration", "a\rb"));
    EXPECT_NE("", problemOf("map", std::string("a\0b", 3)));

    // Numbers the reader would silently turn into 0 or wrap.
    EXPECT_NE("", problemOf("size", "abc"));
    EXPECT_NE("", problemOf("size", "-1"));
    EXPECT_NE("", problemOf("size", "0"));
    EXPECT_NE("", problemOf("size", "4097"));
    EXPECT_EQ("", problemOf("size", "4096"));
    EXPECT_NE("", problemOf("size", " 140"));
    EXPECT_NE("", problemOf("type", "3"));
    EXPECT_EQ("", problemOf("type", "1"));
    EXPECT_NE("", problemOf("maxv", "0"));
    EXPECT_NE("", problemOf("maxv", "33554432"));  // would lose its top bits when stored shifted by 7
    EXPECT_EQ("", problemOf("maxv", "33554431"));
    EXPECT_EQ("", problemOf("vlim", "0"));
    EXPECT_NE("", problemOf("hva", "4294967296"));
    EXPECT_EQ("", problemOf("hva", "4294967295"));
    EXPECT_EQ("", problemOf("use_fiber2", "-2147483648"));
    EXPECT_NE("", problemOf("use_fiber2", "2147483648"));
    EXPECT_NE("", problemOf("use_CL2", "--1"));

    // Serial numbers the reader would cut.
    EXPECT_EQ("", problemOf("driver_sn", "ABCDEFGHIJK"));
    EXPECT_NE("", problemOf("driver_sn2", "ABCDEFGHIJKL"));
}

TEST(ProfileWrite, InactiveListMustMatchItsCount) {
    EXPECT_EQ("", problemOf("inactive", "0"));
    EXPECT_EQ("", problemOf("inactive", "0:"));
    EXPECT_EQ("", problemOf("inactive", "3:5,17,200"));
    EXPECT_EQ("", problemOf("inactive", "2;5, 17"));
    EXPECT_NE("", problemOf("inactive", "2:5"));
    EXPECT_NE("", problemOf("inactive", "1:5,6"));
    EXPECT_NE("", problemOf("inactive", "0:5"));
    EXPECT_NE("", problemOf("inactive", "1"));
    EXPECT_NE("", problemOf("inactive", "1 5"));  // the reader would take '5' as the separator
    EXPECT_NE("", problemOf("inactive", "1:x"));
    EXPECT_NE("", problemOf("inactive", "1:4096"));
    EXPECT_NE("", problemOf("inactive", "4096:1"));
    EXPECT_NE("", problemOf("inactive", ":1"));
}

TEST(ProfileWrite, ErrorsNameTheSourceAndStayOneLine) {
    ProfileSettings s;
    std::string msg = usageMessage([&] { s.setFromText("colour=red", "argument 4"); });
    EXPECT_NE(std::string::npos, msg.find("argument 4")) << msg;
    EXPECT_NE(std::string::npos, msg.find("'colour'")) << msg;
    msg = usageMessage([&] { s.setFromText("si\nze=1", "argument 4"); });
    EXPECT_EQ(std::string::npos, msg.find('\n')) << msg;
    EXPECT_NE(std::string::npos, msg.find("si\\nze")) << msg;
    msg = usageMessage([&] { s.setFromText("size", "argument 5"); });
    EXPECT_NE(std::string::npos, msg.find("key=value")) << msg;
    msg = usageMessage([&] { s.set("Size", "1", "x"); });  // keys are case-sensitive
    EXPECT_NE(std::string::npos, msg.find("unknown profile key")) << msg;
    EXPECT_TRUE(s.empty());
}

TEST(ProfileWrite, ConsistencyAcrossKeys) {
    ProfileSettings s;
    s.setFromText("size=140", "t");
    s.setFromText("inactive=2:3,140", "t");
    EXPECT_NE(std::string::npos, usageMessage([&] { s.checkConsistency(); }).find("140"));
    s.setFromText("inactive=2:3,139", "t");
    EXPECT_EQ("(no error)", usageMessage([&] { s.checkConsistency(); }));
    s.setFromText("maxv=200", "t");
    s.setFromText("vlim=201", "t");
    EXPECT_NE(std::string::npos, usageMessage([&] { s.checkConsistency(); }).find("vlim"));
    s.setFromText("vlim=200", "t");
    EXPECT_EQ("(no error)", usageMessage([&] { s.checkConsistency(); }));
    // One serial number for both units: the reader refuses such a profile, so it is not written.
    s.setFromText("driver_sn=UNIT0000001", "t");
    s.setFromText("driver_sn2=UNIT0000001", "t");
    EXPECT_NE(std::string::npos, usageMessage([&] { s.checkConsistency(); }).find("driver_sn2"));
    s.setFromText("driver_sn2=UNIT0000002", "t");
    EXPECT_EQ("(no error)", usageMessage([&] { s.checkConsistency(); }));
}

TEST(ProfileWrite, ReadsSettingsText) {
    ProfileSettings s;
    std::istringstream text("# mirror 7\r\ntype=2\r\n\n   \nsize=140\nmap=with spaces.map\r\n");
    s.readText(text, "in.txt");
    ASSERT_NE(nullptr, s.find("map"));
    EXPECT_EQ("with spaces.map", *s.find("map"));
    EXPECT_EQ("140", *s.find("size"));

    std::istringstream bad("type=2\n\nsize=lots\n");
    const std::string msg = usageMessage([&] { s.readText(bad, "in.txt"); });
    EXPECT_NE(std::string::npos, msg.find("in.txt line 3")) << msg;
}

TEST(ProfileShow, SplitsAndSkipsAsTheReaderDoes) {
    const std::string crlf = MirrorKit::scramble_line("size=140") + "\r\n";
    const std::string lf = MirrorKit::scramble_line("type=2") + "\n";
    const std::string single = MirrorKit::scramble_line("x") + "\n";
    const std::string unknown = MirrorKit::scramble_line("colour=red");  // last line without LF
    const std::string dir = tempDir();
    {
        std::ofstream out(dir + "/SHOW0000001.dm", std::ios::binary);
        out << crlf + lf + single + unknown;
    }
    const auto lines = readProfileFile(dir + "/SHOW0000001.dm");
    std::remove((dir + "/SHOW0000001.dm").c_str());
    ::rmdir(dir.c_str());
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("size=140", lines[0].text);
    EXPECT_EQ("", lines[0].problem);
    EXPECT_EQ("type=2", lines[1].text);
    EXPECT_EQ("", lines[2].text);
    EXPECT_NE("", lines[2].problem);
    EXPECT_EQ(3u, lines[2].number);
    EXPECT_EQ("colour=red", lines[3].text);
    EXPECT_NE(std::string::npos, lines[3].problem.find("unknown key"));
}
