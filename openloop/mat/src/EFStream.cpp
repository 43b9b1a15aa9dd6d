// Binary file stream with a byte-swap flag, the MAT reader's only access to the file.
#include <krv/MatFileReader.h>

#include <krv/platform/files.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace MirrorKit {

bool EFStream::open(const std::string& path, std::ios::openmode mode)
{
    close();
    int fd = -1;
    if (mode & std::ios::in) {
        // Only a regular file: a FIFO or a device in place of a table is refused, never waited on.
        fd = platform::openRegularFile(path);
    } else if (mode & std::ios::out) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
        struct stat st;
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return false;
    file_ = ::fdopen(fd, (mode & std::ios::in) ? "rb" : "wb");
    if (!file_) {
        ::close(fd);
        return false;
    }
    struct stat st;
    if ((mode & std::ios::in) && ::fstat(fd, &st) == 0 && st.st_size > 0)
        size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

void EFStream::close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    size_ = 0;
}

bool EFStream::good() const { return file_ && !std::ferror(file_) && !std::feof(file_); }

bool EFStream::eof() const { return file_ && std::feof(file_); }

bool EFStream::atEnd()
{
    if (!file_)
        return true;
    const int c = std::getc(file_);
    if (c == EOF)
        return true;
    std::ungetc(c, file_);
    return false;
}

void EFStream::read(void* buffer, std::size_t n, std::size_t width)
{
    auto* bytes = static_cast<char*>(buffer);
    if (!file_ || std::fread(bytes, 1, n, file_) != n)
        throw MatFileError("unexpected end of file");
    if (swap_ && width > 1)
        for (std::size_t i = 0; i + width <= n; i += width)
            std::reverse(bytes + i, bytes + i + width);
}

void EFStream::skip(std::uint64_t n)
{
    if (n == 0)
        return;
    const std::uint64_t at = tell();
    if (!file_ || n > size_ - std::min(at, size_) ||
        ::fseeko(file_, static_cast<off_t>(n), SEEK_CUR) != 0)
        throw MatFileError("unexpected end of file");
}

std::uint64_t EFStream::tell()
{
    const off_t pos = file_ ? ::ftello(file_) : -1;
    return pos < 0 ? 0 : static_cast<std::uint64_t>(pos);
}

}  // namespace MirrorKit
