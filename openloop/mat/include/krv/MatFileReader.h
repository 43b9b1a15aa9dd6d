// Reader of level-5 MAT files (calibration tables): variables become named cv::Mat, strings, cells and structs.
#pragma once

#include <boost/any.hpp>
#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ios>
#include <stdexcept>
#include <string>
#include <vector>

namespace MirrorKit {

// One variable (or cell element, or struct field) and its value. `data` holds exactly one of:
//   cv::Mat                                        numeric arrays (see the class table below)
//   std::string                                    char arrays; sparse arrays give an empty string
//   MatlabIOContainer::Cell                        cell arrays, elements in the file's (column-major) order
//   MatlabIOContainer::Struct                      struct arrays: one inner list per element, fields in
//                                                  file order, each named by its field name
//   nothing (empty holder)                         classes the reader does not handle
//
// Numeric classes and the depth of their matrices:
//   double CV_64F, single CV_32F, int8 CV_8S, uint8 CV_8U, int16 CV_16S, uint16 CV_16U, int32 CV_32S,
//   uint32 / int64 / uint64 CV_64F: OpenCV has no depth for them; a double holds every uint32 exactly
//   and every 64-bit integer up to 2^53 exactly (larger ones are rounded to the nearest double).
//
// Shapes: a 2-D MATLAB array of r x c becomes an r-row, c-column matrix with element (i, j) of the
// MATLAB array at (i, j). When the array has more than two dimensions, its last dimension becomes the
// channel count (r x c x k gives an r x c matrix of k channels). Complex arrays put the real planes
// first, then the imaginary planes (so a complex r x c matrix has 2 channels). When three or more
// dimensions remain after the channel split (d0 x d1 x d2 ...), the matrix has the sizes
// (d1, d0, d2, ...) and holds the values in the file's column-major order: its row-major index equals
// MATLAB's linear index. For L x L x L x 3 this makes index (a, b, c) MATLAB's element (c, b, a).
struct MatlabIOContainer {
    using Cell = std::vector<MatlabIOContainer>;
    using Struct = std::vector<std::vector<MatlabIOContainer>>;

    std::string name;
    boost::any data;

    MatlabIOContainer() = default;
    MatlabIOContainer(std::string n, boost::any d) : name(std::move(n)), data(std::move(d)) {}

    template <class T>
    bool holds() const { return !data.empty() && data.type() == typeid(T); }
};

using MatlabVariables = std::vector<MatlabIOContainer>;

// A file that is damaged or not a readable level-5 MAT file (overrun sizes, bad compressed data,
// impossible dimensions, nesting deeper than kMaxNesting, HDF5-based files). Nothing is returned
// for such a file; the process goes on.
class MatFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A binary file stream that carries a byte-swap flag. With the flag set, every read reverses the
// bytes of each consecutive group of `width` bytes (width 2 by default: pairs are exchanged).
// Reading opens only regular files, without waiting: a FIFO or a device does not open.
class EFStream {
public:
    EFStream() = default;
    ~EFStream() { close(); }
    EFStream(const EFStream&) = delete;
    EFStream& operator=(const EFStream&) = delete;

    bool open(const std::string& path, std::ios::openmode mode);
    void close();
    bool isOpen() const { return file_ != nullptr; }
    bool good() const;
    bool eof() const;
    // True when no byte is left to read.
    bool atEnd();

    void setByteSwap(bool swap) { swap_ = swap; }
    bool byteSwap() const { return swap_; }

    // Reads exactly n bytes or throws MatFileError ("unexpected end of file").
    void read(void* buffer, std::size_t n, std::size_t width = 2);
    // Skips n bytes, or throws MatFileError when fewer are left.
    void skip(std::uint64_t n);
    std::uint64_t tell();
    // Size of the open file in bytes.
    std::uint64_t size() const { return size_; }

private:
    std::FILE* file_ = nullptr;
    bool swap_ = false;
    std::uint64_t size_ = 0;
};

class MatFileReader {
public:
    // Cells and structs nested deeper than this are refused as damaged.
    static constexpr int kMaxNesting = 32;

    MatFileReader() = default;
    MatFileReader(const MatFileReader&) = delete;
    MatFileReader& operator=(const MatFileReader&) = delete;

    // mode "r": binary reading; "w": binary writing (the reader never writes). Returns whether the
    // stream is good.
    bool open(const std::string& path, const std::string& mode = "r");
    void close();

    // Reads the header and every variable in file order. Throws MatFileError on a damaged file.
    MatlabVariables read();
    // The same without exceptions: false with a message in `error` on a damaged file (vars is then
    // left empty). Never throws.
    bool tryRead(MatlabVariables& vars, std::string& error) noexcept;

    // The value of the first variable named exactly `name`, as T (cv::Mat, std::string, ...).
    // Throws std::logic_error("Variable not found: <name>") when none has that name, and
    // boost::bad_any_cast when its value is of another type.
    template <class T>
    static T find(const MatlabVariables& vars, const std::string& name);

    // Header fields of the last read: descriptive text, subsystem data offset, version (5 for
    // 0x0100, 73 for 0x0200, otherwise as read), endian indicator ("IM" or "MI"), and whether the
    // file's values are stored big-endian.
    const std::string& headerText() const { return header_; }
    const std::string& subsystemData() const { return subsys_; }
    std::uint16_t version() const { return version_; }
    const std::string& endianIndicator() const { return endian_; }
    bool byteSwap() const { return stream_.byteSwap(); }

private:
    void readHeader();

    EFStream stream_;
    std::string header_;
    std::string subsys_;
    std::string endian_;
    std::uint16_t version_ = 0;
};

template <class T>
T MatFileReader::find(const MatlabVariables& vars, const std::string& name)
{
    for (const auto& v : vars)
        if (v.name == name)
            return boost::any_cast<T>(v.data);
    throw std::logic_error("Variable not found: " + name);
}

}  // namespace MirrorKit
