// The controller between the ShapeDesk window and the kit: one open mirror, its map, its last result code.
#include "aocontrol.h"

#include <KRV_OpenLoop.h>
#include <KRV_PCIeAPI.h>

#include "desklog.h"

#include <QFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>

#include <cmath>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace {

log4cxx::LoggerPtr logger() {
    static const log4cxx::LoggerPtr log = log4cxx::Logger::getLogger("KRV.AOControl");
    return log;
}

const char* message(KRVRC rc) { return KRVErrorString(rc); }

}  // namespace

AOControl::AOControl(QObject* parent) : QObject(parent) {}

// A controller that goes away with its mirror still open closes it: the back end zeroes the outputs and the
// record's working state and calibration are freed, instead of staying behind for the life of the process.
AOControl::~AOControl() {
    if (isOpen()) link_->close();
}

void AOControl::closeAfterFailure() {
    if (link_) link_->close();
    else KRVClose(&dm_);
    link_.reset();
    dm_.ActCount = 0;
}

// A mirror of this computer is zeroed before it is closed; a served one is left to its server, which zeroes it
// when its last client goes (other clients may still be using it).
void AOControl::closeOpenMirror() {
    if (!link_->isRemote()) link_->clear();
    lastError_ = link_->close();
    link_.reset();
    dm_ = DM{};
}

QString AOControl::lastMessage() const {
    if (link_) return link_->lastMessage();
    if (!connectMessage_.isEmpty()) return connectMessage_;
    return QString::fromLocal8Bit(message(lastError_));
}

bool AOControl::connectRemote(const RemoteTarget& target) {
    auto log = logger();
    KRV_LOG_INFO(log, "Connecting to " << target.address.toStdString() << " for " << target.serial.toStdString()
                                        << (target.watch ? " (watching)" : ""));
    if (isOpen()) closeOpenMirror();
    serialNumber_.clear();
    connectMessage_.clear();
    map_.clear();
    calibrationFailed_ = false;
    mapFile_.clear();
    calFile_.clear();
    KRVRC rc = NO_ERR;
    QString why;
    DM record{};
    link_ = connectRemoteLink(target, record, rc, why);
    lastError_ = rc;
    if (!link_) {
        connectMessage_ = why;
        dm_ = DM{};
        KRV_LOG_ERROR(log, "Code " << rc << " connecting to " << target.address.toStdString() << ": "
                                   << why.toStdString());
        return false;
    }
    dm_ = record;
    serialNumber_ = QString::fromLocal8Bit(dm_.SerialNumber);
    return true;
}

DM AOControl::initialize(const QString& sn, const QString& path) {
    auto log = logger();
    KRV_LOG_INFO(log, "Initializing dmSerialNumber: " << sn.toStdString());

    if (isOpen()) {
        const bool remote = link_->isRemote();
        closeOpenMirror();
        const KRVRC rc = lastError_;
        if (rc != NO_ERR && !remote) {
            KRV_LOG_ERROR(log, "Code " << rc << " closing DM driver: " << message(rc));
            dm_.ActCount = 0;
            return dm_;
        }
    }
    serialNumber_.clear();
    connectMessage_.clear();

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
    link_ = makeLocalLink(dm_);

    KRV_LOG_INFO(log, "Opened DM driver " << dm_.DevId << ", type=" << dm_.DriverType << ", actuators="
                                          << dm_.ActCount << ", lut=" << dm_.MappingFile
                                          << ", channel_count(1)=" << dm_.Driver.ChannelCount);
    serialNumber_ = sn;
    mapFile_ = QString::fromLocal8Bit(dm_.MappingFile);
    calFile_ = QString::fromLocal8Bit(dm_.CalibrationFile);

    calibrationFailed_ = dm_.CalibrationFile[0] != '\0' && !hasCalibration();
    if (calibrationFailed_) KRV_LOG_WARN(log, "Calibration table did not load: " << dm_.CalibrationFile);

    // A profile without a map file opens as it does for every other caller of the kit: frames go out
    // through the map the kit holds for the record.
    map_.clear();
    KRVRC rc = NO_ERR;
    if (dm_.MappingFile[0] != '\0') {
        map_.assign(MAX_DM_SIZE, MAX_DM_SIZE);
        rc = KRVLoadMap(&dm_, nullptr, map_.data());
        if (rc != NO_ERR) KRV_LOG_ERROR(log, "Code " << rc << " reading actuator mapping: " << message(rc));
    } else {
        KRV_LOG_INFO(log, "The profile names no map file: the kit's own map is used.");
    }
    if (rc == NO_ERR) {
        rc = link_->clear();
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
        for (size_t i = 0; i < count; ++i) LOG4CXX_TRACE(log, (map_.empty() ? i : map_[i]) << "," << data[i]);
    }
    try {
        if (data.size() != count) throw std::runtime_error("Data array wrong size.");
        lastError_ = link_->send(data, mapInUse());
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
    return lastError_ = link_->setSegment(static_cast<unsigned>(segment), static_cast<double>(piston), xTilt, yTilt,
                                          applyOffsets_, true);
}

KRVRC AOControl::setDMAllSegments(int piston, double xTilt, double yTilt) {
    if (!isOpen()) return lastError_ = ERR_NO_HW;
    if (!segmented()) {
        for (unsigned s = 0; s < dm_.ActCount; ++s) {
            const bool last = s + 1 == dm_.ActCount;
            const KRVRC rc = link_->setSegment(s, static_cast<double>(piston), xTilt, yTilt, applyOffsets_, last);
            if (rc != NO_ERR) return lastError_ = rc;
        }
        return lastError_ = NO_ERR;
    }
    // Every segment is written into the applied frame first and the frame is sent once: the kit skips an
    // inactive segment altogether, so sending with the last segment's call would send nothing when that
    // segment is the inactive one.
    const unsigned segments = dm_.ActCount / 3;
    for (unsigned s = 0; s < segments; ++s) {
        const KRVRC rc = link_->setSegment(s, static_cast<double>(piston), xTilt, yTilt, applyOffsets_, false);
        if (rc != NO_ERR) return lastError_ = rc;
    }
    std::vector<double> frame;
    if (const KRVRC rc = link_->read(frame); rc != NO_ERR) return lastError_ = rc;
    return setDMShape(std::move(frame));
}

KRVRC AOControl::solveAndSend(const cv::Mat& surface, cv::Mat& surfaceOut, int dm_diameter, unsigned options) {
    const int width = gridWidth();
    std::vector<double> commands(dm_.ActCount, 0.0);
    cv::Mat lowRes(width, width, CV_64F, cv::Scalar(0.0));
    // The kit reads the map as contiguous row-major doubles.
    cv::Mat phase;
    surface.convertTo(phase, CV_64F);
    if (!phase.isContinuous()) phase = phase.clone();
    auto calculate = [&](unsigned opts) { return link_->calculateSurface(phase, dm_diameter, opts, commands, lowRes); };
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

KRVRC AOControl::zernikeSurface(std::vector<double> coeffs, cv::Mat& surface_out, int dm_diameter) {
    if (!isOpen()) return ERR_NO_HW;
    const int width = gridWidth();
    cv::Mat surface(width, width, CV_64F, cv::Scalar(0.0));
    const KRVRC rc = link_->zernikeSurface(coeffs, dm_diameter, surface);
    if (rc == NO_ERR) surface_out = surface;
    return rc;
}

KRVRC AOControl::setDMZernikeSurface(std::vector<double> coeffs, cv::Mat& targetSurface_out, int dm_diameter) {
    cv::Mat surface;
    if (const KRVRC rc = zernikeSurface(std::move(coeffs), surface, dm_diameter)) return lastError_ = rc;
    return solveAndSend(surface, targetSurface_out, surface.cols - 1, 0u);
}

std::vector<double> AOControl::getDMShape() {
    std::vector<double> frame(dm_.ActCount, 0.0);
    if (!isOpen()) return frame;
    lastError_ = link_->read(frame);
    if (frame.size() != dm_.ActCount) frame.assign(dm_.ActCount, 0.0);
    return frame;
}

std::pair<int, int> AOControl::pistonRange(int segment, double xTilt, double yTilt) {
    if (!isOpen()) return {0, 1};
    double lo = 0.0, hi = 0.0;
    const KRVRC rc =
        link_->segmentRange(static_cast<unsigned>(segment), DM_Piston, 0.0, xTilt, yTilt, applyOffsets_, lo, hi);
    if (rc != NO_ERR || (lo == 0.0 && hi == 0.0)) return {0, 1};
    // Whole nanometres inside the range: a bound rounded outwards is a piston the kit refuses.
    return {static_cast<int>(std::ceil(lo - 1e-9)), static_cast<int>(std::floor(hi + 1e-9))};
}

std::pair<double, double> AOControl::tiltRange(int segment, DMSegmentAxis axis, double piston, double otherTilt) {
    if (!isOpen()) return {0.0, 0.0};
    double lo = 0.0, hi = 0.0;
    const double x = axis == DM_YTilt ? otherTilt : 0.0;
    const double y = axis == DM_XTilt ? otherTilt : 0.0;
    if (link_->segmentRange(static_cast<unsigned>(segment), axis, piston, x, y, applyOffsets_, lo, hi) != NO_ERR)
        return {0.0, 0.0};
    return {lo, hi};
}

KRVRC AOControl::close() {
    serialNumber_.clear();
    if (!isOpen()) return NO_ERR;
    closeOpenMirror();
    return lastError_;
}

namespace {

// The reason a map file cannot be used for this mirror, or an empty string. Entries are channels (indexed by
// actuator) except on USB mirrors, where they are actuators (indexed by channel).
QString mapFileProblem(const QString& path, const DM& dm, uint32_t entriesNeeded) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return QObject::tr("the file cannot be opened");
    const uint32_t limit = dm.DriverType == KRV_USB ? dm.ActCount : std::max(dm.ActCount, dm.Driver.ChannelCount);
    const QString what = dm.DriverType == KRV_USB ? QObject::tr("actuator") : QObject::tr("channel");
    uint32_t entries = 0;
    int lineNumber = 0;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty()) continue;
        bool ok = false;
        const uint value = line.toUInt(&ok);
        if (!ok) return QObject::tr("line %1 (\"%2\") is not a whole number").arg(lineNumber).arg(line.left(40));
        if (entries < entriesNeeded && value != MAX_DM_SIZE && value >= limit)
            return QObject::tr("line %1 names %2 %3; this mirror has %4").arg(lineNumber).arg(what).arg(value).arg(limit);
        ++entries;
    }
    if (entries < entriesNeeded)
        return QObject::tr("it has %1 entries; this mirror needs %2").arg(entries).arg(entriesNeeded);
    return QString();
}

uint32_t mapEntries(const DM& dm) {
    if (dm.DriverType != KRV_USB) return dm.ActCount;
    uint32_t total = dm.Driver.ChannelCount;
    for (uint32_t i = 1; i < dm.DriverCount && dm.ExtraDrivers; ++i) total += dm.ExtraDrivers[i - 1].ChannelCount;
    return total;
}

}  // namespace

bool AOControl::loadMap(const QString& mapFile, bool defaultMap) {
    auto log = logger();
    mapProblem_.clear();
    if (!isOpen()) {
        lastError_ = ERR_NO_HW;
        mapProblem_ = tr("no mirror is open");
        return false;
    }
    if (isRemote()) {
        lastError_ = ERR_NOT_IMPLEMENTED;
        mapProblem_ = tr("a served mirror uses the map of its server");
        return false;
    }
    const bool useDefault = defaultMap || mapFile.isEmpty();
    const QString path = useDefault ? QString::fromLocal8Bit(dm_.MappingFile) : mapFile;
    if (path.isEmpty()) {
        lastError_ = ERR_OPENFILE;
        mapProblem_ = tr("the profile names no map file");
        return false;
    }
    mapProblem_ = mapFileProblem(path, dm_, mapEntries(dm_));
    if (!mapProblem_.isEmpty()) {
        KRV_LOG_ERROR(log, "Map file refused: " << path.toStdString() << ": " << mapProblem_.toStdString());
        lastError_ = ERR_INVALID_LUT;
        return false;
    }
    std::vector<uint32_t> loaded(MAX_DM_SIZE, MAX_DM_SIZE);
    const QByteArray file = path.toLocal8Bit();
    const KRVRC rc = KRVLoadMap(&dm_, useDefault ? nullptr : file.constData(), loaded.data());
    if (rc == NO_ERR) {
        map_ = std::move(loaded);
        KRV_LOG_INFO(log, "Loaded map file: " << file.constData());
        return true;
    }
    KRV_LOG_ERROR(log, "Error loading map file: " << file.constData() << " : " << message(rc));
    mapProblem_ = QString::fromLocal8Bit(message(rc));
    lastError_ = rc;
    // The kit copies what it read into the record's map: put the one in use back.
    if (!map_.empty()) {
        std::vector<uint32_t> enable(MAX_DM_SIZE, 1u);
        KRVApplyMap(&dm_, map_.data(), enable.data());
    }
    return false;
}

bool AOControl::loadCalibration(const QString& calFile) {
    auto log = logger();
    if (!isOpen()) {
        lastError_ = ERR_NO_HW;
        return false;
    }
    const QByteArray file = calFile.toLocal8Bit();
    const KRVRC rc = link_->loadCalibration(calFile);
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
    return isOpen() && link_->calibrationLoaded();
}

bool AOControl::setEnableHighRes(bool enable) {
    auto log = logger();
    if (!isOpen() || dm_.DriverType != KRV_PCIE) return false;
    const KRVRC rc = link_->enableHighRes(enable);
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

MirrorGeometry AOControl::geometryFor(int actuatorCount) {
    MirrorGeometry g;
    g.actuators = std::max(0, actuatorCount);
    const uint32_t n = static_cast<uint32_t>(g.actuators);
    // The kit's geometry for the count: a model's grid and mask, or the smallest square that holds the actuators.
    DMGEOMETRY geometry{};
    if (KRVGetModelGeometry(n, &geometry) != NO_ERR) return g;
    g.width = static_cast<int>(geometry.Width);
    g.layout = static_cast<DMLayout>(geometry.Layout);
    g.segmented = geometry.Segmented != 0;
    if (geometry.HasMask) {
        std::vector<int32_t> cells(static_cast<size_t>(geometry.Width) * geometry.Width);
        if (KRVGetGridMask(n, cells.data(), static_cast<uint32_t>(cells.size())) == NO_ERR)
            g.mask.assign(cells.begin(), cells.end());
    }
    return g;
}

int AOControl::gridWidth() const {
    if (dm_.ActCountWidth != 0) return static_cast<int>(dm_.ActCountWidth);
    DMGEOMETRY geometry;
    return KRVGetModelGeometry(dm_.ActCount, &geometry) == NO_ERR ? static_cast<int>(geometry.Width) : 0;
}
