// Monotonic counter and the process's timer thread, which serves every one-shot timer in deadline order.
#include "krv/platform/timing.h"

#include <pthread.h>
#include <time.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace MirrorKit::platform {

int64_t perfCounter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t perfFrequency() { return 1000000000; }

// One thread for all timers, started with the first one and joined when the library goes away.
class TimerQueue {
public:
    static TimerQueue& instance() {
        static TimerQueue queue;
        return queue;
    }

    TimerQueue() { pthread_atfork(beforeFork, afterForkInParent, afterForkInChild); }

    bool add(OneShotTimer* timer) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                return false;
            }
        }
        timer->state = 1;
        // Kept sorted by due time, so the thread only ever looks at the head.
        OneShotTimer** at = &head_;
        while (*at && (*at)->due <= timer->due) at = &(*at)->next;
        timer->next = *at;
        *at = timer;
        changed_.notify_all();
        return true;
    }

    void cancel(OneShotTimer* timer) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (timer->state == 1) {
            for (OneShotTimer** at = &head_; *at; at = &(*at)->next) {
                if (*at == timer) {
                    *at = timer->next;
                    break;
                }
            }
        }
        // A callback in progress still uses the context: wait it out.
        changed_.wait(lock, [timer] { return timer->state != 2; });
        timer->state = 0;
        timer->next = nullptr;
    }

private:
    // A child starts with the parent's queue but without its thread. The queue is held across the fork so
    // that the child's copy is consistent; the child then starts empty and makes its own thread when needed.
    // (Timers pending in the parent belong to the parent's threads.)
    static void beforeFork() { instance().mutex_.lock(); }
    static void afterForkInParent() { instance().mutex_.unlock(); }
    static void afterForkInChild() {
        TimerQueue& q = instance();
        new (&q.mutex_) std::mutex();
        new (&q.changed_) std::condition_variable();
        // The parent's thread handle means nothing here; it is dropped without a join.
        new (&q.thread_) std::thread();
        q.head_ = nullptr;
        q.stop_ = false;
    }

    ~TimerQueue() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            if (!head_) {
                changed_.wait(lock);
                continue;
            }
            int64_t now = perfCounter();
            if (head_->due > now) {
                changed_.wait_for(lock, std::chrono::nanoseconds(head_->due - now));
                continue;
            }
            OneShotTimer* timer = head_;
            head_ = timer->next;
            timer->state = 2;
            lock.unlock();
            timer->callback(timer->context);
            lock.lock();
            timer->state = 3;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    OneShotTimer* head_ = nullptr;
    bool stop_ = false;
};

bool OneShotTimer::start(uint32_t dueMs, Callback cb, void* ctx) {
    if (state == 1 || state == 2) return false;
    due = perfCounter() + int64_t(dueMs) * 1000000;
    callback = cb;
    context = ctx;
    next = nullptr;
    return TimerQueue::instance().add(this);
}

void OneShotTimer::cancel() {
    if (state == 0) return;
    TimerQueue::instance().cancel(this);
}

}  // namespace MirrorKit::platform
