// Threads on one interface library (KRVLabviewIF4 with FLAT_LABVIEW, else libKRVMatlabIF4): handles made at once
// are distinct, and mirrors behind different handles can be driven at once.
#ifdef FLAT_LABVIEW
#include <KRVLabviewIF.h>
#define FLAT(labview, matlab) KRV_LVIF_##labview
#else
#include <KRVMatlabIF.h>
#define FLAT(labview, matlab) matlab
#endif

#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

DM_STRUCT freshRecord() {
    DM_STRUCT dm{};
    EXPECT_EQ(FLAT(GetNewDM, fnGetDM)(&dm), 0);
    return dm;
}

TEST(FlatThreads, HandlesMadeAtOnceAreDistinct) {
    constexpr int kPerThread = 500;
    std::vector<uint64_t> handles[2];
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (auto& mine : handles) {
        threads.emplace_back([&go, &mine] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i) mine.push_back(freshRecord().Handle);
        });
    }
    go = true;
    for (auto& t : threads) t.join();
    std::set<uint64_t> all;
    for (const auto& mine : handles) {
        ASSERT_EQ(mine.size(), size_t(kPerThread));
        all.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(all.size(), size_t(2 * kPerThread));
    EXPECT_GE(*all.begin(), 32u);
}

TEST(FlatThreads, TwoMirrorsDrivenAtOnce) {
    krvtest::InstallTree tree;
    krvtest::setEnv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent.so");
    const std::string serials[2] = {"FLATTHREAD1", "FLATTHREAD2"};
    const uint32_t sizes[2] = {140, 1024};
    DM_STRUCT dms[2];
    for (int m = 0; m < 2; ++m) {
        krvtest::writeProfile(tree.profiles() + "/" + serials[m] + ".dm", krvtest::dummyProfile(sizes[m]));
        dms[m] = freshRecord();
        ASSERT_EQ(FLAT(SetProfilesPath, fnSetProfilesPath)(&dms[m], tree.profiles().c_str()), 0);
        ASSERT_EQ(FLAT(OpenDM, fnOpenDM)(&dms[m], serials[m].c_str()), 0);
    }
    int failures[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int m = 0; m < 2; ++m) {
        threads.emplace_back([&, m] {
            const int32_t n = static_cast<int32_t>(sizes[m]);
            std::vector<double> frame(n), back(n);
            for (int round = 0; round < 200; ++round) {
                for (int32_t a = 0; a < n; ++a) frame[a] = ((a + round + m) % 100) / 99.0;
                if (FLAT(SendData, fnSendData)(&dms[m], frame.data(), n) != 0) ++failures[m];
                if (FLAT(GetActuatorData, fnGetActuatorData)(&dms[m], back.data(), n) != 0) ++failures[m];
                for (int32_t a = 0; a < n; ++a) {
                    if (std::fabs(back[a] - frame[a]) > 1.0 / 65535) ++failures[m];
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    for (auto& dm : dms) EXPECT_EQ(FLAT(CloseDM, fnCloseDM)(&dm), 0);
}

}  // namespace
