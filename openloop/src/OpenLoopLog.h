// The open-loop library's logger and its trace-level macro.
#pragma once

#include "krv/Log.h"

namespace MirrorKit {

inline log4cxx::LoggerPtr openLoopLogger() {
    static const log4cxx::LoggerPtr logger = Log::get("KRV.OpenLoop");
    return logger;
}

}  // namespace MirrorKit

#define KRV_LOG_TRACE(logger, msg) LOG4CXX_TRACE(logger, msg)
