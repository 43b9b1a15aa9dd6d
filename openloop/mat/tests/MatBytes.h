// Builds small level-5 MAT files byte by byte, so that tests can damage them precisely.
#pragma once

#include <zlib.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace MatBytes {

using Bytes = std::vector<unsigned char>;

inline void put32(Bytes& b, std::uint32_t v, bool big = false)
{
    for (int k = 0; k < 4; ++k)
        b.push_back(static_cast<unsigned char>(v >> (big ? 24 - 8 * k : 8 * k)));
}

inline Bytes header(const char* indicator = "IM", std::uint16_t version = 0x0100)
{
    Bytes b(128, ' ');
    std::memset(b.data() + 116, 0, 8);
    const bool big = std::string(indicator) == "MI";
    b[124] = static_cast<unsigned char>(big ? version >> 8 : version & 0xFF);
    b[125] = static_cast<unsigned char>(big ? version & 0xFF : version >> 8);
    b[126] = static_cast<unsigned char>(indicator[0]);
    b[127] = static_cast<unsigned char>(indicator[1]);
    return b;
}

inline Bytes tag(std::uint32_t type, std::uint32_t size)
{
    Bytes b;
    put32(b, type);
    put32(b, size);
    return b;
}

// Tag, data and padding to a multiple of 8.
inline Bytes element(std::uint32_t type, const Bytes& data)
{
    Bytes b = tag(type, static_cast<std::uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    b.resize(b.size() + ((8 - data.size() % 8) % 8), 0);
    return b;
}

template <class T>
inline Bytes raw(const std::vector<T>& v)
{
    Bytes b(v.size() * sizeof(T));
    if (!v.empty())
        std::memcpy(b.data(), v.data(), b.size());
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const auto& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

// Body of a matrix element: flags, dimensions, name, then `rest` (data sub-elements).
inline Bytes matrixBody(std::uint8_t cls, const std::vector<std::int32_t>& dims, const std::string& name,
                        const Bytes& rest, std::uint32_t flagExtra = 0)
{
    return cat({element(6, raw(std::vector<std::uint32_t>{cls | flagExtra, 0})), element(5, raw(dims)),
                element(1, Bytes(name.begin(), name.end())), rest});
}

inline Bytes matrix(std::uint8_t cls, const std::vector<std::int32_t>& dims, const std::string& name,
                    const Bytes& rest, std::uint32_t flagExtra = 0)
{
    return element(14, matrixBody(cls, dims, name, rest, flagExtra));
}

inline Bytes doubles(const std::string& name, std::int32_t rows, std::int32_t cols, const std::vector<double>& colMajor)
{
    return matrix(6, {rows, cols}, name, element(9, raw(colMajor)));
}

inline Bytes deflate(const Bytes& in)
{
    uLongf n = compressBound(static_cast<uLong>(in.size()));
    Bytes out(n);
    if (compress(out.data(), &n, in.data(), static_cast<uLong>(in.size())) != Z_OK)
        throw std::runtime_error("compress failed");
    out.resize(n);
    return out;
}

// A compressed variable wrapping an element (normally a matrix element).
inline Bytes compressed(const Bytes& inner)
{
    const Bytes z = deflate(inner);
    Bytes b = tag(15, static_cast<std::uint32_t>(z.size()));
    b.insert(b.end(), z.begin(), z.end());
    return b;
}

// A private temporary folder, removed with its files.
class TempDir {
public:
    TempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/krv-mat-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~TempDir()
    {
        for (const auto& f : files_)
            std::remove(f.c_str());
        rmdir(path_.c_str());
    }
    std::string write(const std::string& name, const Bytes& data)
    {
        const std::string p = path_ + "/" + name;
        std::ofstream f(p, std::ios::binary);
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        files_.push_back(p);
        return p;
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

}  // namespace MatBytes
