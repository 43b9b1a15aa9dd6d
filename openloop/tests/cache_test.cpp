// What the open-loop exports keep between calls: every result equal to one computed from nothing, the caches
// owned by the record and dropped by a calibration load, two records used from two threads.
#include <KRV.h>
#include <KRV_OpenLoop.h>

#include "OpenLoopTestSupport.h"
#include "Resample.h"
#include "krv/DMState.h"

#include "support/KrvTestSupport.h"

#include "SerialOpenCV.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A wavefront-sensor map: smooth values that change with `seed` inside a disc, NaN outside it.
std::vector<double> sensorMap(int size, int seed) {
    std::vector<double> map(static_cast<size_t>(size) * size);
    const double c = (size - 1) / 2.0;
    for (int r = 0; r < size; ++r)
        for (int k = 0; k < size; ++k) {
            const double x = (k - c) / c, y = (r - c) / c;
            map[static_cast<size_t>(r) * size + k] =
                x * x + y * y > 1.0 ? kNaN
                                    : -400.0 + 120.0 * (x * x + y * y) + 30.0 * std::sin(seed + 3.0 * x) * y + seed;
        }
    return map;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

struct Outcome {
    KRVRC rc = ERR_UNKNOWN;
    std::vector<double> commands, grid;
    bool operator==(const Outcome& o) const { return rc == o.rc && sameBits(commands, o.commands) && sameBits(grid, o.grid); }
};

struct Mirrors : ::testing::Test {
    krvtest::InstallTree tree;
    DM a = tree.record(), b = tree.record();

    void TearDown() override {
        for (DM* dm : {&a, &b}) {
            if (dm->State) {
                EXPECT_EQ(KRVClose(dm), NO_ERR);
            }
        }
    }
    // Opens a dummy mirror on its own profile with a generated table as its calibration; false without the table.
    bool open(DM& dm, const std::string& serial, uint32_t actuators) {
        const std::string name = "cdm_" + std::to_string(actuators) + ".mat";
        if (!std::filesystem::exists(oltest::table(name))) return false;
        std::filesystem::copy_file(oltest::table(name), tree.calibrations() + "/" + name,
                                   std::filesystem::copy_options::overwrite_existing);
        krvtest::writeProfile(tree.profiles() + "/" + serial + ".dm",
                              krvtest::dummyProfile(actuators, "calibration=" + name));
        return KRVOpen(&dm, serial.c_str()) == NO_ERR && dm.State->Calibration != nullptr;
    }
};

Outcome surface(DM& dm, std::vector<double>& map, int size, int diameter, unsigned options) {
    Outcome out;
    const size_t w = dm.ActCountWidth;
    out.commands.assign(dm.ActCount, -1.0);
    out.grid.assign(w * w, -1.0);
    out.rc = KRVCalculateSurfaceEx(&dm, map.data(), size, size, diameter, options, out.commands.data(), dm.ActCount,
                                   out.grid.data(), static_cast<unsigned>(w * w));
    return out;
}

// The same call on a record that keeps nothing: its cache is dropped first.
Outcome fromNothing(DM& dm, std::vector<double>& map, int size, int diameter, unsigned options) {
    dm.State->OpenLoopCache.reset();
    return surface(dm, map, size, diameter, options);
}

std::vector<double> zernike(DM& dm, std::vector<double> coeffs, int diameter, unsigned options, bool keepNothing) {
    if (keepNothing) dm.State->OpenLoopCache.reset();
    std::vector<double> phase(static_cast<size_t>(dm.ActCountWidth) * dm.ActCountWidth, -1.0);
    const KRVRC rc = KRVZernikeSurface(&dm, coeffs.data(), static_cast<int>(coeffs.size()), diameter, options,
                                       phase.data(), static_cast<unsigned>(phase.size()));
    return rc == NO_ERR ? phase : std::vector<double>();
}

std::vector<double> series(size_t count, double scale) {
    std::vector<double> c(count);
    for (size_t k = 0; k < count; ++k) c[k] = scale * std::cos(0.7 * static_cast<double>(k) + scale) / (1.0 + k / 8.0);
    return c;
}

}  // namespace

// One region, then one sampled pixel of it changed (to NaN, then to zero), then the first region again, on 137 and
// 952 actuators: each result equal to a record that computes from nothing, and its grid to the plain resampling.
TEST_F(Mirrors, SurfacesEqualThoseComputedFromNothing) {
    for (uint32_t actuators : {137u, 952u}) {
        SCOPED_TRACE(actuators);
        if (!open(a, "OLCACHE0001", actuators) || !open(b, "OLCACHE0002", actuators))
            GTEST_SKIP() << "no generated table for " << actuators << " actuators";
        // With D = W - 1 the grid samples every `spacing`-th pixel exactly: the changed pixel is one of them.
        const int w = static_cast<int>(a.ActCountWidth), spacing = actuators == 137 ? 8 : 15;
        const int size = (w - 1) * spacing + 1;
        const size_t pixel = static_cast<size_t>(spacing * (w / 2)) * size + spacing * (w / 2);
        struct Step {
            int seed, changed;  // changed: 0 none, 1 the pixel NaN, 2 the pixel zero
            int diameter;
            unsigned options;
        };
        const Step steps[] = {{1, 0, w - 1, 0}, {2, 0, w - 1, 0}, {3, 0, w - 1, 2}, {4, 1, w - 1, 0},
                              {5, 2, w - 1, 0}, {6, 0, w - 1, 0}, {7, 0, w - 1, 1}, {8, 0, 0, 0},
                              {9, 0, 0, 0},     {10, 1, 0, 3},    {11, 0, 0, 0}};
        for (const Step& step : steps) {
            SCOPED_TRACE(step.seed);
            std::vector<double> map = sensorMap(size, step.seed);
            if (step.changed) map[pixel] = step.changed == 1 ? kNaN : 0.0;
            const Outcome kept = surface(a, map, size, step.diameter, step.options);
            EXPECT_TRUE(kept == fromNothing(b, map, size, step.diameter, step.options));
            const cv::Mat plain = MirrorKit::resamplePhaseMap(cv::Mat(size, size, CV_64F, map.data()), w,
                                                              step.diameter ? step.diameter : w - 3);
            EXPECT_TRUE(sameBits(kept.grid, std::vector<double>(plain.ptr<double>(), plain.ptr<double>() + w * w)));
            EXPECT_TRUE(kept.rc == NO_ERR || kept.rc == ERR_OUT_OF_LUT_RANGE) << kept.rc;
        }
        // KRVSetSurface takes the same path: the frame it sends is the one calculated from nothing.
        std::vector<double> map = sensorMap(size, 11);
        const Outcome expected = fromNothing(b, map, size, 0, 2);
        ASSERT_EQ(KRVSetSurface(&a, map.data(), size, size, 0, 2), NO_ERR);
        ASSERT_EQ(KRVSetSurface(&a, map.data(), size, size, 0, 2), NO_ERR);
        std::vector<double> sent(actuators);
        ASSERT_EQ(KRVGetArray(&a, sent.data(), actuators), NO_ERR);
        for (size_t i = 0; i < actuators; ++i) EXPECT_NEAR(sent[i], expected.commands[i], 0.5 / 65535.0) << i;
        TearDown();
        a = tree.record();
        b = tree.record();
    }
}

// Coefficients, counts, diameters and options in turn: each map equal to one computed from nothing.
TEST_F(Mirrors, ZernikeMapsEqualThoseComputedFromNothing) {
    krvtest::writeProfile(tree.profiles() + "/OLCACHE0003.dm", krvtest::dummyProfile(144));
    krvtest::writeProfile(tree.profiles() + "/OLCACHE0004.dm", krvtest::dummyProfile(144));
    ASSERT_EQ(KRVOpen(&a, "OLCACHE0003"), NO_ERR);
    ASSERT_EQ(KRVOpen(&b, "OLCACHE0004"), NO_ERR);
    struct Step {
        size_t count;
        double scale;
        int diameter;
        unsigned options;
    };
    for (const Step& s : {Step{15, 40.0, 0, 0}, Step{15, -25.0, 0, 0}, Step{66, 10.0, 0, 0}, Step{15, 40.0, 0, 0},
                          Step{15, 3.0, 11, 0}, Step{15, 3.0, 11, 2}, Step{1, 7.0, 0, 0}, Step{1024, 1.0, 0, 0}}) {
        SCOPED_TRACE(s.count);
        const std::vector<double> kept = zernike(a, series(s.count, s.scale), s.diameter, s.options, false);
        ASSERT_FALSE(kept.empty());
        EXPECT_TRUE(sameBits(kept, zernike(b, series(s.count, s.scale), s.diameter, s.options, true)));
    }
}

// The caches hang from the record: a calibration load drops them, and so does closing the record.
TEST_F(Mirrors, CachesBelongToTheRecord) {
    if (!open(a, "OLCACHE0005", 137)) GTEST_SKIP() << "no generated table";
    std::vector<double> map = sensorMap(64, 1);
    ASSERT_EQ(surface(a, map, 64, 0, 0).rc, NO_ERR);
    std::weak_ptr<void> first = a.State->OpenLoopCache;
    ASSERT_FALSE(first.expired());
    EXPECT_EQ(KRVLoadCalibrationFile(&a, (tree.calibrations() + "/missing.mat").c_str()), ERR_OPENFILE);
    EXPECT_FALSE(first.expired());  // a failed load changes nothing
    ASSERT_EQ(KRVLoadCalibrationFile(&a, (tree.calibrations() + "/cdm_137.mat").c_str()), NO_ERR);
    EXPECT_TRUE(first.expired());

    ASSERT_FALSE(zernike(a, series(10, 1.0), 0, 0, false).empty());
    std::weak_ptr<void> second = a.State->OpenLoopCache;
    ASSERT_FALSE(second.expired());
    ASSERT_EQ(KRVClose(&a), NO_ERR);
    EXPECT_TRUE(second.expired());
}

// Two records, each used by its own thread with changing regions and series: every result is the one
// calculated beforehand on one thread. Run in the thread-sanitizer build too.
TEST_F(Mirrors, TwoRecordsOnTwoThreads) {
    if (!open(a, "OLCACHE0006", 137) || !open(b, "OLCACHE0007", 137)) GTEST_SKIP() << "no generated table";
    constexpr int kSize = 80, kMaps = 4, kRounds = 6;
    struct Work {
        DM* dm;
        std::vector<std::vector<double>> maps;
        std::vector<Outcome> expected;
        std::vector<std::vector<double>> zernikes;
        int mismatches = 0;
    };
    Work work[2] = {{&a, {}, {}, {}}, {&b, {}, {}, {}}};
    for (int t = 0; t < 2; ++t) {
        for (int m = 0; m < kMaps; ++m) {
            std::vector<double> map = sensorMap(kSize, 10 * t + m);
            if (m % 2) map[kSize * (kSize / 2) + kSize / 2 + t] = kNaN;  // every other map has another region
            work[t].expected.push_back(fromNothing(*work[t].dm, map, kSize, 0, 0));
            work[t].zernikes.push_back(zernike(*work[t].dm, series(10 + 5 * m, t + 1.0), 0, 0, true));
            work[t].maps.push_back(std::move(map));
        }
    }
    const auto run = [&](Work& w) {
        for (int round = 0; round < kRounds; ++round)
            for (int m = 0; m < kMaps; ++m) {
                if (!(surface(*w.dm, w.maps[m], kSize, 0, 0) == w.expected[m])) ++w.mismatches;
                const int t = &w == &work[0] ? 0 : 1;
                if (!sameBits(zernike(*w.dm, series(10 + 5 * m, t + 1.0), 0, 0, false), w.zernikes[m])) ++w.mismatches;
            }
    };
    std::thread first(run, std::ref(work[0])), second(run, std::ref(work[1]));
    first.join();
    second.join();
    EXPECT_EQ(work[0].mismatches, 0);
    EXPECT_EQ(work[1].mismatches, 0);
}
