// The worker that follows a watched mirror's frames: see framewatcher.h.
#include "framewatcher.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

namespace {
// How long the worker waits for a frame before it looks whether it should stop.
constexpr unsigned kPollMs = 100;
}  // namespace

FrameWatcher::FrameWatcher(MirrorLink& link, QObject* parent) : QObject(parent), link_(link) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("no pipe for the frame watcher");
    notifier_ = new QSocketNotifier(wake_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &FrameWatcher::deliver);
}

FrameWatcher::~FrameWatcher() {
    stop();
    delete notifier_;
    close(wake_[0]);
    close(wake_[1]);
}

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
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (rc == NO_ERR) {
                std::swap(latest_, next);
                fresh_ = true;
            } else {
                over_ = true;
                overCode_ = rc;
                overMessage_ = message.toStdString();
            }
            wake = !signalled_;
            signalled_ = true;
        }
        if (wake) {
            const char byte = 1;
            // The pipe holds far more than the one byte that can be on its way.
            if (write(wake_[1], &byte, 1) != 1) {
                std::lock_guard<std::mutex> lock(mutex_);
                signalled_ = false;
            }
        }
        if (rc != NO_ERR) return;
    }
}

void FrameWatcher::deliver() {
    char drained[16];
    while (read(wake_[0], drained, sizeof drained) > 0) {
    }
    WatchedFrame taken;
    bool haveFrame = false, overNow = false;
    KRVRC code = NO_ERR;
    std::string message;
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
    if (overNow) emit ended(code, QString::fromStdString(message));
}
