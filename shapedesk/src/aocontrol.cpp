// The controller between the ShapeDesk window and the kit: one open mirror, its map, its last result code.
#include "aocontrol.h"

#include <KRV_OpenLoop.h>
#include <KRV_PCIeAPI.h>

#include "krv/DMState.h"
#include "krv/Log.h"
#include "krv/ModelTable.h"

#include <QThread>

#include <cstring>
#include <exception>
#include <stdexcept>

namespace {

log4cxx::LoggerPtr logger() {
    static const log4cxx::LoggerPtr log = MirrorKit::Log::get("KRV.AOControl");
    return log;
}

const char* message(KRVRC rc) { return KRVErrorString(rc); }

}  // namespace

AOControl::AOControl(QObject* parent) : QObject(parent) {}

// A controller that goes away with its mirror still open closes it: the back end zeroes the outputs and the
// record's working state and calibration are freed, instead of staying behind for the life of the process.
AOControl::~AOControl() {
    if (isOpen()) KRVClose(&dm_);
}

void AOControl::closeAfterFailure() {
    KRVClose(&dm_);
    dm_.ActCount = 0;
}

DM AOControl::initialize(const QString& sn, const QString& path) {
    auto log = logger();
    KRV_LOG_INFO(log, "Initializing dmSerialNumber: " << sn.toStdString());

    if (isOpen()) {
        KRVClearArray(&dm_);
        const KRVRC rc = KRVClose(&dm_);
        lastError_ = rc;
        if (rc != NO_ERR) {
            KRV_LOG_ERROR(log, "Code " << rc << " closing DM driver: " << message(rc));
            dm_.ActCount = 0;
            return dm_;
        }
    }
    serialNumber_.clear();

    const QByteArray pathBytes = path.toLocal8Bit();
    KRVSetProfilesPath(&dm_, path.isEmpty() ? nullptr : pathBytes.constData());
    profilePath_ = QString::fromLocal8Bit(dm_.ProfilesPath);
    KRV_LOG_INFO(log, "Profile path: " << dm_.ProfilesPath);

    const QByteArray serial = sn.toLocal8Bit();
    dm_.DevId = KRV_DEV_ID_QUERY_PROFILE;
    lastError_ = KRVOpen(&dm_, serial.constData());
    if (lastError_ == ERR_NO_HW) {
        // A profile-only open of a hardware mirror: the profile is read and the card the kit would take is known.
        const int firstChoice = dm_.DevId;
        dm_.DevId = KRV_DEV_ID_ANY;
        if (dm_.DriverType == KRV_PCIE) {
            const int cards = static_cast<int>(KRV_PCIeGetNumberOfDevices());
            if (cards > 1) {
                IntegerQuestion question{tr("PCIe Card Selection"),
                                         tr("Multiple interface cards are installed. Select one:"),
                                         firstChoice, 1, cards, 1};
                int chosen = firstChoice;
                if (cardChooser_ && !cardChooser_(question, &chosen)) {
                    dm_.ActCount = 0;
                    return dm_;
                }
                dm_.DevId = chosen;
            }
        }
        lastError_ = KRVOpen(&dm_, serial.constData());
    }
    if (lastError_ != NO_ERR) {
        KRV_LOG_ERROR(log, "Code " << lastError_ << " opening DM driver: " << message(lastError_));
        dm_.ActCount = 0;
        return dm_;
    }

    KRV_LOG_INFO(log, "Opened DM driver " << dm_.DevId << ", type=" << dm_.DriverType << ", actuators="
                                          << dm_.ActCount << ", lut=" << dm_.MappingFile
                                          << ", channel_count(1)=" << dm_.Driver.ChannelCount);
    serialNumber_ = sn;
    mapFile_ = QString::fromLocal8Bit(dm_.MappingFile);
    calFile_ = QString::fromLocal8Bit(dm_.CalibrationFile);

    map_.assign(MAX_DM_SIZE, MAX_DM_SIZE);
    KRVRC rc = KRVLoadMap(&dm_, nullptr, map_.data());
    if (rc != NO_ERR) {
        KRV_LOG_ERROR(log, "Code " << rc << " reading actuator mapping: " << message(rc));
    } else {
        rc = KRVClearArray(&dm_);
        if (rc != NO_ERR) KRV_LOG_ERROR(log, "Code " << rc << " clearing array: " << message(rc));
    }
    if (rc != NO_ERR) {
        lastError_ = rc;
        serialNumber_.clear();
        closeAfterFailure();
    }
    return dm_;
}

KRVRC AOControl::setDMShape(std::vector<double> data) {
    auto log = logger();
    if (!isOpen()) {
        KRV_LOG_ERROR(log, "attempt to write to unopened device.");
        return ERR_NO_HW;
    }
    const size_t count = dm_.ActCount;
    if (data.size() < count) data.resize(count, 0.0);
    if (log->isTraceEnabled()) {
        LOG4CXX_TRACE(log, "writing frame");
        for (size_t i = 0; i < count; ++i) LOG4CXX_TRACE(log, map_[i] << "," << data[i]);
    }
    try {
        if (data.size() != count) throw std::runtime_error("Data array wrong size.");
        lastError_ = KRVSetArray(&dm_, data.data(), map_.data());
        QThread::yieldCurrentThread();
        return lastError_;
    } catch (const std::exception& e) {
        KRV_LOG_ERROR(log, e.what());
    } catch (...) {
        KRV_LOG_ERROR(log, "Unknown exception in KRVSetArray()");
    }
    serialNumber_.clear();
    closeAfterFailure();
    return lastError_ = ERR_UNKNOWN;
}

KRVRC AOControl::setDMShape(cv::Mat& data) {
    std::vector<double> values;
    values.reserve(data.total());
    cv::Mat doubles;
    data.convertTo(doubles, CV_64F);
    for (int r = 0; r < doubles.rows; ++r) {
        const double* row = doubles.ptr<double>(r);
        values.insert(values.end(), row, row + doubles.cols * doubles.channels());
    }
    return setDMShape(std::move(values));
}

KRVRC AOControl::setDMSegment(int segment, int piston, double xTilt, double yTilt) {
    if (!isOpen()) return lastError_ = ERR_NO_HW;
    return lastError_ = KRVSetSegment(&dm_, static_cast<unsigned>(segment), static_cast<double>(piston), xTilt,
                                      yTilt, applyOffsets_, true);
}

KRVRC AOControl::setDMAllSegments(int piston, double xTilt, double yTilt) {
    if (!isOpen()) return lastError_ = ERR_NO_HW;
    const MirrorKit::DMModel* model = MirrorKit::findModel(dm_.ActCount);
    const unsigned segments = model && model->Segmented ? dm_.ActCount / 3 : dm_.ActCount;
    for (unsigned s = 0; s < segments; ++s) {
        const bool last = s + 1 == segments;
        const KRVRC rc = KRVSetSegment(&dm_, s, static_cast<double>(piston), xTilt, yTilt, applyOffsets_, last);
        if (rc != NO_ERR) return lastError_ = rc;
    }
    return lastError_ = NO_ERR;
}

KRVRC AOControl::solveAndSend(const cv::Mat& surface, cv::Mat& surfaceOut, int dm_diameter, unsigned options) {
    const int width = gridWidth();
    std::vector<double> commands(dm_.ActCount, 0.0);
    cv::Mat lowRes(width, width, CV_64F, cv::Scalar(0.0));
    // The kit reads the map as contiguous row-major doubles.
    cv::Mat phase;
    surface.convertTo(phase, CV_64F);
    if (!phase.isContinuous()) phase = phase.clone();
    auto calculate = [&](unsigned opts) {
        return KRVCalculateSurfaceEx(&dm_, phase.ptr<double>(), phase.cols, phase.rows, dm_diameter, opts,
                                     commands.data(), static_cast<unsigned>(commands.size()),
                                     lowRes.ptr<double>(), static_cast<unsigned>(lowRes.total()));
    };
    KRVRC rc = calculate(options);
    const bool outOfRange = rc == ERR_OUT_OF_LUT_RANGE;
    if (outOfRange) rc = calculate(options | DM_SURFACE_BEST_EFFORT);
    lastError_ = rc;
    if (rc != NO_ERR) return rc;
    lowRes.copyTo(surfaceOut);
    rc = setDMShape(std::move(commands));
    // Sent with best effort: the window still has to say that the shape was out of range.
    if (rc == NO_ERR && outOfRange) rc = lastError_ = ERR_OUT_OF_LUT_RANGE;
    return rc;
}

KRVRC AOControl::setDMSurface(cv::Mat target, cv::Mat& targetSurface_out, int dm_diameter, bool absolute) {
    if (!isOpen()) return lastError_ = ERR_NO_HW;
    if (target.empty()) return lastError_ = ERR_BADARG;
    return solveAndSend(target, targetSurface_out, dm_diameter, absolute ? DM_SURFACE_ABSOLUTE_DEFLECTION : 0u);
}

KRVRC AOControl::setDMZernikeSurface(std::vector<double> coeffs, cv::Mat& targetSurface_out, int dm_diameter) {
    if (!isOpen()) return lastError_ = ERR_NO_HW;
    const int width = gridWidth();
    cv::Mat surface(width, width, CV_64F, cv::Scalar(0.0));
    lastError_ = KRVZernikeSurface(&dm_, coeffs.data(), static_cast<int>(coeffs.size()), dm_diameter, 0,
                                   surface.ptr<double>(), static_cast<unsigned>(surface.total()));
    if (lastError_ != NO_ERR) return lastError_;
    return solveAndSend(surface, targetSurface_out, width - 1, 0u);
}

std::vector<double> AOControl::getDMShape() {
    std::vector<double> frame(dm_.ActCount, 0.0);
    if (!isOpen()) return frame;
    lastError_ = KRVGetArray(&dm_, frame.data(), dm_.ActCount);
    return frame;
}

std::pair<int, int> AOControl::pistonRange(int segment, double xTilt, double yTilt) {
    if (!isOpen()) return {0, 1};
    double lo = 0.0, hi = 0.0;
    const KRVRC rc = KRVGetSegmentRange(&dm_, static_cast<unsigned>(segment), DM_Piston, 0.0, xTilt, yTilt,
                                        applyOffsets_, &lo, &hi);
    if (rc != NO_ERR || (lo == 0.0 && hi == 0.0)) return {0, 1};
    return {static_cast<int>(std::lround(lo)), static_cast<int>(std::lround(hi))};
}

std::pair<double, double> AOControl::tiltRange(int segment, DMSegmentAxis axis, double piston, double otherTilt) {
    if (!isOpen()) return {0.0, 0.0};
    double lo = 0.0, hi = 0.0;
    const double x = axis == DM_YTilt ? otherTilt : 0.0;
    const double y = axis == DM_XTilt ? otherTilt : 0.0;
    if (KRVGetSegmentRange(&dm_, static_cast<unsigned>(segment), axis, piston, x, y, applyOffsets_, &lo, &hi) != NO_ERR)
        return {0.0, 0.0};
    return {lo, hi};
}

KRVRC AOControl::close() {
    serialNumber_.clear();
    if (!isOpen()) return NO_ERR;
    KRVClearArray(&dm_);
    return lastError_ = KRVClose(&dm_);
}

bool AOControl::loadMap(const QString& mapFile, bool defaultMap) {
    auto log = logger();
    if (!isOpen()) {
        lastError_ = ERR_NO_HW;
        return false;
    }
    const QByteArray file = mapFile.toLocal8Bit();
    // Read into a copy: a map that did not load, or that a PCIe card did not take, must not be the one the next
    // frames are sent with.
    std::vector<uint32_t> loaded(map_.size(), MAX_DM_SIZE);
    const KRVRC rc = KRVLoadMap(&dm_, defaultMap || file.isEmpty() ? nullptr : file.constData(), loaded.data());
    if (rc == NO_ERR) {
        map_ = std::move(loaded);
        KRV_LOG_INFO(log, "Loaded map file: " << file.constData());
        return true;
    }
    KRV_LOG_ERROR(log, "Error loading map file: " << file.constData() << " : " << message(rc));
    lastError_ = rc;
    return false;
}

bool AOControl::loadCalibration(const QString& calFile) {
    auto log = logger();
    if (!isOpen()) {
        lastError_ = ERR_NO_HW;
        return false;
    }
    const QByteArray file = calFile.toLocal8Bit();
    const KRVRC rc = KRVLoadCalibrationFile(&dm_, file.constData());
    lastError_ = rc;
    if (rc == NO_ERR) {
        KRV_LOG_INFO(log, "Loaded calibration file: " << file.constData());
        calFile_ = calFile;
        return true;
    }
    KRV_LOG_ERROR(log, "Error loading calibration file: " << file.constData() << " : " << message(rc));
    return false;
}

bool AOControl::hasCalibration() const {
    // The calibration object hangs from the record's working state while a table is loaded.
    return isOpen() && dm_.State && dm_.State->Calibration != nullptr;
}

bool AOControl::setEnableHighRes(bool enable) {
    auto log = logger();
    if (!isOpen() || dm_.DriverType != KRV_PCIE) return false;
    const KRVRC rc = KRV_PCIeEnableHighRes(&dm_, enable ? 1 : 0);
    if (rc != NO_ERR) {
        lastError_ = rc;
        KRV_LOG_ERROR(log, "Error enabling High-Res Mode: " << message(rc));
        return false;
    }
    KRV_LOG_INFO(log, (enable ? "Enabled High-Res Mode." : "Disabled High-Res Mode."));
    return true;
}

QString AOControl::profilePath() {
    if (dm_.ProfilesPath[0] == '\0') KRVSetProfilesPath(&dm_, nullptr);
    profilePath_ = QString::fromLocal8Bit(dm_.ProfilesPath);
    return profilePath_;
}

int AOControl::gridWidth() const {
    if (dm_.ActCountWidth != 0) return static_cast<int>(dm_.ActCountWidth);
    return static_cast<int>(MirrorKit::modelWidth(dm_.ActCount));
}
