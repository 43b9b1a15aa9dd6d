// Shows a served mirror that another program drives: a worker thread waits for the frames the server applies
// and hands them to the thread that owns the watcher. When frames come faster than that thread takes them, the
// newest wins: nothing piles up.
#pragma once

#include "mirrorlink.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

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
    // From the worker: something is waiting to be taken.
    void pending();

private:
    void run();
    void deliver();

    MirrorLink& link_;
    std::thread worker_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    WatchedFrame latest_;   // guarded by mutex_
    bool fresh_ = false;    // latest_ not yet taken
    bool signalled_ = false;  // a pending() is on its way
    bool over_ = false;     // the watch ended: why in overCode_ and overMessage_
    KRVRC overCode_ = NO_ERR;
    QString overMessage_;
    bool overTold_ = false;
};
