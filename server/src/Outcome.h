// What a session operation answers: the kit's result code and a message, or a malformed request.
#pragma once

#include <KRV.h>

#include <string>

namespace MirrorKit::Server {

struct Outcome {
    KRVRC code = NO_ERR;
    std::string message;
    // The request itself was unusable (sizes, numbers, names, client id): the service answers it with a gRPC
    // status instead of a result code.
    bool malformed = false;

    bool ok() const { return !malformed && code == NO_ERR; }
};

inline Outcome success() { return {NO_ERR, KRVErrorString(NO_ERR), false}; }

// The kit's text for the code, then what exactly was refused.
inline Outcome refuse(KRVRC code, const std::string& detail = {}) {
    std::string text = KRVErrorString(code);
    if (!detail.empty()) text += " " + detail;
    return {code, std::move(text), false};
}

inline Outcome malformed(std::string detail) { return {ERR_BADARG, std::move(detail), true}; }

}  // namespace MirrorKit::Server
