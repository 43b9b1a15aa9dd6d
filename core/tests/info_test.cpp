// What programs learn through the public interface alone: model geometry, channel count, calibration state, and
// profile files written and read back with the kit's own key list.
#include <KRV.h>

#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kSerial = "INFO0000140";

struct Info : ::testing::Test {
    krvtest::InstallTree tree;
    DM dm = tree.record();

    void SetUp() override { krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent.so"); }
    void TearDown() override {
        if (dm.State) KRVClose(&dm);
    }
    std::string profilePath(const char* serial = kSerial) { return tree.profiles() + "/" + serial + ".dm"; }
};

std::vector<std::string> profileKeys() {
    std::vector<std::string> keys;
    for (uint32_t i = 0; const char* key = KRVProfileKey(i); ++i) keys.push_back(key);
    return keys;
}

KRVRC writeProfile(const std::string& path, const std::vector<std::string>& settings) {
    std::vector<const char*> pointers;
    for (const auto& s : settings) pointers.push_back(s.c_str());
    return KRVWriteProfile(path.c_str(), pointers.data(), static_cast<uint32_t>(pointers.size()));
}

struct Line {
    uint32_t number;
    bool skipped;
    std::string text;
};

std::vector<Line> readLines(const std::string& path, KRVRC* rc = nullptr) {
    std::vector<Line> lines;
    const KRVRC result = KRVReadProfileLines(
        path.c_str(),
        [](void* context, uint32_t number, const char* text, uint32_t length) {
            static_cast<std::vector<Line>*>(context)->push_back(
                {number, text == nullptr, text ? std::string(text, length) : std::string()});
        },
        &lines);
    if (rc) *rc = result;
    return lines;
}

}  // namespace

TEST(ModelGeometry, KnownAndUnknownCounts) {
    DMGEOMETRY g;
    ASSERT_EQ(KRVGetModelGeometry(140, &g), NO_ERR);
    EXPECT_EQ(g.ActCount, 140u);
    EXPECT_EQ(g.Width, 12u);
    EXPECT_EQ(g.Layout, static_cast<uint32_t>(DMSquareLayout));
    EXPECT_EQ(g.Known, 1u);
    EXPECT_EQ(g.Segmented, 0u);
    EXPECT_GT(g.StrokeNm, 0.0);
    EXPECT_NE(std::string(g.Model), "");

    // No model has 150 actuators: the kit lays them on the smallest square that holds them.
    std::memset(&g, 0x5A, sizeof g);
    ASSERT_EQ(KRVGetModelGeometry(150, &g), NO_ERR);
    EXPECT_EQ(g.Known, 0u);
    EXPECT_EQ(g.Width, 13u);
    EXPECT_EQ(g.HasMask, 0u);
    EXPECT_EQ(g.StrokeNm, 0.0);
    EXPECT_EQ(std::string(g.Model), "");

    EXPECT_EQ(KRVGetModelGeometry(0, &g), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(KRVGetModelGeometry(MAX_DM_SIZE + 1, &g), ERR_INVALID_ACTUATOR_COUNT);
    EXPECT_EQ(KRVGetModelGeometry(140, nullptr), ERR_BADARG);
}

TEST(ModelGeometry, EveryMaskHasOneCellPerActuatorPlace) {
    int masks = 0;
    for (uint32_t n = 1; n <= MAX_DM_SIZE; ++n) {
        DMGEOMETRY g;
        ASSERT_EQ(KRVGetModelGeometry(n, &g), NO_ERR);
        std::vector<int32_t> cells(static_cast<size_t>(g.Width) * g.Width + 1, -7);
        const KRVRC rc = KRVGetGridMask(n, cells.data(), static_cast<uint32_t>(cells.size()));
        if (!g.HasMask) {
            EXPECT_EQ(rc, ERR_NOT_IMPLEMENTED) << n;
            EXPECT_TRUE(std::all_of(cells.begin(), cells.end(), [](int32_t c) { return c == -7; })) << n;
            continue;
        }
        ++masks;
        ASSERT_EQ(rc, NO_ERR) << n;
        EXPECT_TRUE(std::all_of(cells.begin(), cells.end() - 1, [](int32_t c) { return c == 0 || c == 1; })) << n;
        EXPECT_EQ(cells.back(), -7) << "wrote past Width x Width for " << n;
        // Too little room is refused without writing.
        std::vector<int32_t> small(static_cast<size_t>(g.Width) * g.Width - 1, -7);
        EXPECT_EQ(KRVGetGridMask(n, small.data(), static_cast<uint32_t>(small.size())), ERR_BADARG);
        EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](int32_t c) { return c == -7; })) << n;
    }
    EXPECT_GT(masks, 0);
    EXPECT_EQ(KRVGetGridMask(140, nullptr, 1000), ERR_BADARG);
}

TEST_F(Info, OpenMirrorGeometryChannelsAndCalibration) {
    DMGEOMETRY g;
    uint32_t channels = 0;
    bool loaded = true;
    EXPECT_EQ(KRVGetGeometry(&dm, &g), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVGetChannelCount(&dm, &channels), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVIsCalibrationLoaded(&dm, &loaded), ERR_DRIVER_NOT_OPEN);

    krvtest::writeProfile(profilePath(), krvtest::dummyProfile(140));
    ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
    ASSERT_EQ(KRVGetGeometry(&dm, &g), NO_ERR);
    EXPECT_EQ(g.ActCount, dm.ActCount);
    EXPECT_EQ(g.Width, dm.ActCountWidth);
    EXPECT_EQ(g.Layout, dm.Layout);
    ASSERT_EQ(KRVGetChannelCount(&dm, &channels), NO_ERR);
    EXPECT_EQ(channels, 140u);
    ASSERT_EQ(KRVIsCalibrationLoaded(&dm, &loaded), NO_ERR);
    EXPECT_FALSE(loaded);

    EXPECT_EQ(KRVGetGeometry(nullptr, &g), ERR_BADARG);
    EXPECT_EQ(KRVGetGeometry(&dm, nullptr), ERR_BADARG);
    EXPECT_EQ(KRVGetChannelCount(&dm, nullptr), ERR_BADARG);
    EXPECT_EQ(KRVIsCalibrationLoaded(&dm, nullptr), ERR_BADARG);
}

TEST_F(Info, EveryProfileKeyWrittenIsReadByOpen) {
    const std::vector<std::string> keys = profileKeys();
    EXPECT_EQ(keys.size(), 18u);
    EXPECT_EQ(KRVProfileKey(static_cast<uint32_t>(keys.size())), nullptr);
    const std::vector<std::string> settings = {"type=2",
                                               "size=140",
                                               "maxv=300",
                                               "hva=7",
                                               "use_fiber=1",
                                               "use_CL=0",
                                               "burst_mode=1",
                                               "fiber_mode=0",
                                               "hva2=9",
                                               "use_fiber2=0",
                                               "use_CL2=1",
                                               "fiber_mode2=0",
                                               "vlim=150",
                                               "map=",
                                               "calibration=",
                                               "inactive=2:5,17",
                                               "driver_sn=ABCDEFGHIJK",
                                               "driver_sn2=UNIT2-00002"};
    // Every key the writer accepts is one the reader takes, and the list names each once.
    for (const auto& s : settings)
        EXPECT_NE(std::find(keys.begin(), keys.end(), s.substr(0, s.find('='))), keys.end()) << s;
    ASSERT_EQ(settings.size(), keys.size());

    ASSERT_EQ(writeProfile(profilePath(), settings), NO_ERR);
    ASSERT_EQ(KRVOpen(&dm, kSerial), NO_ERR);
    EXPECT_EQ(dm.DriverType, KRV_DUMMY_DRV);
    EXPECT_EQ(dm.ActCount, 140u);
    EXPECT_EQ(dm.HVAType, 7u);
    EXPECT_EQ(dm.BurstMode, 1u);
    EXPECT_EQ(dm.DriverCount, 2u);
    EXPECT_STREQ(dm.Driver.SerialNumber, "ABCDEFGHIJK");
    ASSERT_NE(dm.ExtraDrivers, nullptr);
    EXPECT_EQ(dm.ExtraDrivers[0].HVAType, 9u);
    EXPECT_STREQ(dm.ExtraDrivers[0].SerialNumber, "UNIT2-00002");
    // Frames go out and read back in the caller's units.
    const std::vector<double> full(140, 1.0);
    ASSERT_EQ(KRVSetArray(&dm, full.data(), nullptr), NO_ERR);
    std::vector<double> back(140);
    ASSERT_EQ(KRVGetArray(&dm, back.data(), 140), NO_ERR);
    EXPECT_NEAR(back[0], 1.0, 1e-4);

    const std::vector<Line> lines = readLines(profilePath());
    ASSERT_EQ(lines.size(), settings.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].number, i + 1);
        EXPECT_FALSE(lines[i].skipped);
        EXPECT_EQ(lines[i].text, settings[i]);
    }
}

TEST_F(Info, RefusedProfilesLeaveTheOldFile) {
    ASSERT_EQ(writeProfile(profilePath(), {"type=2", "size=140"}), NO_ERR);
    const std::string before = krvtest::readText(profilePath());
    const std::vector<std::vector<std::string>> refused = {
        {"type=2", "colour=red"},  // unknown key
        {"type=2", "size"},        // no value
        {"map=caf\xAD.map"},       // a byte that the file's encoding turns into a line feed
        {"map=name\xAA"},          // a final byte that becomes a carriage return the reader drops
        {"calibration=a\nb"},     {"map=a\rb"},
    };
    for (const auto& settings : refused) {
        EXPECT_EQ(writeProfile(profilePath(), settings), ERR_BADARG) << settings.back();
        EXPECT_EQ(krvtest::readText(profilePath()), before) << settings.back();
        EXPECT_EQ(KRVCheckProfileSetting(settings.back().c_str()), ERR_BADARG) << settings.back();
    }
    // Only a final byte that becomes a carriage return is lost; the same byte first in a value is kept.
    const std::string kept = std::string("map=\xAA") + "name";
    EXPECT_EQ(KRVCheckProfileSetting(kept.c_str()), NO_ERR);
    EXPECT_EQ(writeProfile(profilePath(), {kept}), NO_ERR);
    const std::vector<Line> lines = readLines(profilePath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, kept);
    EXPECT_EQ(KRVCheckProfileSetting(nullptr), ERR_BADARG);

    const char* one = "type=2";
    EXPECT_EQ(KRVWriteProfile(nullptr, &one, 1), ERR_BADARG);
    EXPECT_EQ(KRVWriteProfile(profilePath().c_str(), nullptr, 1), ERR_BADARG);
    const char* holes[] = {"type=2", nullptr};
    EXPECT_EQ(KRVWriteProfile(profilePath().c_str(), holes, 2), ERR_BADARG);
    EXPECT_EQ(KRVWriteProfile((tree.profiles() + "/no/such/dir/x.dm").c_str(), &one, 1), ERR_OPENFILE);
}

TEST_F(Info, LinesAreSplitAndSkippedAsTheReaderDoes) {
    // "size=140" then CRLF, a one-byte line, and an unknown key without a final line feed, all scrambled.
    std::string bytes;
    auto scrambled = [](const std::string& s) {
        std::string out(s);
        for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7);
        return out;
    };
    bytes += scrambled("size=140") + "\r\n" + scrambled("x") + "\n" + scrambled("colour=red");
    krvtest::writeText(profilePath(), bytes);
    KRVRC rc = ERR_UNKNOWN;
    const std::vector<Line> lines = readLines(profilePath(), &rc);
    ASSERT_EQ(rc, NO_ERR);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "size=140");
    EXPECT_TRUE(lines[1].skipped);
    EXPECT_EQ(lines[1].number, 2u);
    EXPECT_EQ(lines[2].text, "colour=red");

    readLines(tree.profiles() + "/ABSENT00000.dm", &rc);
    EXPECT_EQ(rc, ERR_OPENFILE);
    EXPECT_EQ(KRVReadProfileLines(profilePath().c_str(), nullptr, nullptr), ERR_BADARG);
}
