// Test fixture for pexlink: a temporary device directory of emulated cards and a lock of the test's own.
#pragma once

#include <pexlink.h>

#include "krv/emu/pexcard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace MirrorKit::Test {

// The lock name this test process uses (unique per process, so parallel runs never meet).
const std::string& lockName();

class PexlinkTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes cards 1..count with one revision.
    void makeCards(int count, uint32_t revision = 0x20000600u);
    std::unique_ptr<Emu::Card> card(int n) const;
    std::string devicePath(int n) const { return Emu::cardDevicePath(dir_, n); }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    bool keep_ = false;
};

}  // namespace MirrorKit::Test
