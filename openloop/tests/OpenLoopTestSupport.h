// Test helpers for the open-loop library: generated tables and a plain reference of the surface arithmetic.
#pragma once

#include "KRV_CDMCalibration.h"
#include "krv/MatFileReader.h"
#include "krv/ModelTable.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace oltest {

// Tables written by the project's generator into the build tree (empty when it is not available).
inline std::string dataDir() {
    const char* dir = std::getenv("KRV_TESTDATA_DIR");
    return dir ? dir : "";
}

inline std::string table(const std::string& name) { return dataDir() + "/calibration/" + name; }

#define OLTEST_REQUIRE_FILE(path)                                                      \
    do {                                                                               \
        if (!std::filesystem::exists(path)) GTEST_SKIP() << "no generated table " << (path); \
    } while (0)

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// The continuous model read straight from a table, solved densely: the check for the library's solver.
struct ReferenceModel {
    cv::Mat scaled;                  // n x n
    std::vector<double> coeffs;
    std::vector<std::pair<int, int>> orders;
    std::vector<double> unpowered;   // at the actuators, metres
    std::vector<int> positions;      // grid positions of the actuators
    int width = 0;

    // Commands for a W x W surface with absolute deflection and no clamping; v (before the square root) too.
    std::vector<double> commands(const cv::Mat& surface, std::vector<double>* squared = nullptr) const {
        const size_t n = positions.size();
        cv::Mat rel(static_cast<int>(n), 1, CV_64F);
        for (size_t i = 0; i < n; ++i)
            rel.at<double>(static_cast<int>(i)) = 1e-9 * surface.ptr<double>()[positions[i]] - unpowered[i];
        cv::Mat x;
        cv::solve(scaled, rel, x, cv::DECOMP_LU);
        std::vector<double> out(n), v(n);
        for (size_t i = 0; i < n; ++i) {
            const double bx = 1e6 * rel.at<double>(static_cast<int>(i));
            const double by = 1000.0 * x.at<double>(static_cast<int>(i));
            double sum = 0.0;
            for (size_t k = 0; k < coeffs.size(); ++k)
                sum += coeffs[k] * std::pow(bx, orders[k].first) * std::pow(by, orders[k].second);
            v[i] = sum;
            out[i] = std::sqrt(sum);
        }
        if (squared) *squared = v;
        return out;
    }
};

inline ReferenceModel referenceModel(const std::string& path, uint32_t actuators, bool inverseScale) {
    MirrorKit::MatFileReader reader;
    EXPECT_TRUE(reader.open(path));
    const MirrorKit::MatlabVariables vars = reader.read();
    reader.close();
    ReferenceModel model;
    model.width = static_cast<int>(MirrorKit::modelWidth(actuators));
    const cv::Mat mask = MirrorKit::actuatorPresence(actuators, static_cast<uint32_t>(model.width));
    for (int i = 0; i < static_cast<int>(mask.total()); ++i)
        if (mask.data[i]) model.positions.push_back(i);
    const int n = static_cast<int>(model.positions.size());

    cv::Mat r = MirrorKit::MatFileReader::find<cv::Mat>(vars, "DM_reconstructor");
    if (r.rows != n) {
        cv::Mat reduced(n, n, CV_64F);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) reduced.at<double>(i, j) = r.at<double>(model.positions[i], model.positions[j]);
        r = reduced;
    }
    const double k = 16.0 * M_PI * 1.69e11 * 27e-18 / 11.4192;
    model.scaled = r * (inverseScale ? 1.0 / k : k);

    const cv::Mat c = MirrorKit::MatFileReader::find<cv::Mat>(vars, "coeffs");
    model.coeffs.assign(c.ptr<double>(), c.ptr<double>() + c.total());
    const cv::Mat o = MirrorKit::MatFileReader::find<cv::Mat>(vars, "orders");
    for (int i = 0; i < o.rows; ++i)
        model.orders.emplace_back(static_cast<int>(o.at<double>(i, 0)), static_cast<int>(o.at<double>(i, 1)));
    model.unpowered.assign(static_cast<size_t>(n), 0.0);
    for (const auto& v : vars)
        if (v.name == "Z_unpow_discrete") {
            const cv::Mat z = boost::any_cast<cv::Mat>(v.data);
            for (int i = 0; i < n; ++i) model.unpowered[static_cast<size_t>(i)] = z.ptr<double>()[model.positions[i]];
        }
    return model;
}

// A smooth test surface on the W x W grid (nm): a bowl, a tilt and a saddle around a mean depth.
inline cv::Mat smoothSurface(int w, double depth, double amplitude) {
    cv::Mat s(w, w, CV_64F);
    const double m = (w - 1) / 2.0;
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < w; ++c) {
            const double x = (c - m) / m, y = (r - m) / m;
            s.at<double>(r, c) = depth + amplitude * (0.5 * (x * x + y * y) + 0.3 * x - 0.2 * y + 0.25 * x * y);
        }
    return s;
}

inline double maxRelativeDifference(const std::vector<double>& a, const std::vector<double>& b) {
    double worst = 0.0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        worst = std::max(worst, std::fabs(a[i] - b[i]) / std::max(1.0, std::fabs(b[i])));
    return worst;
}

}  // namespace oltest
