// Reading the files a user hands the kit (profiles, maps, calibration tables, the registry store) without
// blocking and without taking more than the caller allows.
#pragma once

#include <cstddef>
#include <string>

namespace MirrorKit::platform {

// Opens path for reading and returns the descriptor, or -1 with errno set. Only a regular file opens: a FIFO,
// a device or a directory gives EINVAL, and the open itself never waits for a writer or a device.
int openRegularFile(const std::string& path);

// Reads the whole regular file into out with one descriptor. Results are errno numbers: 0; ENOENT, EACCES;
// EINVAL for a path that is not a regular file; EFBIG for a file of more than maxBytes; EAGAIN when the file
// kept changing while it was read (a writer rewriting it in place), so that what was read may be part old,
// part new; EIO for other failures. On failure out is left empty.
int readRegularFile(const std::string& path, std::size_t maxBytes, std::string& out);

}  // namespace MirrorKit::platform
