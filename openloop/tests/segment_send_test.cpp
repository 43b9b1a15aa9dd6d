// Segment sends reach the back ends' frame exports: this program stands in for both and records the calls.
#include <KRV.h>
#include <KRV_OpenLoop.h>

#include "OpenLoopTestSupport.h"
#include "krv/DMState.h"

#include "support/KrvTestSupport.h"

#include "SerialOpenCV.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {

struct Sent {
    int calls = 0;
    std::vector<uint32_t> frame;
    const uint32_t* map = nullptr;
};
Sent usbSent, pcieSent;

}  // namespace

// Exported from the executable, these take precedence over the back-end libraries for every caller.
extern "C" __attribute__((visibility("default"))) KRVRC KRV_USBSetArray(DM* dm, const uint32_t* values,
                                                                        const uint32_t* map) {
    ++usbSent.calls;
    usbSent.frame.assign(values, values + dm->ActCount);
    usbSent.map = map;
    return ERR_USB_WRITE;
}

extern "C" __attribute__((visibility("default"))) KRVRC KRV_PCIeSetArray(DM* dm, const uint32_t* values) {
    ++pcieSent.calls;
    pcieSent.frame.assign(values, values + dm->ActCount);
    return ERR_PCIE_BURST;
}

TEST(SegmentSend, BufferedSegmentsGoOutWithTheNextSend) {
    const std::string source = oltest::table("hex_111.mat");
    OLTEST_REQUIRE_FILE(source);
    krvtest::InstallTree tree;
    std::filesystem::copy_file(source, tree.calibrations() + "/hex_111.mat");
    krvtest::writeProfile(tree.profiles() + "/SEGSEND0001.dm", krvtest::dummyProfile(111, "calibration=hex_111.mat"));
    DM dm = tree.record();
    ASSERT_EQ(KRVOpen(&dm, "SEGSEND0001"), NO_ERR);
    ASSERT_NE(dm.State->Calibration, nullptr);

    // The record is opened on the dummy driver and then presented as a USB, then a PCIe mirror.
    dm.DriverType = KRV_USB;
    ASSERT_EQ(KRVSetSegment(&dm, 1, -700.0, 0.0, 0.0, true, false), NO_ERR);
    EXPECT_EQ(usbSent.calls, 0);
    EXPECT_EQ(KRVSetSegment(&dm, 4, -500.0, 1e-4, 0.0, true, true), ERR_USB_WRITE);
    ASSERT_EQ(usbSent.calls, 1);
    EXPECT_EQ(usbSent.map, dm.State->Map.data());
    EXPECT_EQ(usbSent.frame, dm.State->AppliedFrame);
    EXPECT_NE(usbSent.frame[3], 0u);   // segment 1, buffered earlier
    EXPECT_NE(usbSent.frame[12], 0u);  // segment 4
    EXPECT_EQ(usbSent.frame[0], 0u);

    dm.DriverType = KRV_PCIE;
    EXPECT_EQ(KRVSetSegment(&dm, 6, -650.0, 0.0, 0.0, true, true), ERR_PCIE_BURST);
    ASSERT_EQ(pcieSent.calls, 1);
    EXPECT_EQ(pcieSent.frame, dm.State->AppliedFrame);
    EXPECT_NE(pcieSent.frame[18], 0u);
    EXPECT_EQ(usbSent.calls, 1);

    dm.DriverType = static_cast<DRVTYPE>(9);
    EXPECT_EQ(KRVSetSegment(&dm, 6, -650.0, 0.0, 0.0, true, true), ERR_INVALID_DRIVER_TYPE);
    EXPECT_EQ(KRVSetSegment(&dm, 6, -650.0, 0.0, 0.0, true, false), NO_ERR);

    dm.DriverType = KRV_DUMMY_DRV;
    EXPECT_EQ(KRVSetSegment(&dm, 6, -650.0, 0.0, 0.0, true, true), NO_ERR);
    EXPECT_EQ(pcieSent.calls, 1);
    EXPECT_EQ(KRVClose(&dm), NO_ERR);
}
