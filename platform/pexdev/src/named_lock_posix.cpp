// System-wide named lock: a process-shared, robust, recursive mutex in a POSIX shared-memory object.
#include "krv/platform/named_lock.h"

#include "krv/platform/accounts.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>


#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define PEX_LOCK_DEFAULT_NAME "PexComMutex"

namespace MirrorKit::platform {

namespace {
constexpr uint32_t kReady = 0x4B4C434Bu;
constexpr int kInitWaitMs = 2000;

std::string objectName(const std::string& name) { return "/" + name; }

// The name without the one leading '/' that POSIX names may carry; false for a name that cannot be a lock.
bool bareName(const std::string& name, std::string* bare) {
    *bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
    return !bare->empty() && bare->find('/') == std::string::npos && *bare != "." && *bare != "..";
}

// Built on first use: the card access library opens its lock from a load-time constructor, which may run
// before this file's globals are initialised.
std::string& sharedGroupName() {
    static std::string name = accounts::kitGroup();
    return name;
}

void sleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}
}  // namespace

struct NamedLock::Shared {
    std::atomic<uint32_t> ready;  // set by the creator once the mutex is initialised
    uint32_t reserved;
    pthread_mutex_t mutex;
};

NamedLock::NamedLock(Shared* shared) : shared_(shared) {}

NamedLock::~NamedLock() { munmap(shared_, sizeof(Shared)); }

std::string NamedLock::defaultName() {
    const char* name = std::getenv("PEXLINK_LOCK_NAME");
    return name && *name ? name : PEX_LOCK_DEFAULT_NAME;
}

bool NamedLock::remove(const std::string& requested) {
    std::string name;
    return bareName(requested, &name) && shm_unlink(objectName(name).c_str()) == 0;
}

namespace {
// Where glibc keeps POSIX shared-memory objects: shm_open("/name") is this directory's file "name".
constexpr const char* kShmDir = "/dev/shm";
void (*g_creationHook)() = nullptr;

std::string objectPath(const std::string& name) { return std::string(kShmDir) + "/" + name; }

// Opens the published object and waits (briefly) for it to be ready. Objects are published only once their
// mutex is initialised; the wait covers objects made by a creator that published first.
NamedLock::Shared* openExisting(const std::string& object, int* error) {
    int fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || size_t(st.st_size) < sizeof(NamedLock::Shared)) {
        close(fd);
        *error = EINVAL;
        return nullptr;
    }
    void* map = mmap(nullptr, sizeof(NamedLock::Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    *error = errno;
    close(fd);
    if (map == MAP_FAILED) return nullptr;
    auto* shared = static_cast<NamedLock::Shared*>(map);
    for (int waited = 0; shared->ready.load(std::memory_order_acquire) != kReady; ++waited) {
        if (waited >= kInitWaitMs) {
            munmap(map, sizeof(NamedLock::Shared));
            *error = ETIMEDOUT;
            return nullptr;
        }
        sleepMs(1);
    }
    return shared;
}

// Builds a complete lock object without a name and then gives it the name in one step, so that no process
// ever finds the name on an object that is not ready: a creator that dies part way leaves nothing behind.
// Mode 0660 (whatever the umask): the creator's user and group share the lock; other users have no access.
NamedLock::Shared* createPublished(const std::string& name, int* error, bool* lost) {
    *lost = false;
    int fd = ::open(kShmDir, O_TMPFILE | O_RDWR | O_CLOEXEC, NamedLock::kMode);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    auto fail = [&](int code, void* map) {
        if (map) munmap(map, sizeof(NamedLock::Shared));
        close(fd);
        *error = code;
        return static_cast<NamedLock::Shared*>(nullptr);
    };
    // The group first (a change of group may clear mode bits), then the mode. Without the right to give the
    // shared group (a creator outside it) or without that group on the system, the creator's group stays.
    gid_t group = 0;
    if (accounts::groupId(sharedGroupName(), &group) && fchown(fd, uid_t(-1), group) != 0 && errno != EPERM)
        return fail(errno, nullptr);
    if (fchmod(fd, NamedLock::kMode) != 0 || ftruncate(fd, sizeof(NamedLock::Shared)) != 0) return fail(errno, nullptr);
    void* map = mmap(nullptr, sizeof(NamedLock::Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return fail(errno, nullptr);
    auto* shared = static_cast<NamedLock::Shared*>(map);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&shared->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) return fail(rc, map);
    shared->ready.store(kReady, std::memory_order_release);
    if (g_creationHook) g_creationHook();
    // linkat fails with EEXIST when another process published first; that lock is then the one to use.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, objectPath(name).c_str(), AT_SYMLINK_FOLLOW) != 0) {
        *lost = errno == EEXIST;
        return fail(errno, map);
    }
    close(fd);
    return shared;
}
}  // namespace

void NamedLock::setCreationHook(void (*hook)()) { g_creationHook = hook; }

std::string NamedLock::sharedGroup() { return sharedGroupName(); }

void NamedLock::setSharedGroup(const std::string& group) { sharedGroupName() = group; }

std::unique_ptr<NamedLock> NamedLock::open(const std::string& requested, int* error) {
    int code = 0;
    auto fail = [error, &code]() {
        if (error) *error = code;
        return std::unique_ptr<NamedLock>();
    };
    std::string name;
    if (!bareName(requested, &name)) {
        code = EINVAL;
        return fail();
    }
    const std::string object = objectName(name);
    Shared* shared = openExisting(object, &code);
    if (!shared && code == ENOENT) {
        bool lost = false;
        shared = createPublished(name, &code, &lost);
        if (!shared && lost) shared = openExisting(object, &code);
    }
    if (!shared) return fail();
    return std::unique_ptr<NamedLock>(new NamedLock(shared));
}

NamedLock::Wait NamedLock::acquire(uint32_t timeoutMs) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += long(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
#if defined(__SANITIZE_THREAD__)
    // This ThreadSanitizer does not see pthread_mutex_clocklock, so it would take every release for the unlock of
    // a mutex nobody holds. Its builds poll with trylock instead, which it sees, abandoned holders included.
    int rc = pthread_mutex_trylock(&shared_->mutex);
    while (rc == EBUSY) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
            rc = ETIMEDOUT;
            break;
        }
        usleep(1000);
        rc = pthread_mutex_trylock(&shared_->mutex);
    }
#else
    int rc = pthread_mutex_clocklock(&shared_->mutex, CLOCK_MONOTONIC, &deadline);
#endif
    switch (rc) {
    case 0: return Wait::Acquired;
    case ETIMEDOUT: return Wait::TimedOut;
    case EOWNERDEAD:
        // We hold it now; marking it consistent keeps it usable for everyone after us.
        pthread_mutex_consistent(&shared_->mutex);
        return Wait::Abandoned;
    default: return Wait::Failed;
    }
}

bool NamedLock::release() { return pthread_mutex_unlock(&shared_->mutex) == 0; }

NamedLock::Info NamedLock::inspect(const std::string& requested) {
    Info info;
    info.name = requested;
    std::string name;
    if (!bareName(requested, &name)) {
        info.openError = EINVAL;
        return info;
    }
    info.path = objectPath(name);
    struct stat st {};
    if (::stat(info.path.c_str(), &st) != 0) {
        // Not there yet: the first user creates it, which needs a writable folder.
        info.openError = errno != ENOENT ? errno : ::access(kShmDir, W_OK | X_OK) == 0 ? 0 : errno;
        return info;
    }
    info.exists = true;
    info.owner = st.st_uid;
    info.group = st.st_gid;
    info.mode = unsigned(st.st_mode) & 07777u;
    info.ownerName = accounts::userName(st.st_uid);
    info.groupName = accounts::groupName(st.st_gid);
    gid_t shared = 0;
    info.inSharedGroup = accounts::groupId(sharedGroupName(), &shared) && shared == st.st_gid;
    const int fd = shm_open(objectName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        info.openError = errno;
        return info;
    }
    if (fstat(fd, &st) != 0 || size_t(st.st_size) < sizeof(Shared)) info.openError = EINVAL;
    ::close(fd);
    return info;
}

std::string NamedLock::describe(const Info& info) {
    if (info.path.empty()) return "'" + info.name + "' (not a valid lock name)";
    if (!info.exists) return info.name + " (" + info.path + ", not made yet)";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", info.mode);
    return info.name + " (" + info.path + ", owner " + info.ownerName + ":" + info.groupName + ", mode " + mode + ")";
}

std::string NamedLock::explainFailure(const Info& info) {
    if (info.openError == 0) return std::string();
    if (info.path.empty())
        return "the PCIe transfer lock name '" + info.name +
               "' (PEXLINK_LOCK_NAME) is not valid: a lock name is one word without '/' (a single leading '/' is "
               "allowed) -- set PEXLINK_LOCK_NAME to such a name, or unset it to use " PEX_LOCK_DEFAULT_NAME;
    const std::string lock = "the PCIe transfer lock " + describe(info);
    const std::string user = accounts::userName(geteuid());
    const std::string removeIt = "when no program is using the cards, run: sudo rm " + info.path +
                                 " (the next program makes it again)";
    if (!info.exists)
        return lock + " cannot be created by user " + user + ": " + std::strerror(info.openError) + " -- check that " +
               kShmDir + " is writable by everyone (mode 1777)";
    if (info.openError == EINVAL) return lock + " is not a lock of this kit (wrong size) -- " + removeIt;
    if (info.openError == ETIMEDOUT) return lock + " was never finished by the process that made it -- " + removeIt;
    if (info.openError != EACCES && info.openError != EPERM)
        return lock + " cannot be opened by user " + user + ": " + std::strerror(info.openError);
    return lock + " cannot be opened by user " + user + " (permission denied) -- " +
           accounts::accessAdvice(info.path, info.owner, info.group, info.mode, 0060u, sharedGroupName());
}

}  // namespace MirrorKit::platform
