// Keeps exceptions from crossing an exported boundary: they become result codes and one error log entry.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include "krv/Log.h"

#include <exception>
#include <new>

namespace MirrorKit {

// Runs body (returning KRVRC); std::bad_alloc becomes ERR_MALLOC, any other exception onError.
template <typename Body>
KRVRC guarded(const log4cxx::LoggerPtr& logger, const char* where, KRVRC onError, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        try {
            KRV_LOG_ERROR(logger, where << ": out of memory");
        } catch (...) {
        }
        return ERR_MALLOC;
    } catch (const std::exception& e) {
        try {
            KRV_LOG_ERROR(logger, where << ": " << e.what());
        } catch (...) {
        }
        return onError;
    } catch (...) {
        try {
            KRV_LOG_ERROR(logger, where << ": unknown exception");
        } catch (...) {
        }
        return onError;
    }
}

}  // namespace MirrorKit
