// The open-loop library's logger and its trace-level macro.
#pragma once

#include "krv/Log.h"

namespace MirrorKit {

inline log4cxx::LoggerPtr openLoopLogger() {
    // Never destroyed: a mirror may still be closed, and its calibration deleted, while the process exits.
    static const log4cxx::LoggerPtr* logger = new log4cxx::LoggerPtr(Log::get("KRV.OpenLoop"));
    return *logger;
}

}  // namespace MirrorKit

#define KRV_LOG_TRACE(logger, msg) LOG4CXX_TRACE(logger, msg)
