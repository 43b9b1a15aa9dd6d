// System-wide named lock: a process-shared, robust, recursive mutex in a POSIX shared-memory object.
#include "krv/platform/named_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace MirrorKit::platform {

namespace {
constexpr uint32_t kReady = 0x4B4C434Bu;
constexpr int kInitWaitMs = 2000;

std::string objectName(const std::string& name) { return "/" + name; }

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
    return name && *name ? name : "PexComMutex";
}

bool NamedLock::remove(const std::string& name) { return shm_unlink(objectName(name).c_str()) == 0; }

std::unique_ptr<NamedLock> NamedLock::open(const std::string& name, int* error) {
    auto fail = [error](int code) {
        if (error) *error = code;
        return std::unique_ptr<NamedLock>();
    };
    if (name.empty() || name.find('/') != std::string::npos) return fail(EINVAL);
    const std::string object = objectName(name);
    bool creator = true;
    int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        creator = false;
        fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
    }
    if (fd < 0) return fail(errno);
    if (creator) {
        // Every user's processes share the one lock, whatever their umask.
        fchmod(fd, 0666);
        if (ftruncate(fd, sizeof(Shared)) != 0) {
            int e = errno;
            close(fd);
            shm_unlink(object.c_str());
            return fail(e);
        }
    } else {
        // The creator may still be sizing the object.
        struct stat st {};
        for (int waited = 0; fstat(fd, &st) == 0 && size_t(st.st_size) < sizeof(Shared); ++waited) {
            if (waited >= kInitWaitMs) {
                close(fd);
                return fail(ETIMEDOUT);
            }
            sleepMs(1);
        }
    }
    void* map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int mapError = errno;
    close(fd);
    if (map == MAP_FAILED) return fail(mapError);
    auto* shared = static_cast<Shared*>(map);
    if (creator) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        int rc = pthread_mutex_init(&shared->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        if (rc != 0) {
            munmap(map, sizeof(Shared));
            shm_unlink(object.c_str());
            return fail(rc);
        }
        shared->ready.store(kReady, std::memory_order_release);
    } else {
        for (int waited = 0; shared->ready.load(std::memory_order_acquire) != kReady; ++waited) {
            if (waited >= kInitWaitMs) {
                munmap(map, sizeof(Shared));
                return fail(ETIMEDOUT);
            }
            sleepMs(1);
        }
    }
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
    int rc = pthread_mutex_clocklock(&shared_->mutex, CLOCK_MONOTONIC, &deadline);
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

}  // namespace MirrorKit::platform
