// Platform stand-ins of the card access library: named lock, one-shot timers, device I/O and providers.
#include "krv/platform/device_io.h"
#include "krv/platform/named_lock.h"
#include "krv/platform/timing.h"

#include "krv/emu/pexcard.h"

#include <pexlink.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace MirrorKit::platform {
namespace {

using namespace std::chrono_literals;

std::string uniqueName(const char* what) { return std::string("pexdev-test-") + what + "-" + std::to_string(getpid()); }

TEST(NamedLockTest, OneNameIsOneRecursiveLock) {
    const std::string name = uniqueName("lock");
    NamedLock::remove(name);
    auto first = NamedLock::open(name);
    auto second = NamedLock::open(name);  // opens what the first made
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->acquire(100), NamedLock::Wait::Acquired);
    ASSERT_EQ(second->acquire(100), NamedLock::Wait::Acquired);  // same thread: recursive
    auto other = std::async(std::launch::async, [&] { return second->acquire(50); });
    EXPECT_EQ(other.get(), NamedLock::Wait::TimedOut);
    EXPECT_TRUE(first->release());
    EXPECT_TRUE(first->release());
    EXPECT_FALSE(first->release());  // not held any more
    auto later = std::async(std::launch::async, [&] {
        auto r = second->acquire(50);
        if (r == NamedLock::Wait::Acquired) second->release();
        return r;
    });
    EXPECT_EQ(later.get(), NamedLock::Wait::Acquired);
    EXPECT_TRUE(NamedLock::remove(name));
    EXPECT_FALSE(NamedLock::remove(name));
}

TEST(NamedLockTest, AbandonedLockIsRecoveredByTheNextWaiter) {
    const std::string name = uniqueName("abandon");
    auto lock = NamedLock::open(name);
    ASSERT_TRUE(lock);
    std::thread([&] { ASSERT_EQ(lock->acquire(100), NamedLock::Wait::Acquired); }).join();
    EXPECT_EQ(lock->acquire(100), NamedLock::Wait::Abandoned);
    EXPECT_TRUE(lock->release());
    EXPECT_EQ(lock->acquire(100), NamedLock::Wait::Acquired);
    EXPECT_TRUE(lock->release());
    NamedLock::remove(name);
}

void killSelf() { ::kill(::getpid(), SIGKILL); }

// A creator killed while it builds the lock leaves nothing that holds later users up, and the lock is made
// for the user and group of its creator only.
TEST(NamedLockTest, CreatorKilledPartWayLeavesTheNameUsable) {
    const std::string name = uniqueName("killed");
    NamedLock::remove(name);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NamedLock::setCreationHook(killSelf);
        NamedLock::open(name);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    const auto start = std::chrono::steady_clock::now();
    int error = 0;
    auto lock = NamedLock::open(name, &error);
    ASSERT_TRUE(lock) << std::strerror(error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(lock->acquire(100), NamedLock::Wait::Acquired);
    EXPECT_TRUE(lock->release());
    struct stat st {};
    ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_TRUE(NamedLock::remove(name));
}

TEST(NamedLockTest, NamesComeFromTheEnvironment) {
    unsetenv("PEXLINK_LOCK_NAME");
    EXPECT_EQ(NamedLock::defaultName(), "PexComMutex");
    setenv("PEXLINK_LOCK_NAME", "", 1);
    EXPECT_EQ(NamedLock::defaultName(), "PexComMutex");
    setenv("PEXLINK_LOCK_NAME", "mine", 1);
    EXPECT_EQ(NamedLock::defaultName(), "mine");
    unsetenv("PEXLINK_LOCK_NAME");
    int error = 0;
    EXPECT_FALSE(NamedLock::open("a/b", &error));
    EXPECT_EQ(error, EINVAL);
    EXPECT_FALSE(NamedLock::open("", &error));
}

void setFlag(void* flag) { static_cast<std::atomic<int>*>(flag)->fetch_add(1); }

TEST(TimerTest, FiresOnceAfterItsDueTime) {
    std::atomic<int> fired{0};
    OneShotTimer timer;
    const int64_t start = perfCounter();
    ASSERT_TRUE(timer.start(30, setFlag, &fired));
    while (fired.load() == 0 && perfCounter() - start < 5 * perfFrequency()) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(fired.load(), 1);
    EXPECT_GE(perfCounter() - start, 30 * perfFrequency() / 1000);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fired.load(), 1);
    timer.cancel();
    // A finished timer can be started again.
    ASSERT_TRUE(timer.start(0, setFlag, &fired));
    while (fired.load() == 1 && perfCounter() - start < 5 * perfFrequency()) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(fired.load(), 2);
}

TEST(TimerTest, CancelledTimerNeverFires) {
    std::atomic<int> fired{0};
    {
        OneShotTimer late, early;
        ASSERT_TRUE(late.start(200, setFlag, &fired));
        ASSERT_TRUE(early.start(100, setFlag, &fired));
        late.cancel();
        early.cancel();
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(fired.load(), 0);
}

struct SlowContext {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
};

void slowCallback(void* context) {
    auto* c = static_cast<SlowContext*>(context);
    c->entered = true;
    std::this_thread::sleep_for(100ms);
    c->finished = true;
}

TEST(TimerTest, CancelWaitsForARunningCallback) {
    SlowContext context;
    OneShotTimer timer;
    ASSERT_TRUE(timer.start(0, slowCallback, &context));
    while (!context.entered.load()) std::this_thread::sleep_for(1ms);
    timer.cancel();
    EXPECT_TRUE(context.finished.load());
}

// The timer thread of the parent does not exist in a child: the child's timers need one of their own.
TEST(TimerTest, FiresInAChildAfterFork) {
    std::atomic<int> parentFlag{0};
    OneShotTimer parentTimer;
    ASSERT_TRUE(parentTimer.start(1, setFlag, &parentFlag));  // the timer thread is running now
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::atomic<int> flag{0};
        OneShotTimer timer;
        if (!timer.start(10, setFlag, &flag)) _exit(2);
        for (int i = 0; i < 2000 && flag.load() == 0; ++i) std::this_thread::sleep_for(1ms);
        _exit(flag.load() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(TimerTest, CounterIsMonotonic) {
    EXPECT_EQ(perfFrequency(), 1000000000);
    int64_t a = perfCounter();
    std::this_thread::sleep_for(2ms);
    int64_t b = perfCounter();
    EXPECT_GE(b - a, 2000000);
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pexdev-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        setenv("PEXLINK_DEVICE_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        unsetenv("PEXLINK_DEVICE_DIR");
    }
    uint32_t readRevision(const char* name, uint32_t* status) {
        DeviceHandle handle;
        uint32_t error = 0;
        if (!deviceOpen(name, &handle, &error)) return ~0u;
        uint32_t value = 0, returned = 0;
        PexRequest request{0, 0, uint64_t(uintptr_t(&value)), 1, PEX_CMD_READ};
        PexReply reply{};
        EXPECT_TRUE(deviceControl(handle, IOCTL_PEX_TRANSFER, &request, sizeof request, &reply, sizeof reply,
                                  &returned, &error));
        deviceClose(&handle);
        EXPECT_EQ(handle.fd, -1);
        *status = reply.Status;
        return value;
    }
    std::string dir_;
};

TEST_F(DeviceTest, DirectoryComesFromTheEnvironment) {
    EXPECT_EQ(std::string(deviceDirectory()), dir_);
    unsetenv("PEXLINK_DEVICE_DIR");
    EXPECT_EQ(std::string(deviceDirectory()), "/dev");
}

TEST_F(DeviceTest, CardImagesAreServedByTheLibraryLoadedForThem) {
    std::ofstream(dir_ + "/PEXIO1") << "plain file";
    DeviceHandle handle;
    uint32_t error = 0;
    EXPECT_FALSE(deviceOpen("PEXIO1", &handle, &error));
    std::string message = "unset";
    EXPECT_TRUE(cardImageProviderLoaded(&message)) << message;
    EXPECT_EQ(message, "");
    void* library = dlopen(kCardImageLibrary, RTLD_LAZY | RTLD_NOLOAD);  // loaded by the open above
    ASSERT_NE(library, nullptr);
    dlclose(library);
}

TEST_F(DeviceTest, OpensOnlyCardImages) {
    DeviceHandle handle;
    uint32_t error = 0;
    EXPECT_FALSE(deviceOpen("PEXIO1", &handle, &error));
    EXPECT_EQ(error, uint32_t(ENOENT));
    std::ofstream(dir_ + "/PEXIO1") << "plain file";
    EXPECT_FALSE(deviceOpen("PEXIO1", &handle, &error));
    EXPECT_EQ(error, uint32_t(ENODEV));
    EXPECT_EQ(handle.fd, -1);

    Emu::CardOptions options;
    options.revision = 0x20000777u;
    ASSERT_TRUE(Emu::createCardImage(dir_ + "/PEXIO1", options));
    uint32_t status = 1;
    EXPECT_EQ(readRevision("PEXIO1", &status), 0x20000777u);
    EXPECT_EQ(status, 0u);

    // A new image under the same name is a new card, even though the old one is still mapped.
    options.revision = 0x20000888u;
    ASSERT_TRUE(Emu::createCardImage(dir_ + "/PEXIO1", options));
    EXPECT_EQ(readRevision("PEXIO1", &status), 0x20000888u);
    ASSERT_EQ(unlink((dir_ + "/PEXIO1").c_str()), 0);
    EXPECT_EQ(readRevision("PEXIO1", &status), ~0u);
}

TEST_F(DeviceTest, ManyCardsOutgrowTheMappingCache) {
    Emu::CardOptions options;
    for (int n = 1; n <= 40; ++n) {
        options.revision = 0x20000000u + uint32_t(n);
        ASSERT_TRUE(Emu::createCardImage(Emu::cardDevicePath(dir_, n), options));
    }
    for (int round = 0; round < 2; ++round) {
        for (int n = 1; n <= 40; ++n) {
            uint32_t status = 1;
            std::string name = "PEXIO" + std::to_string(n);
            EXPECT_EQ(readRevision(name.c_str(), &status), 0x20000000u + uint32_t(n));
        }
    }
}

// A provider registered by the program serves its own devices beside the emulated cards.
class FixedProvider : public DeviceProvider {
public:
    bool attach(int, const struct stat& st, void** session) override {
        if (st.st_size != 3) return false;
        *session = this;
        return true;
    }
    bool control(void* session, uint32_t code, const void*, uint32_t, void* out, uint32_t outSize,
                 uint32_t* returned, uint32_t* error) override {
        EXPECT_EQ(session, this);
        if (code != IOCTL_PEX_DRIVER_REV || outSize < 4) {
            *error = EINVAL;
            return false;
        }
        uint32_t rev = 4242;
        std::memcpy(out, &rev, 4);
        *returned = 4;
        return true;
    }
    void detach(void*) override { ++detached; }
    int detached = 0;
};

TEST_F(DeviceTest, RegisteredProvidersServeTheirOwnDevices) {
    static FixedProvider provider;
    registerDeviceProvider(&provider);
    std::ofstream(dir_ + "/PEXIO2") << "abc";
    DeviceHandle handle;
    uint32_t error = 0, revision = 0, returned = 0;
    ASSERT_TRUE(deviceOpen("PEXIO2", &handle, &error));
    EXPECT_TRUE(deviceControl(handle, IOCTL_PEX_DRIVER_REV, nullptr, 0, &revision, 4, &returned, &error));
    EXPECT_EQ(revision, 4242u);
    EXPECT_FALSE(deviceControl(handle, IOCTL_PEX_TRANSFER, nullptr, 0, &revision, 4, &returned, &error));
    EXPECT_EQ(error, uint32_t(EINVAL));
    deviceClose(&handle);
    EXPECT_EQ(provider.detached, 1);
    // Card images still go to the emulator.
    ASSERT_TRUE(Emu::createCardImage(dir_ + "/PEXIO1", Emu::CardOptions{}));
    uint32_t status = 1;
    EXPECT_EQ(readRevision("PEXIO1", &status), Emu::CardOptions{}.revision);
}

}  // namespace
}  // namespace MirrorKit::platform
