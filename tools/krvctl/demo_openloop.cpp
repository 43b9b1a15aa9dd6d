// Demo step for open-loop control: a calibration table written here, a Zernike defocus shaped on a dummy
// mirror through it, and a picture of the commanded actuators and of the surface.
#include "demo.h"

#include <KRV_OpenLoop.h>

#include "MatWriter.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <memory>
#include <sstream>

namespace krvctl {
namespace {

constexpr const char* kSerial = "DEMOOL00137";
constexpr const char* kTableName = "demo_137.mat";
constexpr int kWidth = 13;            // the 137-actuator model: a disc of radius^2 <= 41 on a 13 x 13 grid
constexpr double kStrokeNm = 3500.0;  // that model's nominal stroke
constexpr double kPlateAlpha = 1.0;

std::string num(double v) {
    std::ostringstream s;
    s << std::setprecision(6) << v;
    return s.str();
}

cv::Mat discMask() {
    cv::Mat mask(kWidth, kWidth, CV_8U);
    const double c = (kWidth - 1) / 2.0;
    for (int r = 0; r < kWidth; ++r)
        for (int k = 0; k < kWidth; ++k) mask.at<uint8_t>(r, k) = (r - c) * (r - c) + (k - c) * (k - c) <= 41.0;
    return mask;
}

// A calibration table of a plate on an elastic foundation (alpha I + L^2, L the graph Laplacian of the
// actuator grid with free edges) and an electrostatic drive: the squared command grows with the force and with
// the square of the remaining gap, the gap being three strokes. Flat pistons from 0 to the full stroke need
// commands from about 0 to 1.
bool writeDemoTable(const std::string& path) {
    const cv::Mat mask = discMask();
    std::vector<int> cells;
    for (int i = 0; i < kWidth * kWidth; ++i)
        if (mask.data[i]) cells.push_back(i);
    const int n = static_cast<int>(cells.size());
    std::vector<int> index(kWidth * kWidth, -1);
    for (int i = 0; i < n; ++i) index[static_cast<size_t>(cells[static_cast<size_t>(i)])] = i;

    cv::Mat laplacian = cv::Mat::zeros(n, n, CV_64F);
    for (int i = 0; i < n; ++i) {
        const int r = cells[static_cast<size_t>(i)] / kWidth, c = cells[static_cast<size_t>(i)] % kWidth;
        for (const auto& [dr, dc] : {std::pair<int, int>{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
            const int rr = r + dr, cc = c + dc;
            if (rr < 0 || cc < 0 || rr >= kWidth || cc >= kWidth || index[static_cast<size_t>(rr * kWidth + cc)] < 0)
                continue;
            laplacian.at<double>(i, index[static_cast<size_t>(rr * kWidth + cc)]) = -1.0;
            laplacian.at<double>(i, i) += 1.0;
        }
    }
    const cv::Mat reconstructor = laplacian * laplacian + kPlateAlpha * cv::Mat::eye(n, n, CV_64F);

    // For a flat piston p (nm) the solve gives Y = 1e-6 p / (K alpha) and X = 1e-3 p (um).
    const double plate = 16.0 * CV_PI * 1.69e11 * 27e-18 / 11.4192;
    const double yFull = 1e-6 * -kStrokeNm / (plate * kPlateAlpha);
    const double gap = 3.0 * kStrokeNm * 1e-3;
    const double k = -1.0 / (yFull * (1.0 - 1.0 / 3.0) * (1.0 - 1.0 / 3.0));
    // v = 1e-4 - k Y (1 + X / gap)^2
    const cv::Mat coeffs = (cv::Mat_<double>(1, 4) << 1e-4, -k, -2.0 * k / gap, -k / (gap * gap));
    const cv::Mat orders = (cv::Mat_<double>(4, 2) << 0, 0, 0, 1, 1, 1, 2, 1);

    cv::Mat unpowered(kWidth, kWidth, CV_64F, cv::Scalar(0.0));
    const double c = (kWidth - 1) / 2.0;
    for (int r = 0; r < kWidth; ++r)
        for (int q = 0; q < kWidth; ++q)
            if (mask.at<uint8_t>(r, q)) unpowered.at<double>(r, q) = 25e-9 * ((r - c) * (r - c) + (q - c) * (q - c)) / 41.0;

    MirrorKit::MatWriter writer;
    writer.addChar("DM_name", "DMType04-DEMO-137");
    writer.addDouble("DM_reconstructor", reconstructor);
    writer.addDouble("coeffs", coeffs);
    writer.addDouble("orders", orders);
    writer.addDouble("Z_unpow_discrete", unpowered);
    return writer.save(path);
}

// Values on the grid as colours (actuators outside the mask stay dark grey), each cell `scale` pixels wide.
cv::Mat colourGrid(const cv::Mat& values, const cv::Mat& mask, double lo, double hi, int scale) {
    cv::Mat bytes(values.size(), CV_8U);
    for (int r = 0; r < values.rows; ++r)
        for (int c = 0; c < values.cols; ++c) {
            const double t = hi > lo ? (values.at<double>(r, c) - lo) / (hi - lo) : 0.5;
            bytes.at<uint8_t>(r, c) = cv::saturate_cast<uint8_t>(255.0 * std::clamp(t, 0.0, 1.0));
        }
    cv::Mat colour;
    cv::applyColorMap(bytes, colour, cv::COLORMAP_VIRIDIS);
    for (int r = 0; r < values.rows; ++r)
        for (int c = 0; c < values.cols; ++c)
            if (!mask.empty() && !mask.at<uint8_t>(r, c)) colour.at<cv::Vec3b>(r, c) = cv::Vec3b(40, 40, 40);
    cv::Mat big;
    cv::resize(colour, big, cv::Size(), scale, scale, cv::INTER_NEAREST);
    return big;
}

void openLoopStep(DemoContext& ctx) {
    const std::string table = ctx.installDir + "/Calibration/" + kTableName;
    if (!demoCheck(ctx, "calibration table", writeDemoTable(table), table)) return;
    writeDemoProfile(ctx, kSerial,
                     {{"type", "2"}, {"size", "137"}, {"maxv", "200"}, {"vlim", "200"}, {"calibration", kTableName}});

    std::unique_ptr<DM> record = std::make_unique<DM>();
    DM* dm = record.get();
    struct Closer {
        DM* dm;
        ~Closer() {
            if (dm->State) KRVClose(dm);
        }
    } closer{dm};

    if (demoReport(ctx, std::string("KRVOpen(dm, \"") + kSerial + "\") with the default calibration",
                   KRVOpen(dm, kSerial)) != NO_ERR)
        return;
    demoReport(ctx, "KRVLoadCalibrationFile(dm, \"" + table + "\")", KRVLoadCalibrationFile(dm, table.c_str()));
    demoReport(ctx, "KRVLoadCalibrationFile(dm, \"missing.mat\") keeps the loaded table",
               KRVLoadCalibrationFile(dm, (ctx.installDir + "/Calibration/missing.mat").c_str()), ERR_OPENFILE);

    double pistonMin = 0, pistonMax = 0;
    if (demoReport(ctx, "KRVGetSegmentRange(dm, 0, DM_Piston, ...)",
                   KRVGetSegmentRange(dm, 0, DM_Piston, 0, 0, 0, false, &pistonMin, &pistonMax)) == NO_ERR)
        // On a continuous mirror a segment is one actuator: its piston runs over the model's stroke.
        demoCheck(ctx, "piston range of one actuator", pistonMin == 0.0 && pistonMax == 3500.0,
                  num(pistonMin) + " nm .. " + num(pistonMax) + " nm");

    // A defocus of 150 nm (OSA index 4) over the aperture of W - 3 = 10 spacings: an 11 x 11 phase map.
    const int n = kWidth - 2;
    std::vector<double> coefficients = {0.0, 0.0, 0.0, 0.0, 150.0};
    std::vector<double> phase(static_cast<size_t>(n * n));
    demoReport(ctx, "KRVZernikeSurface(dm, defocus 150 nm, 5, 0, 0, phase, 121)",
               KRVZernikeSurface(dm, coefficients.data(), 5, 0, 0, phase.data(), static_cast<unsigned>(n * n)));

    std::vector<double> commands(137), lowRes(kWidth * kWidth);
    if (demoReport(ctx, "KRVCalculateSurfaceEx(dm, phase, 11, 11, 0, 0, commands, 137, lowRes, 169)",
                   KRVCalculateSurfaceEx(dm, phase.data(), n, n, 0, 0, commands.data(), 137, lowRes.data(),
                                         kWidth * kWidth)) != NO_ERR)
        return;
    const auto [cmin, cmax] = std::minmax_element(commands.begin(), commands.end());
    demoCheck(ctx, "commands", *cmin >= 0.0 && *cmax <= 1.0 && *cmax - *cmin > 0.01,
              num(*cmin) + " .. " + num(*cmax));

    demoReport(ctx, "KRVSetSurface(dm, phase, 11, 11, 0, 0)", KRVSetSurface(dm, phase.data(), n, n, 0, 0));
    std::vector<double> applied(137);
    demoReport(ctx, "KRVGetArray(dm, applied, 137)", KRVGetArray(dm, applied.data(), 137));
    double worst = 0.0;
    for (size_t i = 0; i < applied.size(); ++i) worst = std::max(worst, std::fabs(applied[i] - commands[i]));
    demoCheck(ctx, "applied frame equals the calculated commands", worst <= 0.5 / 65535.0,
              "largest difference " + num(worst));

    // The picture: commanded actuators (left) and the surface sampled on the actuator grid (right).
    const cv::Mat mask = discMask();
    cv::Mat commandGrid(kWidth, kWidth, CV_64F, cv::Scalar(0.0));
    for (int i = 0, a = 0; i < kWidth * kWidth; ++i)
        if (mask.data[i]) commandGrid.ptr<double>()[i] = commands[static_cast<size_t>(a++)];
    const cv::Mat surface(kWidth, kWidth, CV_64F, lowRes.data());
    double slo, shi;
    cv::minMaxLoc(surface, &slo, &shi);
    const cv::Mat left = colourGrid(commandGrid, mask, *cmin, *cmax, 24);
    const cv::Mat right = colourGrid(surface, cv::Mat(), slo, shi, 24);
    cv::Mat picture(left.rows + 30, left.cols + right.cols + 10, CV_8UC3, cv::Scalar(255, 255, 255));
    left.copyTo(picture(cv::Rect(0, 30, left.cols, left.rows)));
    right.copyTo(picture(cv::Rect(left.cols + 10, 30, right.cols, right.rows)));
    cv::putText(picture, "commands", cv::Point(4, 20), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(0, 0, 0), 1);
    cv::putText(picture, "surface (nm)", cv::Point(left.cols + 14, 20), cv::FONT_HERSHEY_SIMPLEX, 0.5,
                cv::Scalar(0, 0, 0), 1);
    const std::string png = ctx.installDir + "/Shapes/openloop_defocus.png";
    bool written = false;
    try {
        written = cv::imwrite(png, picture);
    } catch (const cv::Exception&) {
    }
    demoCheck(ctx, "picture of commands and surface", written, png);

    // The single-actuator form of segment control on a continuous mirror: piston / stroke.
    demoReport(ctx, "KRVSetSegment(dm, 68, 1750 nm, ...) on the centre actuator",
               KRVSetSegment(dm, 68, kStrokeNm / 2, 0, 0, false, true));
    std::vector<double> back(137);
    KRVGetArray(dm, back.data(), 137);
    demoCheck(ctx, "centre actuator", std::fabs(back[68] - 0.5) <= 1.0 / 65535, num(back[68]));
    demoReport(ctx, "KRVSetSegment(dm, 68, -1 nm, ...)", KRVSetSegment(dm, 68, -1.0, 0, 0, false, true),
               ERR_OUT_OF_LUT_RANGE);
    demoReport(ctx, "KRVClose(dm)", KRVClose(dm));
}

KRVCTL_DEMO_STEP(40, "Open-loop surfaces", openLoopStep);

}  // namespace
}  // namespace krvctl
