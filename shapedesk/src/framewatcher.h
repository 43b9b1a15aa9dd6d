// Shows a served mirror that another program drives: a worker thread waits for the frames the server applies
// and hands them to the thread that owns the watcher. When frames come faster than that thread takes them, the
// newest wins: nothing piles up. The worker touches no Qt object: it leaves the frame in a slot and wakes the
// owner's event loop through a pipe, whose notifier emits frame() in the owner's thread.
#pragma once

#include "mirrorlink.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QSocketNotifier;

class FrameWatcher : public QObject {
    Q_OBJECT
public:
    // The link must be watching and must outlive the watcher.
    explicit FrameWatcher(MirrorLink& link, QObject* parent = nullptr);
    // Stops the worker and waits for it (a fraction of a second at most).
    ~FrameWatcher() override;

    void start();
    void stop();

signals:
    // In the owner's thread: the newest frame.
    void frame(const std::vector<double>& values, quint64 sequence);
    // In the owner's thread, once: the watch ended (the session closed, the server went away, ...).
    void ended(KRVRC rc, const QString& message);

private:
    void run();
    void deliver();

    MirrorLink& link_;
    // The worker writes a byte when something waits to be taken; the owner's notifier reads it.
    int wake_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    std::thread worker_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    WatchedFrame latest_;   // guarded by mutex_
    bool fresh_ = false;    // latest_ not yet taken
    bool signalled_ = false;  // a wake-up byte is on its way
    bool over_ = false;     // the watch ended: why in overCode_ and overMessage_
    KRVRC overCode_ = NO_ERR;
    std::string overMessage_;
    bool overTold_ = false;
};
