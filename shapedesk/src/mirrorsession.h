// What ShapeDesk holds about the mirror it drives, without any widget: the frame, the segments' piston and
// tilts, the poke walk, the shape-length rule, unit conversions, the surfaces of the last shape, and zeroing
// when the mirror is closed. The window draws what this says and forwards what the user does.
#pragma once

#include "aocontrol.h"
#include "framewatcher.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <opencv2/core.hpp>

#include <map>
#include <memory>
#include <vector>

class MirrorSession : public QObject {
    Q_OBJECT
public:
    // Piston in nm, tilts in radians.
    struct Segment {
        double piston = 0.0;
        double xTilt = 0.0;
        double yTilt = 0.0;
    };
    // A shape the session sent, and the warning that went with it (empty when it went as given).
    struct Outcome {
        KRVRC rc = NO_ERR;
        QString warning;
    };

    static constexpr double kPokeValue = 0.8;
    static constexpr int kPokeHoldMs = 50;

    explicit MirrorSession(QObject* parent = nullptr);
    // A session that goes away leaves its mirror at zero and closed.
    ~MirrorSession() override;

    AOControl& control() { return control_; }
    const AOControl& control() const { return control_; }

    // Opens the mirror, closing (and zeroing) the one open before; on failure no mirror is open. Either way every
    // state of the previous mirror is gone and mirrorChanged() is emitted.
    bool open(const QString& serial, const QString& profilePath);
    // Opens a mirror served by mirrorkit-server, or watches one (its frames shown as they come, nothing
    // written), closing the one open before. On failure no mirror is open: lastErrorText() says why.
    bool openRemote(const RemoteTarget& target);
    // Zeroes the mirror and closes it (a served mirror is released and left to its server, which zeroes it when
    // its last client goes).
    void close();
    bool isRemote() const { return control_.isRemote(); }
    bool watching() const { return control_.watching(); }
    // "host:port" of a served mirror's server.
    QString server() const { return control_.server(); }
    // "Error <code>: <the kit's or the server's message>" for a failure of the open mirror's last call.
    QString lastErrorText(KRVRC rc) const;
    bool isOpen() const { return control_.isOpen(); }
    QString serialNumber() const { return control_.serialNumber(); }
    int actuatorCount() const { return control_.getNumActuators(); }
    const MirrorGeometry& geometry() const { return geometry_; }
    bool hasCalibration() const { return control_.hasCalibration(); }

    // ---- the frame ----
    const std::vector<double>& frame() const { return frame_; }
    // Sends a whole frame (one value per actuator; anything else is refused with ERR_BADARG).
    KRVRC sendFrame(std::vector<double> values);
    KRVRC setAll(double level);
    KRVRC setActuator(int actuator, double value);
    KRVRC zero();
    // An actuator list from a file: a short list is padded with zeros, a long one cut to the mirror, each with a
    // warning that says so.
    Outcome sendActuatorList(std::vector<double> values);

    // ---- segments (piston in nm; tilts in the units the controls show) ----
    static double microradians(double rad) { return rad * 1e6; }
    static double milliradians(double rad) { return rad * 1e3; }
    static double fromMicroradians(double urad) { return urad * 1e-6; }
    static double fromMilliradians(double mrad) { return mrad * 1e-3; }
    KRVRC setAllSegments(double piston, double xTiltMicroradians, double yTiltMicroradians);
    KRVRC setSegment(int segment, double piston, double xTiltMilliradians, double yTiltMilliradians);
    Segment segment(int segment) const;
    void setApplyOffsets(bool apply);
    bool applyOffsets() const { return applyOffsets_; }
    // The segments' states sent again (after Apply Offsets changed).
    KRVRC resendSegments();

    // ---- surfaces (nm) ----
    // A phase map solved by the kit for the aperture diameter given (0: grid width less three), as any caller of
    // the kit would; 28 (out of range) means sent with best effort.
    KRVRC setPhaseMap(const cv::Mat& map, int apertureDiameter);
    KRVRC setZernike(const std::vector<double>& coefficients, int apertureDiameter);
    // The target surface on the actuator grid, the region where the mirror acts on it (the aperture), and the
    // surface the mirror is expected to make: the target as the mirror's stroke clips it. Empty before a shape.
    const cv::Mat& targetSurface() const { return target_; }
    const cv::Mat& apertureRegion() const { return region_; }
    const cv::Mat& expectedSurface() const { return expected_; }
    // The reach of the mirror (piston range, nm) that clips the expected surface.
    std::pair<double, double> stroke() const { return stroke_; }
    void clearSurfaces();

    // ---- pokes ----
    int pokeIndex() const { return pokeIndex_; }
    void setPokeIndex(int actuator) { pokeIndex_ = actuator; }
    // Moves the poke by step (wrapping): the actuator left returns to `level`, the new one takes the value the
    // left one had (a full poke when none was selected).
    KRVRC movePoke(int step, double level);
    // Pokes this actuator (typed in), the others at level.
    KRVRC pokeActuator(int actuator, double level);
    // Pokes every actuator in turn (kPokeValue for kPokeHoldMs each, the others at `level`) driven by a timer;
    // the mirror goes back to the frame it had when the walk ends or is stopped.
    bool startPokeAll(double level);
    void stopPokeAll();
    bool pokingAll() const { return pokeTimer_.isActive(); }

    static QString errorText(KRVRC rc);

signals:
    void mirrorChanged();
    void frameChanged();
    void surfacesChanged();
    void status(const QString& text);
    void error(const QString& text);
    void pokeProgress(int actuator, int count);
    void pokeAllFinished(bool completed);
    // A served mirror was lost (the server went away, the watched session closed): the session is closed.
    void connectionLost(const QString& text);

private:
    void reset();
    void stopWatching();
    void checkConnection();
    void lose(const QString& text);
    void onWatchedFrame(const std::vector<double>& values);
    void readBack();
    void pokeTick();
    void finishPokeAll(bool completed);
    // The grid is the session's own: it becomes the target surface.
    KRVRC afterSurface(KRVRC rc, cv::Mat grid, int apertureDiameter, bool absolute);

    AOControl control_;
    MirrorGeometry geometry_;
    std::vector<double> frame_;
    std::map<int, Segment> segments_;
    bool applyOffsets_ = false;
    cv::Mat target_, region_, expected_;
    // The aperture's circle on the grid, for the last size and diameter.
    struct Circle {
        cv::Mat mask;
        double diameter = 0.0;
        std::vector<std::pair<int, int>> runs;  // per row: [first, end) columns inside, empty if none
    } circle_;
    std::pair<double, double> stroke_{0.0, 0.0};
    int pokeIndex_ = -1;
    KRVRC pokeAt(int actuator, double value, double level);
    // The walk over every actuator.
    QTimer pokeTimer_;
    std::vector<double> beforePokeAll_;
    double pokeAllLevel_ = 0.0;
    int pokeAllNext_ = 0;
    // A served mirror: the watcher of its frames, and the look-out for a server that went away.
    std::unique_ptr<FrameWatcher> watcher_;
    QTimer connectionTimer_;
};
