// A mirror cabled to this computer, through the kit's C interface.
#include "mirrorlink.h"

#include "aocontrol.h"

#include <KRV_OpenLoop.h>
#include <KRV_PCIeAPI.h>

namespace {

class LocalLink : public MirrorLink {
public:
    explicit LocalLink(DM& dm) : dm_(dm) {}

    KRVRC send(const std::vector<double>& values, const uint32_t* map) override {
        return note(KRVSetArray(&dm_, values.data(), map));
    }
    KRVRC read(std::vector<double>& frame) override {
        frame.assign(dm_.ActCount, 0.0);
        return note(KRVGetArray(&dm_, frame.data(), dm_.ActCount));
    }
    KRVRC clear() override { return note(KRVClearArray(&dm_)); }
    KRVRC close() override { return note(KRVClose(&dm_)); }

    KRVRC calculateSurface(cv::Mat phase, int diameter, unsigned options, std::vector<double>& commands,
                           cv::Mat& lowRes) override {
        return note(KRVCalculateSurfaceEx(&dm_, phase.ptr<double>(), phase.cols, phase.rows, diameter, options,
                                          commands.data(), static_cast<unsigned>(commands.size()),
                                          lowRes.ptr<double>(), static_cast<unsigned>(lowRes.total())));
    }
    KRVRC zernikeSurface(std::vector<double> coefficients, int diameter, cv::Mat& surface) override {
        return note(KRVZernikeSurface(&dm_, coefficients.data(), static_cast<int>(coefficients.size()), diameter, 0,
                                      surface.ptr<double>(), static_cast<unsigned>(surface.total())));
    }
    KRVRC setSegment(unsigned segment, double piston, double xTilt, double yTilt, bool applyOffsets,
                     bool sendNow) override {
        return note(KRVSetSegment(&dm_, segment, piston, xTilt, yTilt, applyOffsets, sendNow));
    }
    KRVRC segmentRange(unsigned segment, DMSegmentAxis axis, double piston, double xTilt, double yTilt,
                       bool applyOffsets, double& lo, double& hi) override {
        return note(KRVGetSegmentRange(&dm_, segment, axis, piston, xTilt, yTilt, applyOffsets, &lo, &hi));
    }
    KRVRC loadCalibration(const QString& file) override {
        const QByteArray name = file.toLocal8Bit();
        return note(KRVLoadCalibrationFile(&dm_, name.constData()));
    }
    bool calibrationLoaded() const override {
        // The calibration object hangs from the record's working state while a table is loaded.
        bool loaded = false;
        return KRVIsCalibrationLoaded(&dm_, &loaded) == NO_ERR && loaded;
    }
    KRVRC enableHighRes(bool enable) override { return note(KRV_PCIeEnableHighRes(&dm_, enable ? 1 : 0)); }
    MirrorGeometry geometry() const override { return AOControl::geometryFor(static_cast<int>(dm_.ActCount)); }
    QString lastMessage() const override { return QString::fromLocal8Bit(KRVErrorString(last_)); }

private:
    KRVRC note(KRVRC rc) { return last_ = rc; }
    DM& dm_;
    KRVRC last_ = NO_ERR;
};

}  // namespace

std::unique_ptr<MirrorLink> makeLocalLink(DM& dm) { return std::make_unique<LocalLink>(dm); }
