// The worker that follows a watched mirror's frames: see framewatcher.h.
#include "framewatcher.h"

namespace {
// How long the worker waits for a frame before it looks whether it should stop.
constexpr unsigned kPollMs = 100;
}  // namespace

FrameWatcher::FrameWatcher(MirrorLink& link, QObject* parent) : QObject(parent), link_(link) {
    connect(this, &FrameWatcher::pending, this, &FrameWatcher::deliver, Qt::QueuedConnection);
}

FrameWatcher::~FrameWatcher() { stop(); }

void FrameWatcher::start() {
    if (worker_.joinable()) return;
    stopping_ = false;
    worker_ = std::thread([this] { run(); });
}

void FrameWatcher::stop() {
    stopping_ = true;
    if (worker_.joinable()) worker_.join();
}

void FrameWatcher::run() {
    WatchedFrame next;
    QString message;
    while (!stopping_) {
        const KRVRC rc = link_.nextFrame(next, kPollMs, message);
        if (rc == ERR_TIMEOUT) continue;
        bool tell = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (rc == NO_ERR) {
                std::swap(latest_, next);
                fresh_ = true;
            } else {
                over_ = true;
                overCode_ = rc;
                overMessage_ = message;
            }
            tell = !signalled_;
            signalled_ = true;
        }
        if (tell) emit pending();
        if (rc != NO_ERR) return;
    }
}

void FrameWatcher::deliver() {
    WatchedFrame taken;
    bool haveFrame = false, overNow = false;
    KRVRC code = NO_ERR;
    QString message;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
        if (fresh_) {
            std::swap(taken, latest_);
            fresh_ = false;
            haveFrame = true;
        }
        if (over_ && !overTold_) {
            overTold_ = true;
            overNow = true;
            code = overCode_;
            message = overMessage_;
        }
    }
    if (haveFrame) emit frame(taken.values, taken.sequence);
    if (overNow) emit ended(code, message);
}
