// Test fixture for pexlink: temporary card directories and a per-process lock name.
#include "pexlink_fixture.h"

#include "krv/platform/named_lock.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace MirrorKit::Test {

const std::string& lockName() {
    static const std::string name = "pexlink-test-" + std::to_string(getpid());
    return name;
}

namespace {
// Switches the library to this process's own lock before any test runs, and removes it afterwards. A child
// started to check the library's own start-up (PEXLINK_TEST_CHILD) keeps what the load did.
class LockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (std::getenv("PEXLINK_TEST_CHILD")) return;
        setenv("PEXLINK_LOCK_NAME", lockName().c_str(), 1);
        PEXCleanUp();
        ASSERT_EQ(PEXInit(), PEX_SUCCESS);
    }
    void TearDown() override {
        if (std::getenv("PEXLINK_TEST_CHILD")) return;
        platform::NamedLock::remove(lockName());
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new LockEnvironment);
}  // namespace

void PexlinkTest::SetUp() {
    // A child process started by a test works on its parent's cards.
    if (const char* inherited = std::getenv("PEXLINK_TEST_CHILD") ? std::getenv("PEXLINK_DEVICE_DIR") : nullptr) {
        dir_ = inherited;
        keep_ = true;
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pexlink-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setenv("PEXLINK_DEVICE_DIR", dir_.c_str(), 1);
}

void PexlinkTest::TearDown() {
    if (keep_) return;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    unsetenv("PEXLINK_DEVICE_DIR");
}

void PexlinkTest::makeCards(int count, uint32_t revision) {
    Emu::CardOptions options;
    options.revision = revision;
    std::string error;
    ASSERT_TRUE(Emu::createCards(dir_, count, options, &error)) << error;
}

std::unique_ptr<Emu::Card> PexlinkTest::card(int n) const {
    std::string error;
    auto c = Emu::Card::open(devicePath(n), &error);
    EXPECT_TRUE(c) << error;
    return c;
}

}  // namespace MirrorKit::Test
