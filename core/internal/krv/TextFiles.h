// Reading the text files that describe a mirror (profiles, maps): whole-file reads that never block, numbers
// read strictly, and file text cut for the log.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <log4cxx/logger.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace MirrorKit {

// Reads the regular file at path into text in one go (what: "Profile", "Map file", for the log). NO_ERR;
// ERR_OPENFILE when it is missing or is not a regular file (a FIFO is refused, not waited on);
// ERR_FILE_PERMISSIONS; tooLarge for a file above maxBytes or one that kept changing while it was read (a
// writer rewriting it in place). Every failure but a missing file or denied access is logged on logger.
KRVRC readTextFile(const std::string& path, std::size_t maxBytes, KRVRC tooLarge, const char* what,
                   const log4cxx::LoggerPtr& logger, std::string& text);

// Result of reading one decimal number from the start of a field.
enum class NumberText { Ok, Empty, NotANumber, OutOfRange };

// Reads the decimal number at the start of text: blanks before it are skipped, a '-' is allowed only when min is
// negative, and the number ends at the end of the text or at a blank (what follows a blank is ignored). So "17",
// " 17" and "17 remark" read as 17; "abc", "0x10", "7.9", "12abc" and "+3" are not numbers.
NumberText readDecimal(const std::string& text, int64_t min, int64_t max, int64_t& out);

// Text taken from a file, cut for a log line: at most maxBytes of it, then a note of its whole length, with
// control bytes shown as \xNN so that one event stays one line.
std::string logExcerpt(const std::string& text, std::size_t maxBytes = 160);

}  // namespace MirrorKit
