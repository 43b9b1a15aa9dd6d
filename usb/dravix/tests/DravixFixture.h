// Test fixture: a private registry store with Dravix registered, emulated units, and the server object.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "krv/dravix/IHostDrv.h"
#include "krv/emu/UsbUnits.h"

namespace DravixTests {

class DravixTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The server module as built.
    static std::string modulePath();
    // CoCreateInstance of CHostDrv; fails the test when it cannot be created.
    IHostDrv* create();
    void release();

    LONG getStatus(LONG slot, LONG item);
    LONG setControl(LONG slot, LONG code);
    LONG step(LONG slot, std::vector<uint8_t> frame);
    LONG stream(LONG slot, std::vector<uint8_t> frame);
    // A frame of n bytes whose bytes count up from seed.
    static std::vector<uint8_t> frame(size_t n, uint8_t seed);

    MirrorKit::emu::UsbUnitBed bed;
    IHostDrv* host = nullptr;
    std::string dir;
};

}  // namespace DravixTests
