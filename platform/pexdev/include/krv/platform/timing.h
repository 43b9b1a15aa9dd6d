// Monotonic performance counter and one-shot timers run on a process-wide timer thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace MirrorKit::platform {

// Counts of the monotonic clock, and counts per second.
int64_t perfCounter();
int64_t perfFrequency();

// A one-shot timer owned by the caller (usually on its stack). The callback runs once on the timer thread when
// the due time has passed, unless the timer was cancelled first.
class TimerQueue;

class OneShotTimer {
public:
    using Callback = void (*)(void* context);
    OneShotTimer() = default;
    ~OneShotTimer() { cancel(); }
    OneShotTimer(const OneShotTimer&) = delete;
    OneShotTimer& operator=(const OneShotTimer&) = delete;

    // False when the timer thread cannot be started (or the timer is already started).
    bool start(uint32_t dueMs, Callback callback, void* context);
    // Stops the timer; if its callback is running, waits for it to finish. After cancel() returns the callback
    // never runs again, so its context may go away.
    void cancel();

private:
    friend class TimerQueue;
    int64_t due = 0;  // perfCounter() value
    Callback callback = nullptr;
    void* context = nullptr;
    std::atomic<int> state{0};  // 0 idle, 1 pending, 2 running, 3 done
    OneShotTimer* next = nullptr;
};

}  // namespace MirrorKit::platform
