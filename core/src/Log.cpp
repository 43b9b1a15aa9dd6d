// Process-wide logging set-up: console (standard error) and rolling file appenders on the root logger, level on
// "KRV", and the caller's log callback in place of the console.
#include "krv/Log.h"

#include <krv/platform/paths.h>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/rolling/rollingfileappender.h>
#include <log4cxx/simplelayout.h>

#include <unistd.h>

namespace MirrorKit::Log {

using namespace log4cxx;

LoggerPtr get(const char* name) { return Logger::getLogger(name); }
// The kit's loggers are never destroyed: mirrors may still be closed, with log entries, while the process exits.
LoggerPtr api() {
    static const LoggerPtr* logger = new LoggerPtr(get("KRV.API"));
    return *logger;
}
LoggerPtr util() {
    static const LoggerPtr* logger = new LoggerPtr(get("KRV.Util"));
    return *logger;
}
LoggerPtr os() {
    static const LoggerPtr* logger = new LoggerPtr(get("KRV.OS"));
    return *logger;
}

std::string defaultLogFile() {
    const std::string local = platform::environment("LOCALAPPDATA");
    if (!local.empty()) return local + "/Velmira/MirrorKit.log";
    const std::string state = platform::stateDirectory();
    if (state.empty()) return std::string();
    const std::string dir = state + "/Velmira";
    if (!platform::makeDirectories(dir) || ::access(dir.c_str(), W_OK) != 0) return std::string();
    return dir + "/MirrorKit.log";
}

namespace {

LevelPtr levelFor(KRV_LOGLEVEL level) {
    switch (static_cast<int>(level)) {
        case KRV_LOG_ALL: return Level::getAll();
        case KRV_LOG_DEBUG: return Level::getDebug();
        case KRV_LOG_INFO: return Level::getInfo();
        case KRV_LOG_WARN: return Level::getWarn();
        case KRV_LOG_ERROR: return Level::getError();
        case KRV_LOG_FATAL: return Level::getFatal();
        case KRV_LOG_OFF: return Level::getOff();
        default: return LevelPtr();
    }
}

// A file appender on a folder that cannot be written would only report errors on every event; such a
// configuration keeps the console alone.
bool writableTarget(const std::string& file) {
    if (file.empty()) return false;
    std::string dir = platform::parentPath(file);
    if (dir.empty()) dir = ".";
    platform::makeDirectories(dir);
    return ::access(dir.c_str(), W_OK) == 0;
}

AppenderPtr makeFileAppender(const std::string& target) {
    helpers::Pool pool;
    auto file = std::make_shared<rolling::RollingFileAppender>();
    file->setLayout(LayoutPtr(new SimpleLayout()));
    file->setFile(target);
    file->setAppend(true);
    file->setName(LOG4CXX_STR("KRVLOGFILE"));
    file->setMaxFileSize(LOG4CXX_STR("100KB"));
    file->setMaxBackupIndex(5);
    file->setImmediateFlush(true);
    file->activateOptions(pool);
    return file;
}

}  // namespace

// The appenders are found by name: every library of the kit carries its own copy of this file, and the root
// logger they share is the only state they have in common.
const LogString kConsoleName = LOG4CXX_STR("KRVCONSOLE");
const LogString kCallbackName = LOG4CXX_STR("KRVCALLBACK");

void silenceConsole(const LoggerPtr& root, bool silent) {
    auto console = std::dynamic_pointer_cast<AppenderSkeleton>(root->getAppender(kConsoleName));
    if (console) console->setThreshold(silent ? Level::getOff() : Level::getAll());
}

void configure(const std::string& filePath, KRV_LOGLEVEL level, bool force) {
    try {
        const std::string target = filePath.empty() ? defaultLogFile() : filePath;
        LoggerPtr root = Logger::getRootLogger();
        AppenderList appenders = root->getAllAppenders();
        const bool callback = static_cast<bool>(root->getAppender(kCallbackName));
        if (appenders.size() == (callback ? 1u : 0u)) {
            // A library writes nothing into its caller's standard output.
            auto console = std::make_shared<ConsoleAppender>(LayoutPtr(new SimpleLayout()),
                                                             ConsoleAppender::getSystemErr());
            console->setName(kConsoleName);
            root->addAppender(console);
            silenceConsole(root, callback);
            if (writableTarget(target)) root->addAppender(makeFileAppender(target));
            Logger::getLogger("KRV");
            if (!force) return;
        } else if (!force) {
            return;
        } else {
            AppenderPtr appender = root->getAppender(LOG4CXX_STR("KRVLOGFILE"));
            auto file = log4cxx::cast<FileAppender>(appender);
            if (file && file->getFile() != target && writableTarget(target)) {
                helpers::Pool pool;
                file->setFile(target);
                file->activateOptions(pool);
            } else if (!file && writableTarget(target)) {
                // First configured without a usable file: add it now that one is named.
                root->addAppender(makeFileAppender(target));
            }
        }
        if (LevelPtr l = levelFor(level)) Logger::getLogger("KRV")->setLevel(l);
    } catch (...) {
        // Logging set-up never fails the caller.
    }
}

}  // namespace MirrorKit::Log
