// System-wide named lock: one recursive mutex shared by every process that opens the same name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace MirrorKit::platform {

class NamedLock {
public:
    enum class Wait { Acquired, TimedOut, Abandoned, Failed };

    // Creates the lock, or opens it when another process made it first. Null on failure (*error = errno).
    // A new lock is built completely before it gets its name, so a creator that dies part way leaves no
    // half-made lock behind. Its mode is kMode: read and write for the creator's user and group, nothing for
    // other users (processes sharing the cards run as one user or share that group).
    static std::unique_ptr<NamedLock> open(const std::string& name, int* error = nullptr);
    static constexpr unsigned kMode = 0660;
    // For tests: called in the creating process while a new lock is built, before it is given its name.
    static void setCreationHook(void (*hook)());
    // Removes the name from the system; processes that have it open keep their lock.
    static bool remove(const std::string& name);
    // The name the card access library uses: $PEXLINK_LOCK_NAME when set and not empty, else "PexComMutex".
    static std::string defaultName();

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
