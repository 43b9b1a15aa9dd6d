// Result texts, encoded fields, driver-unit conversion and the model table.
#include <KRV.h>

#include "krv/Encoding.h"
#include "krv/ModelTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

using namespace MirrorKit;

TEST(ErrorStrings, KnownUnknownAndTextless) {
    EXPECT_STREQ(KRVErrorString(NO_ERR), "No error.");
    EXPECT_STREQ(KRVErrorString(ERR_UNKNOWN), "Uknown error.");
    EXPECT_STREQ(KRVErrorString(ERR_USB_OTHER), "Unknown USB error.");
    EXPECT_STREQ(KRVErrorString(ERR_DRIVER_NOT_OPEN), "Driver not initialized; must open driver first.");
    EXPECT_STREQ(KRVErrorString(ERR_INVALID_COEFFICIENTS), "Unknown error code.");
    EXPECT_STREQ(KRVErrorString(static_cast<KRVRC>(1000)), "Unknown error code.");
    EXPECT_STREQ(KRVErrorString(static_cast<KRVRC>(0xFFFFFFFFu)), "Unknown error code.");
    EXPECT_STREQ(KRVVersionString(), "4.2.1");
}

TEST(Encoding, RoundTripsEveryValueAndNeverMeetsTheTerminator) {
    for (uint32_t v = 0; v <= 511; ++v) {
        EXPECT_EQ(decodeValue(encodeValue(v)), v);
        EXPECT_NE(encodeValue(v), kInactiveTerminator);
    }
    // The low seven bits carry nothing.
    EXPECT_EQ(decodeValue(encodeValue(200) ^ 0x7F), 200u);
}

TEST(Conversion, DriverUnitsFollowTheRoundingAndClampRules) {
    EXPECT_EQ(toDriverUnits(1.0, 1.0), 65535u);
    EXPECT_EQ(toDriverUnits(0.5, 1.0), 32768u);  // 32767.5 rounds away from zero
    EXPECT_EQ(toDriverUnits(-0.2, 1.0), 0u);
    EXPECT_EQ(toDriverUnits(1.7, 1.0), 65535u);
    EXPECT_EQ(toDriverUnits(std::nan(""), 1.0), 0u);
    EXPECT_EQ(toDriverUnits(1.0, 0.5), 32768u);
    EXPECT_DOUBLE_EQ(fromDriverUnits(65535, 0.5), 1.0);  // capped
    EXPECT_NEAR(fromDriverUnits(16384, 0.5), 16384.0 / 65535.0 / 0.5, 1e-15);
}

TEST(Conversion, InlineRoundingIsBitIdenticalToLround) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> dist(0.0, 1.0);
    const double ratios[] = {1.0, 0.7, 150.0 / 200.0, 1.3};
    for (double ratio : ratios)
        for (int i = 0; i < 200000; ++i) {
            const double x = dist(rng);
            const auto expected = static_cast<uint32_t>(std::lround(x * 65535.0 * ratio));
            ASSERT_EQ(toDriverUnits(x, ratio), expected) << x;
            ASSERT_EQ(toDriverUnitsInRange(x, ratio), expected) << x;
        }
    EXPECT_EQ(toDriverUnitsInRange(std::nan(""), 1.0), 0u);
    EXPECT_EQ(toDriverUnitsInRange(-3.0, 1.0), 0u);
    EXPECT_EQ(toDriverUnitsInRange(7.0, 1.0), 65535u);
    EXPECT_TRUE(ratioInRange(1.0));
    EXPECT_FALSE(ratioInRange(std::nan("")));
    EXPECT_FALSE(ratioInRange(1e6));
    // Values just below a half, where adding 0.5 would round up in floating point.
    const double tricky = std::nextafter(0.5, 0.0);
    EXPECT_EQ(roundNonNegative(tricky), static_cast<uint32_t>(std::lround(tricky)));
    for (uint32_t k = 0; k < 70000; k += 7) {
        const double half = k + 0.5;
        EXPECT_EQ(roundNonNegative(half), static_cast<uint32_t>(std::lround(half)));
        EXPECT_EQ(roundNonNegative(std::nextafter(half, 0.0)), static_cast<uint32_t>(std::lround(std::nextafter(half, 0.0))));
    }
}

// A whole frame converts exactly as its values one by one (ties, neighbours of ties, values out of range, NaN and
// infinities, short and long frames of odd and even length), and tells whether every value was finite.
TEST(Conversion, FrameConversionEqualsTheValueByValueOne) {
    std::vector<double> values;
    for (uint32_t k = 0; k < 65535; k += 13) {
        const double tie = (k + 0.5) / 65535.0;
        values.insert(values.end(), {tie, std::nextafter(tie, 0.0), std::nextafter(tie, 1.0), k / 65535.0});
    }
    const double odd[] = {-0.0, -1e-300, 1.0, std::nextafter(1.0, 2.0), 2.5, -7.0, std::nan(""), -std::nan(""),
                          HUGE_VAL, -HUGE_VAL, 1e300, std::nextafter(0.5, 0.0), 0.5};
    values.insert(values.end(), std::begin(odd), std::end(odd));
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> dist(-0.25, 1.25);
    for (int i = 0; i < 20000; ++i) values.push_back(dist(rng));
    for (double ratio : {1.0, 0.7, 150.0 / 200.0, 1.0 / 3.0, 0.0}) {
        ASSERT_TRUE(ratioInRange(ratio));
        for (uint32_t count : {0u, 1u, 2u, 3u, 5u, static_cast<uint32_t>(values.size()) - 1u,
                               static_cast<uint32_t>(values.size())}) {
            // The two long lengths start one value apart, so every value passes through both lanes of a pair.
            const double* first = values.data() + (values.size() - count);
            std::vector<uint32_t> frame(count + 1, 0xDEADBEEFu);
            const bool finite = std::all_of(first, first + count, [](double v) { return std::isfinite(v); });
            EXPECT_EQ(framesToDriverUnitsInRange(first, count, ratio, frame.data()), finite) << count << " values";
            for (uint32_t i = 0; i < count; ++i)
                ASSERT_EQ(frame[i], toDriverUnitsInRange(first[i], ratio)) << "value " << first[i] << " ratio " << ratio;
            EXPECT_EQ(frame[count], 0xDEADBEEFu) << "written past the frame";
        }
    }
    // A lone NaN or infinity in either lane of a pair, or in the last place, is seen.
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL})
        for (uint32_t at : {0u, 1u, 6u}) {
            std::vector<double> seven(7, 0.5);
            seven[at] = bad;
            std::vector<uint32_t> frame(7);
            EXPECT_FALSE(framesToDriverUnitsInRange(seven.data(), 7, 1.0, frame.data())) << bad << " at " << at;
        }
}

TEST(ModelTable, LookupsByActuatorCount) {
    EXPECT_EQ(modelTable().size(), 26u);
    EXPECT_EQ(modelWidth(140), 12u);
    EXPECT_EQ(modelWidth(100), 10u);
    EXPECT_EQ(modelWidth(101), 11u);
    EXPECT_EQ(modelLayout(101), DMSquareLayout);
    EXPECT_EQ(modelLayout(952), DMCircularLayout);
    EXPECT_EQ(modelLayout(96), DMLinearLayout);
    EXPECT_EQ(modelLayout(507), DMHexLayout);
    for (uint32_t count : {140u, 144u, 160u}) {
        const DMModel* m = findModel(count);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->ActCount, count);
        EXPECT_STREQ(m->Name, "DMType16");
    }
    EXPECT_EQ(findModel(101), nullptr);
    EXPECT_DOUBLE_EQ(findModel(648)->StrokeNm, 5500.0);
    EXPECT_TRUE(findModel(1011)->Segmented);
}

TEST(ModelTable, EveryMaskHasOneCellPerActuator) {
    size_t withMask = 0;
    for (const DMModel& m : modelTable()) {
        const auto& mask = m.Mask();
        if (mask.empty()) continue;
        ++withMask;
        ASSERT_EQ(mask.size(), static_cast<size_t>(m.Width) * m.Width) << m.ActCount;
        EXPECT_EQ(static_cast<uint32_t>(std::accumulate(mask.begin(), mask.end(), 0)), m.ActCount)
            << "row with " << m.ActCount << " actuators";
    }
    EXPECT_EQ(withMask, 10u);
}

TEST(ModelTable, CutSquareLosesTwentyOneCellsPerCorner) {
    const DMModel* m = findModel(492);
    ASSERT_NE(m, nullptr);
    const auto& mask = m->Mask();
    int corner = 0;
    for (int r = 0; r < 12; ++r)
        for (int c = 0; c < 12; ++c) corner += mask[r * 24 + c] == 0;
    EXPECT_EQ(corner, 21);
    // Symmetric about both axes.
    for (int r = 0; r < 24; ++r)
        for (int c = 0; c < 24; ++c) EXPECT_EQ(mask[r * 24 + c], mask[(23 - r) * 24 + (23 - c)]);
}

TEST(ModelTable, SegmentedRunsLandWhereWritten) {
    const auto& mask = findModel(1011)->Mask();
    auto at = [&](int r, int c) { return mask[r * 39 + c]; };
    EXPECT_EQ(at(0, 13) + at(0, 14) + at(0, 15) + at(0, 16), 3);
    EXPECT_EQ(at(38, 12) + at(38, 15) + at(38, 18), 3);
    EXPECT_EQ(at(37, 8) + at(37, 11) + at(37, 20) + at(37, 23), 4);
    EXPECT_EQ(at(37, 9) + at(37, 10) + at(37, 21) + at(37, 22), 0);
    const auto& hex = findModel(111)->Mask();
    EXPECT_EQ(hex[13 * 14 + 5], 1);
    EXPECT_EQ(hex[13 * 14 + 4], 0);
}
