// The kit's loggers and the process-wide logging configuration.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <log4cxx/logger.h>

#include <string>

namespace MirrorKit::Log {

// Children of "KRV"; "KRV" carries the only level the kit sets.
log4cxx::LoggerPtr api();         // "KRV.API"
log4cxx::LoggerPtr util();        // "KRV.Util"
log4cxx::LoggerPtr os();          // "KRV.OS"
log4cxx::LoggerPtr get(const char* name);  // any other, e.g. "KRV.PCIe"

// Attaches the console and "KRVLOGFILE" appenders on first use; with force, also moves the file appender to
// filePath (empty: the default file) and applies level. Never throws.
void configure(const std::string& filePath, KRV_LOGLEVEL level, bool force);

// Appender names on the root logger: the console, and the callback's appender while one was ever set.
extern const log4cxx::LogString kConsoleName;
extern const log4cxx::LogString kCallbackName;

// Mutes the console appender (a callback takes its place) or lets it write again.
void silenceConsole(const log4cxx::LoggerPtr& root, bool silent);

// Sends every event of the root logger to callback instead of the console (null: back to the console). Returns
// once no call of the previous callback runs. Never throws. Compiled into KRV4 only.
void setCallback(KRVLogCallback callback, void* userdata);

// The default log file: $LOCALAPPDATA/Velmira/MirrorKit.log, else the XDG state directory; empty when
// neither can be written (console only).
std::string defaultLogFile();

}  // namespace MirrorKit::Log

// Level-tested logging with location; the message is built only when the level is enabled.
#define KRV_LOG_DEBUG(logger, msg) LOG4CXX_DEBUG(logger, msg)
#define KRV_LOG_INFO(logger, msg) LOG4CXX_INFO(logger, msg)
#define KRV_LOG_WARN(logger, msg) LOG4CXX_WARN(logger, msg)
#define KRV_LOG_ERROR(logger, msg) LOG4CXX_ERROR(logger, msg)
