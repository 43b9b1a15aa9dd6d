// Map files and the opening steps shared by every driver.
#include <KRV.h>

#include "krv/KRVApiImpl.h"
#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace MirrorKit;

namespace {

struct MapFixture : ::testing::Test {
    krvtest::TempDir dir;
    std::string path = dir / "map.txt";
    std::vector<uint32_t> map = std::vector<uint32_t>(300, 0xDEAD);

    static std::vector<uint32_t> sequence(uint32_t n, uint32_t start = 0) {
        std::vector<uint32_t> v(n);
        std::iota(v.begin(), v.end(), start);
        return v;
    }
};

}  // namespace

TEST_F(MapFixture, ExactLongAndShortFiles) {
    krvtest::writeMap(path, sequence(140, 1000));
    ASSERT_EQ(KRVLoadMapImpl(path.c_str(), map.data(), 140), NO_ERR);
    EXPECT_EQ(map[0], 1000u);
    EXPECT_EQ(map[139], 1139u);
    EXPECT_EQ(map[140], 0xDEADu);  // nothing beyond the count

    krvtest::writeMap(path, sequence(200, 5));
    ASSERT_EQ(KRVLoadMapImpl(path.c_str(), map.data(), 140), NO_ERR);
    EXPECT_EQ(map[139], 144u);
    EXPECT_EQ(map[140], 0xDEADu);

    krvtest::writeMap(path, sequence(32, 7));
    ASSERT_EQ(KRVLoadMapImpl(path.c_str(), map.data(), 140), NO_ERR);
    EXPECT_EQ(map[31], 38u);
    for (int i = 32; i < 140; ++i) ASSERT_EQ(map[i], 4096u) << i;
}

TEST_F(MapFixture, TooShortAndEmptyFilesAreInvalid) {
    krvtest::writeMap(path, sequence(31, 9));
    EXPECT_EQ(KRVLoadMapImpl(path.c_str(), map.data(), 140), ERR_INVALID_LUT);
    EXPECT_EQ(map[30], 0xDEADu);  // a refused file leaves the map as it was
    krvtest::writeText(path, "");
    EXPECT_EQ(KRVLoadMapImpl(path.c_str(), map.data(), 140), ERR_INVALID_LUT);
    EXPECT_EQ(KRVLoadMapImpl((dir / "missing").c_str(), map.data(), 140), ERR_OPENFILE);
    EXPECT_EQ(KRVLoadMapImpl(path.c_str(), nullptr, 140), NO_ERR);
    EXPECT_EQ(KRVLoadMapImpl(path.c_str(), map.data(), 0), NO_ERR);
}

TEST_F(MapFixture, LinesWithTextCarriageReturnsAndGaps) {
    std::string text;
    for (int i = 0; i < 40; ++i) {
        if (i == 0)
            text += "40\n";  // entry 0 comes from the empty line
        else if (i == 3)
            text += "70 text after\n";
        else if (i == 5)
            text += "\n";
        else if (i == 6)
            text += "  42\r\n";
        else
            text += std::to_string(i) + "\n";
    }
    krvtest::writeText(path, text);
    ASSERT_EQ(KRVLoadMapImpl(path.c_str(), map.data(), 40), NO_ERR);
    EXPECT_EQ(map[0], 40u);
    EXPECT_EQ(map[3], 70u);
    EXPECT_EQ(map[5], 0u);
    EXPECT_EQ(map[6], 42u);
    EXPECT_EQ(map[39], 39u);
}
