// The named lock shared by the users of one computer: the group it is given whoever creates it, the names it
// accepts, and what it tells a user who cannot open it.
#include "krv/platform/accounts.h"
#include "krv/platform/named_lock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <string>

namespace MirrorKit::platform {
namespace {

std::string uniqueName(const char* what) { return std::string("lock-sharing-") + what + "-" + std::to_string(getpid()); }

struct stat statOf(const std::string& name) {
    struct stat st {};
    EXPECT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0) << name;
    return st;
}

// A group this process may give a file other than its own: any group for root, else a supplementary group.
bool otherGroup(std::string* name, gid_t* gid) {
    if (geteuid() == 0) {
        for (const char* candidate : {"nogroup", "daemon", "adm"}) {
            *name = candidate;
            if (accounts::groupId(*name, gid) && *gid != getegid()) return true;
        }
        return false;
    }
    gid_t groups[256];
    const int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i) {
        if (groups[i] == getegid()) continue;
        *gid = groups[i];
        *name = accounts::groupName(groups[i]);
        return true;
    }
    return false;
}

class SharedGroup : public ::testing::Test {
protected:
    void TearDown() override { NamedLock::setSharedGroup(accounts::kitGroup()); }
};

// Whoever creates the lock gives it the shared group and mode 0660, whatever its umask; without that group on
// the system the lock keeps its creator's group.
TEST_F(SharedGroup, NewLockTakesTheSharedGroupAndMode) {
    std::string group;
    gid_t gid = 0;
    const bool canGive = otherGroup(&group, &gid);
    const std::string name = uniqueName("group");
    NamedLock::remove(name);
    if (canGive) NamedLock::setSharedGroup(group);
    const mode_t oldMask = ::umask(0077);
    auto lock = NamedLock::open(name);
    ::umask(oldMask);
    ASSERT_TRUE(lock);
    struct stat st = statOf(name);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, canGive ? gid : getegid()) << group;

    // Opening an existing lock changes nothing of it.
    NamedLock::setSharedGroup(accounts::kitGroup());
    auto again = NamedLock::open(name);
    ASSERT_TRUE(again);
    EXPECT_EQ(statOf(name).st_gid, st.st_gid);
    EXPECT_TRUE(NamedLock::remove(name));

    NamedLock::setSharedGroup("no-such-group-of-the-kit");
    const std::string orphan = uniqueName("nogroup");
    NamedLock::remove(orphan);
    auto fallback = NamedLock::open(orphan);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(statOf(orphan).st_gid, getegid());
    EXPECT_EQ(statOf(orphan).st_mode & 07777, 0660u);
    EXPECT_TRUE(NamedLock::remove(orphan));
}

// "/name" is the POSIX spelling of "name": both open one lock. Other slashes are refused, and the explanation
// names the variable that set the name.
TEST(LockNames, LeadingSlashIsTheSameLockOtherSlashesAreRefused) {
    const std::string name = uniqueName("slash");
    NamedLock::remove(name);
    auto plain = NamedLock::open(name);
    int error = 0;
    auto slashed = NamedLock::open("/" + name, &error);
    ASSERT_TRUE(plain && slashed) << std::strerror(error);
    ASSERT_EQ(plain->acquire(100), NamedLock::Wait::Acquired);
    auto other = std::async(std::launch::async, [&] { return slashed->acquire(50); });
    EXPECT_EQ(other.get(), NamedLock::Wait::TimedOut);
    EXPECT_TRUE(plain->release());
    EXPECT_EQ(NamedLock::inspect("/" + name).path, "/dev/shm/" + name);
    EXPECT_TRUE(NamedLock::remove("/" + name));

    for (const char* bad : {"a/b", "//x", "/", "..", "x/"}) {
        EXPECT_FALSE(NamedLock::open(bad, &error)) << bad;
        EXPECT_EQ(error, EINVAL) << bad;
        const NamedLock::Info info = NamedLock::inspect(bad);
        EXPECT_EQ(info.openError, EINVAL) << bad;
        const std::string why = NamedLock::explainFailure(info);
        EXPECT_NE(why.find("PEXLINK_LOCK_NAME"), std::string::npos) << why;
        EXPECT_NE(why.find(std::string("'") + bad + "'"), std::string::npos) << why;
    }
}

// A file of that name that is not a lock (another program's, or a truncated one) is named with what to do.
TEST(LockNames, ForeignObjectIsExplained) {
    const std::string name = uniqueName("foreign");
    const std::string path = "/dev/shm/" + name;
    const int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
    int error = 0;
    EXPECT_FALSE(NamedLock::open(name, &error));
    EXPECT_EQ(error, EINVAL);
    const NamedLock::Info info = NamedLock::inspect(name);
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.mode, 0600u);
    EXPECT_EQ(info.ownerName, accounts::userName(geteuid()));
    const std::string why = NamedLock::explainFailure(info);
    EXPECT_NE(why.find("not a lock of this kit"), std::string::npos) << why;
    EXPECT_NE(why.find("sudo rm " + path), std::string::npos) << why;
    EXPECT_NE(NamedLock::describe(info).find("mode 0600"), std::string::npos) << NamedLock::describe(info);
    ::unlink(path.c_str());
}

// A lock this process can open is described, and explained as nothing wrong.
TEST(LockNames, OpenableLockIsDescribed) {
    const std::string name = uniqueName("fine");
    NamedLock::remove(name);
    NamedLock::Info info = NamedLock::inspect(name);
    EXPECT_FALSE(info.exists);
    EXPECT_EQ(info.openError, 0);  // anyone may create it
    EXPECT_NE(NamedLock::describe(info).find("not made yet"), std::string::npos);
    auto lock = NamedLock::open(name);
    ASSERT_TRUE(lock);
    info = NamedLock::inspect(name);
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.openError, 0);
    EXPECT_EQ(NamedLock::explainFailure(info), "");
    EXPECT_EQ(NamedLock::describe(info), name + " (/dev/shm/" + name + ", owner " + accounts::userName(geteuid()) +
                                             ":" + accounts::groupName(statOf(name).st_gid) + ", mode 0660)");
    NamedLock::remove(name);
}

}  // namespace
}  // namespace MirrorKit::platform
