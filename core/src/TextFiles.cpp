// Whole-file reads, strict decimal numbers and log excerpts for the profile and map readers.
#include "krv/TextFiles.h"

#include "krv/Log.h"

#include <krv/platform/files.h>

#include <cerrno>

namespace MirrorKit {

KRVRC readTextFile(const std::string& path, std::size_t maxBytes, KRVRC tooLarge, const char* what,
                   const log4cxx::LoggerPtr& logger, std::string& text) {
    switch (platform::readRegularFile(path, maxBytes, text)) {
        case 0: return NO_ERR;
        case ENOENT: return ERR_OPENFILE;
        case EACCES: return ERR_FILE_PERMISSIONS;
        case EINVAL:
            KRV_LOG_ERROR(logger, what << " " << logExcerpt(path) << " is not a regular file.");
            return ERR_OPENFILE;
        case EFBIG:
            KRV_LOG_ERROR(logger, what << " " << logExcerpt(path) << " is larger than " << maxBytes << " bytes.");
            return tooLarge;
        case EAGAIN:
            KRV_LOG_ERROR(logger, what << " " << logExcerpt(path)
                                       << " kept changing while it was read; write it to a new file and rename that"
                                          " over the old one.");
            return tooLarge;
        default:
            KRV_LOG_ERROR(logger, what << " " << logExcerpt(path) << " cannot be read.");
            return ERR_OPENFILE;
    }
}

NumberText readDecimal(const std::string& text, int64_t min, int64_t max, int64_t& out) {
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return NumberText::Empty;
    bool negative = false;
    if (text[i] == '-' && min < 0) {
        negative = true;
        ++i;
    }
    const size_t digits = i;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        // Fields hold 32-bit values: anything past this is out of range whatever follows.
        if (magnitude > (uint64_t{1} << 40)) overflow = true;
    }
    if (i == digits) return NumberText::NotANumber;
    if (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') return NumberText::NotANumber;
    if (overflow) return NumberText::OutOfRange;
    const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (value < min || value > max) return NumberText::OutOfRange;
    out = value;
    return NumberText::Ok;
}

std::string logExcerpt(const std::string& text, std::size_t maxBytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    const std::size_t shown = text.size() < maxBytes ? text.size() : maxBytes;
    out.reserve(shown + 32);
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

}  // namespace MirrorKit
