// A small level-5 MAT writer (uncompressed, little-endian) for building calibration tables in tests and the demo.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace MirrorKit {

class MatWriter {
public:
    // A 2-D double matrix: element (r, c) of m is MATLAB's element (r, c).
    void addDouble(const std::string& name, const cv::Mat& m) {
        CV_Assert(m.dims == 2 && m.channels() == 1);
        cv::Mat d;
        m.convertTo(d, CV_64F);
        std::vector<double> columnMajor;
        columnMajor.reserve(d.total());
        for (int c = 0; c < d.cols; ++c)
            for (int r = 0; r < d.rows; ++r) columnMajor.push_back(d.at<double>(r, c));
        addNumeric(name, {d.rows, d.cols}, kClassDouble, kTypeDouble, columnMajor.data(),
                   columnMajor.size() * sizeof(double));
    }

    // An N-D uint16 array given in MATLAB's column-major order.
    void addUInt16(const std::string& name, const std::vector<int>& dims, const std::vector<uint16_t>& columnMajor) {
        addNumeric(name, dims, kClassUInt16, kTypeUInt16, columnMajor.data(), columnMajor.size() * sizeof(uint16_t));
    }

    void addChar(const std::string& name, const std::string& text) {
        std::string body;
        appendElement(body, kTypeUInt32, flagsWord(kClassChar).data(), 8);
        const int32_t dims[2] = {1, static_cast<int32_t>(text.size())};
        appendElement(body, kTypeInt32, dims, sizeof dims);
        appendElement(body, kTypeInt8, name.data(), name.size());
        appendElement(body, kTypeUtf8, text.data(), text.size());
        appendMatrix(body);
    }

    bool save(const std::string& path) const {
        std::string header = "MATLAB 5.0 MAT-file, MirrorKit calibration table";
        header.resize(116, ' ');
        header.append(8, '\0');
        const uint16_t version = 0x0100;
        header.append(reinterpret_cast<const char*>(&version), 2);
        header.append("IM", 2);
        std::ofstream out(path, std::ios::binary);
        out << header << data_;
        return static_cast<bool>(out);
    }

private:
    enum : uint32_t {
        kTypeInt8 = 1, kTypeUInt16 = 4, kTypeInt32 = 5, kTypeUInt32 = 6, kTypeDouble = 9, kTypeMatrix = 14,
        kTypeUtf8 = 16
    };
    enum : uint32_t { kClassChar = 4, kClassDouble = 6, kClassUInt16 = 11 };

    static std::vector<uint32_t> flagsWord(uint32_t cls) { return {cls, 0u}; }

    static void appendElement(std::string& out, uint32_t type, const void* payload, size_t bytes) {
        const uint32_t tag[2] = {type, static_cast<uint32_t>(bytes)};
        out.append(reinterpret_cast<const char*>(tag), sizeof tag);
        out.append(static_cast<const char*>(payload), bytes);
        out.append((8 - bytes % 8) % 8, '\0');
    }

    void addNumeric(const std::string& name, const std::vector<int>& dims, uint32_t cls, uint32_t type,
                    const void* payload, size_t bytes) {
        std::string body;
        appendElement(body, kTypeUInt32, flagsWord(cls).data(), 8);
        std::vector<int32_t> d(dims.begin(), dims.end());
        appendElement(body, kTypeInt32, d.data(), d.size() * sizeof(int32_t));
        appendElement(body, kTypeInt8, name.data(), name.size());
        appendElement(body, type, payload, bytes);
        appendMatrix(body);
    }

    void appendMatrix(const std::string& body) {
        const uint32_t tag[2] = {kTypeMatrix, static_cast<uint32_t>(body.size())};
        data_.append(reinterpret_cast<const char*>(tag), sizeof tag);
        data_ += body;
    }

    std::string data_;
};

}  // namespace MirrorKit
