// The controller between the ShapeDesk window and the kit: one open mirror, its map, its last result code.
#pragma once

#include "mirrorlink.h"

#include <KRV.h>

#include <QObject>
#include <QString>

#include <opencv2/core.hpp>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

// Asks the user for a whole number (the PCIe card to use). Returns false when the user cancels.
// The window supplies one that shows a dialog; tests supply their own answers.
struct IntegerQuestion {
    QString title;
    QString label;
    int value = 0;
    int minimum = 0;
    int maximum = 0;
    int step = 1;
};
using IntegerChooser = std::function<bool(const IntegerQuestion& question, int* answer)>;

class AOControl : public QObject {
    Q_OBJECT
public:
    explicit AOControl(QObject* parent = nullptr);
    ~AOControl() override;

    // Who answers the card question when more than one PCIe card is installed. Without one, the card
    // that the kit chose itself is kept.
    void setCardChooser(IntegerChooser chooser) { cardChooser_ = std::move(chooser); }

    // Opens the mirror `sn` with profiles from `path` (empty: the kit's default), closing any open one first.
    // The returned copy of the record has an actuator count of 0 when opening failed.
    Q_INVOKABLE DM initialize(const QString& sn, const QString& path);
    // Opens a mirror served by mirrorkit-server (or watches one), closing any open one first. False when that
    // failed: lastError() and lastMessage() say why, and no mirror is open.
    bool connectRemote(const RemoteTarget& target);
    Q_INVOKABLE KRVRC setDMShape(std::vector<double> data);
    Q_INVOKABLE KRVRC setDMShape(cv::Mat& data);
    Q_INVOKABLE KRVRC setDMAllSegments(int piston, double xTilt, double yTilt);
    Q_INVOKABLE KRVRC setDMSegment(int segment, int piston, double xTilt, double yTilt);
    // Calculates commands for a target surface (nm) and sends them; targetSurface_out receives the surface on
    // the actuator grid. 28 (out of calibration range) means the shape was sent with best effort.
    Q_INVOKABLE KRVRC setDMSurface(cv::Mat target, cv::Mat& targetSurface_out, int dm_diameter, bool absolute);
    Q_INVOKABLE KRVRC setDMZernikeSurface(std::vector<double> coeffs, cv::Mat& targetSurface_out, int dm_diameter);
    // The Zernike surface (nm) on the actuator grid for these coefficients, computed only: nothing is sent, and
    // lastError() still tells the last call that acted on the mirror.
    KRVRC zernikeSurface(std::vector<double> coeffs, cv::Mat& surface_out, int dm_diameter);
    Q_INVOKABLE std::vector<double> getDMShape();
    Q_INVOKABLE std::pair<int, int> pistonRange(int segment, double xTilt, double yTilt);
    // Reachable x- or y-tilt (radians) of a segment with the other axes held; (0, 0) when there is none.
    Q_INVOKABLE std::pair<double, double> tiltRange(int segment, DMSegmentAxis axis, double piston, double otherTilt);
    Q_INVOKABLE int getNumActuators() const { return static_cast<int>(dm_.ActCount); }
    Q_INVOKABLE KRVRC close();
    Q_INVOKABLE bool isOpen() const { return link_ && dm_.ActCount != 0; }
    // The open mirror is served by a server ("host:port" of server()); watching: its frames are only shown.
    bool isRemote() const { return isOpen() && link_->isRemote(); }
    bool watching() const { return isOpen() && link_->watching(); }
    QString server() const { return isOpen() ? link_->server() : QString(); }
    // A served mirror whose server is gone.
    bool connectionLost() const { return isOpen() && link_->connectionLost(); }
    // The mirror link, for a watcher of its frames; null when no mirror is open.
    MirrorLink* link() { return isOpen() ? link_.get() : nullptr; }
    // Checks a map file before the kit reads it: every line a whole number, an entry for every channel the
    // mirror has, none beyond it (4096 marks an unused entry). A refused map leaves the map in use unchanged;
    // mapProblem() says why.
    Q_INVOKABLE bool loadMap(const QString& mapFile, bool defaultMap = false);
    QString mapProblem() const { return mapProblem_; }
    Q_INVOKABLE bool loadCalibration(const QString& calFile);
    Q_INVOKABLE bool hasCalibration() const;
    // The profile named a calibration table that did not load when the mirror opened.
    bool calibrationFailedAtOpen() const { return calibrationFailed_; }
    Q_INVOKABLE void setApplyOffsets(bool applyOffsets) { applyOffsets_ = applyOffsets; }
    Q_INVOKABLE bool setEnableHighRes(bool enable);
    Q_INVOKABLE KRVRC lastError() const { return lastError_; }
    // What the kit (or the server) said about the last failure.
    QString lastMessage() const;

    // The profile directory in use; with no mirror opened yet, the kit's default.
    QString profilePath();
    QString serialNumber() const { return serialNumber_; }
    QString defaultMapFile() const { return mapFile_; }
    QString calibrationFile() const { return calFile_; }
    const DM& record() const { return dm_; }
    // Grid width of the open mirror's model (actuators across).
    int gridWidth() const;
    // The open mirror's geometry (an empty one when none is open), and any model's by its actuator count.
    MirrorGeometry geometry() const { return isOpen() ? link_->geometry() : geometryFor(0); }
    static MirrorGeometry geometryFor(int actuatorCount);
    bool segmented() const { return geometry().segmented; }

private:
    void closeAfterFailure();
    void closeOpenMirror();
    KRVRC solveAndSend(const cv::Mat& surface, cv::Mat& surfaceOut, int dm_diameter, unsigned options);

    DM dm_{};
    // How the open mirror is reached.
    std::unique_ptr<MirrorLink> link_;
    KRVRC lastError_ = NO_ERR;
    QString connectMessage_;
    QString serialNumber_;
    QString profilePath_;
    // Empty while the profile names no map: the kit then sends with the map it holds itself.
    std::vector<uint32_t> map_;
    const uint32_t* mapInUse() const { return map_.empty() ? nullptr : map_.data(); }
    QString mapProblem_;
    bool calibrationFailed_ = false;
    QString mapFile_;
    QString calFile_;
    bool applyOffsets_ = false;
    IntegerChooser cardChooser_;
};
