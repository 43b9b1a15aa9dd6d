// Binary file stream with a byte-swap flag, the MAT reader's only access to the file.
#include <krv/MatFileReader.h>

#include <algorithm>

namespace MirrorKit {

bool EFStream::open(const std::string& path, std::ios::openmode mode)
{
    close();
    file_.open(path, mode | std::ios::binary);
    size_ = 0;
    if (file_.is_open() && (mode & std::ios::in)) {
        file_.seekg(0, std::ios::end);
        const auto end = file_.tellg();
        file_.seekg(0, std::ios::beg);
        if (end > 0)
            size_ = static_cast<std::uint64_t>(end);
    }
    return file_.good();
}

void EFStream::close()
{
    if (file_.is_open())
        file_.close();
    file_.clear();
    size_ = 0;
}

bool EFStream::atEnd()
{
    return file_.peek() == std::char_traits<char>::eof();
}

void EFStream::read(void* buffer, std::size_t n, std::size_t width)
{
    auto* bytes = static_cast<char*>(buffer);
    file_.read(bytes, static_cast<std::streamsize>(n));
    if (static_cast<std::size_t>(file_.gcount()) != n)
        throw MatFileError("unexpected end of file");
    if (swap_ && width > 1)
        for (std::size_t i = 0; i + width <= n; i += width)
            std::reverse(bytes + i, bytes + i + width);
}

void EFStream::skip(std::uint64_t n)
{
    if (n == 0)
        return;
    file_.seekg(static_cast<std::streamoff>(n), std::ios::cur);
    if (!file_.good())
        throw MatFileError("unexpected end of file");
}

std::uint64_t EFStream::tell()
{
    const auto pos = file_.tellg();
    return pos < 0 ? 0 : static_cast<std::uint64_t>(pos);
}

}  // namespace MirrorKit
