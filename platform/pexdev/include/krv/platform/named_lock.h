// System-wide named lock: one recursive mutex shared by every process that opens the same name.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace MirrorKit::platform {

class NamedLock {
public:
    enum class Wait { Acquired, TimedOut, Abandoned, Failed };

    // Creates the lock, or opens it when another process made it first. Null on failure (*error = errno).
    // A new lock is built completely before it gets its name, so a creator that dies part way leaves no
    // half-made lock behind. Its mode is kMode, read and write for its user and group and nothing for other
    // users, and its group is sharedGroup() whoever creates it (root included), so every user of that group
    // can open it. A creator that may not give it that group (not a member), or a system without the group,
    // leaves it the creator's own group.
    // A name may start with one '/' (the POSIX spelling of the same name); any other '/' is refused (EINVAL).
    static std::unique_ptr<NamedLock> open(const std::string& name, int* error = nullptr);
    static constexpr unsigned kMode = 0660;
    // For tests: called in the creating process while a new lock is built, before it is given its name.
    static void setCreationHook(void (*hook)());
    // The group that shares the lock (the kit's device group, "plugdev" unless the build chose another).
    static std::string sharedGroup();
    // For tests: another group for locks created from now on.
    static void setSharedGroup(const std::string& group);
    // Removes the name from the system; processes that have it open keep their lock.
    static bool remove(const std::string& name);
    // The name the card access library uses: $PEXLINK_LOCK_NAME when set and not empty, else "PexComMutex".
    static std::string defaultName();

    // What a user meets when opening the lock `name`, for messages that say what is wrong and what to do.
    struct Info {
        std::string name;      // as asked for
        std::string path;      // the file that holds it, empty for a name that is refused
        bool exists = false;
        uid_t owner = 0;
        gid_t group = 0;
        unsigned mode = 0;     // permission bits
        std::string ownerName, groupName;
        int openError = 0;     // 0 when this process can open it for reading and writing (or create it)
        bool inSharedGroup = false;  // its group is sharedGroup()
    };
    // Looks without creating anything: stat and an open for reading and writing of an existing lock.
    static Info inspect(const std::string& name);
    // One line: the lock's name, file, owner and mode, e.g. "PexComMutex (/dev/shm/PexComMutex, owner
    // root:plugdev, mode 0660)".
    static std::string describe(const Info& info);
    // Why this process cannot open the lock (info.openError) and what to do about it; empty when it can.
    static std::string explainFailure(const Info& info);

    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Waits at most timeoutMs. Abandoned: the last holder ended while holding it; the caller now holds it and
    // the lock has been made consistent again, so it stays usable.
    Wait acquire(uint32_t timeoutMs);
    // False when the calling thread does not hold the lock.
    bool release();

    struct Shared;

private:
    explicit NamedLock(Shared* shared);
    Shared* shared_;
};

}  // namespace MirrorKit::platform
