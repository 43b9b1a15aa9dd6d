// ShapeDesk's log lines go to the kit's "KRV" logger tree, which the kit sets up (KRVInitLog, KRVConfigureLog).
#pragma once

#include <log4cxx/logger.h>

// Level-tested logging with location; the message is built only when the level is enabled.
#define KRV_LOG_DEBUG(logger, msg) LOG4CXX_DEBUG(logger, msg)
#define KRV_LOG_INFO(logger, msg) LOG4CXX_INFO(logger, msg)
#define KRV_LOG_WARN(logger, msg) LOG4CXX_WARN(logger, msg)
#define KRV_LOG_ERROR(logger, msg) LOG4CXX_ERROR(logger, msg)
