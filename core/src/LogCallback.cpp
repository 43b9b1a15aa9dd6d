// The caller's log callback: an appender on the root logger that hands each event to it. Only KRV4 exports it.
#include "krv/Log.h"

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/helpers/transcoder.h>
#include <log4cxx/spi/loggingevent.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace MirrorKit::Log {

using namespace log4cxx;

namespace {

KRV_LOGLEVEL levelOf(const LevelPtr& level);

// Hands every event that reaches the root logger to the caller's callback. Replacing the callback waits until the
// calls that had begun with the old one have returned, but not for calls begun afterwards, so that threads that
// log without pause cannot hold it up. (log4cxx 1.0 also runs the appenders of a logger one event at a time, under
// a lock of its own; this appender does not count on that.) No lock of this class is held during a call.
class CallbackAppender : public AppenderSkeleton {
public:
    void set(KRVLogCallback callback, void* userdata) {
        std::unique_lock<std::mutex> lock(mutex_);
        callback_ = callback;
        userdata_ = userdata;
        const uint64_t replaced = generation_++;
        idle_.wait(lock, [&] { return running_.empty() || running_.begin()->first > replaced; });
    }
    void doAppend(const spi::LoggingEventPtr& event, helpers::Pool& pool) override { append(event, pool); }
    void close() override {}
    bool requiresLayout() const override { return false; }

protected:
    void append(const spi::LoggingEventPtr& event, helpers::Pool&) override {
        KRVLogCallback callback;
        void* userdata;
        uint64_t generation;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!callback_) return;
            callback = callback_;
            userdata = userdata_;
            generation = generation_;
            ++running_[generation];
        }
        try {
            std::string logger, message;
            helpers::Transcoder::encode(event->getLoggerName(), logger);
            helpers::Transcoder::encode(event->getRenderedMessage(), message);
            callback(levelOf(event->getLevel()), logger.c_str(), message.c_str(), userdata);
        } catch (...) {
            // A message that cannot be built is dropped; the count below must still go down.
        }
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = running_.find(generation);
        if (--it->second == 0) {
            running_.erase(it);
            idle_.notify_all();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    KRVLogCallback callback_ = nullptr;
    void* userdata_ = nullptr;
    uint64_t generation_ = 0;            // of the callback now set
    std::map<uint64_t, int> running_;    // calls in progress, by the generation they began with
};

KRV_LOGLEVEL levelOf(const LevelPtr& level) {
    const int l = level ? level->toInt() : Level::DEBUG_INT;
    if (l >= Level::FATAL_INT) return KRV_LOG_FATAL;
    if (l >= Level::ERROR_INT) return KRV_LOG_ERROR;
    if (l >= Level::WARN_INT) return KRV_LOG_WARN;
    if (l >= Level::INFO_INT) return KRV_LOG_INFO;
    if (l >= Level::DEBUG_INT) return KRV_LOG_DEBUG;
    return KRV_LOG_TRACE;
}

}  // namespace

void setCallback(KRVLogCallback callback, void* userdata) {
    try {
        LoggerPtr root = Logger::getRootLogger();
        auto appender = std::dynamic_pointer_cast<CallbackAppender>(root->getAppender(kCallbackName));
        if (!appender && callback) {
            appender = std::make_shared<CallbackAppender>();
            appender->setName(kCallbackName);
            root->addAppender(appender);
        }
        if (appender) appender->set(callback, userdata);
        silenceConsole(root, callback != nullptr);
    } catch (...) {
        // Logging set-up never fails the caller.
    }
}

}  // namespace MirrorKit::Log
