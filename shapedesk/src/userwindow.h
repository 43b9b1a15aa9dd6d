// The ShapeDesk main window: opens a mirror through its controller, shows the commands in the mirror view,
// and offers actuator, segment, shape and Zernike control.
#pragma once

#include "aocontrol.h"
#include "mirrorsession.h"
#include "dmview.h"
#include "editors.h"
#include "surfacepictures.h"
#include "surfaceview.h"

#include <QDir>
#include <QMainWindow>
#include <QPointer>
#include <QVector>

#include <opencv2/core.hpp>

#include <map>
#include <memory>
#include <tuple>
#include <vector>

namespace Ui {
class UserWindow;
}
class ReadoutStyle;
class TickStyle;
class QDoubleSpinBox;
class QLabel;
class QRadioButton;
class QLineEdit;
class QSlider;
class QSpinBox;

class UserWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit UserWindow(QWidget* parent = nullptr);
    ~UserWindow() override;

    // For the program's tests and benchmarks: what the window holds.
    Ui::UserWindow* form() const { return ui; }
    AOControl& controller() { return session->control(); }
    MirrorSession& mirrorSession() { return *session; }
    const std::vector<double>& currentFrame() const { return session->frame(); }
    int selectedActuator() const { return selected; }
    void selectActuator(int actuator) { selected = actuator; }
    DMScene* dmScene() const { return scene; }
    MirrorKit::DMGraphicsItem* mirrorItem() const { return mirror; }
    ActuatorSpinBox* actuatorEditor() const { return actuatorEdit; }
    SegmentEditor* segmentEditor() const { return segmentEdit; }
    QString statusText() const;
    QString statusStyle() const;
    QDir shapesDirectory() const { return shapesDir; }
    // The start-up (the mirror used last reopened, 100 ms after construction) is over.
    bool startedUp() const { return startedUp_; }
    // The mirror to open at start instead of the one used last (the program's SERIAL argument).
    void setStartSerial(const QString& serial) { startSerial = serial; }
    // Opens a mirror as File > Open does once a profile is chosen.
    bool openMirror(const QString& sn, const QString& profilePath);
    // Reads and sends a shape file, as choosing it in the shapes box does.
    void loadShape(const QString& path);
    // Draws now what the next screen refresh would draw (a benchmark counts one refresh per step).
    void refreshViews() { pacer->refreshNow(); }
    RefreshPacer& refreshPacer() { return *pacer; }
    // How Zernike surfaces are drawn: from one precomputed picture per term, summed and coloured a run of
    // points at a time (Fused), or summed into whole planes first and those coloured (Planes, the same pixels and
    // numbers); Off draws every surface from the session's surfaces themselves (the two must look the same).
    // Whether the last drawing used the terms.
    enum class SeriesPictures { Off, Planes, Fused };
    void setSeriesPictures(SeriesPictures how);
    void setSeriesPictures(bool on) { setSeriesPictures(on ? SeriesPictures::Fused : SeriesPictures::Off); }
    bool lastDrawnFromSeries() const { return lastFromSeries; }
    // The style the readouts (P-V, RMS, the terms' values) draw their text with; null when the application's
    // style cannot be made again for them.
    const ReadoutStyle* readoutTextStyle() const { return readoutStyle; }
    const TickStyle* sliderTickStyle() const { return tickStyle; }
    // Opens (or watches) a served mirror, as File > Connect to Server... does once the dialog is accepted.
    bool openRemoteMirror(const RemoteTarget& target);

signals:
    void highlightStyle(const QString& s);

public slots:
    void updateView();
    void openDefaultProfile();
    void on_actionOpen_triggered();
    void on_shapesBox_activated(const QString& shapeName);
    void showActuatorEditor(QPointF graphicCoords);
    void showSegmentEditor();
    void onSceneClicked(QPointF p);
    void onSegmentClicked(int i, QPointF p);
    void onActuatorChanged(double value);
    void onSegmentChanged(double piston, double xTilt, double yTilt);
    void on_actionLoad_Shape_triggered();
    void on_actionSave_As_triggered();
    void on_pistonSlider_valueChanged(int value);
    void on_actionPokeAll_triggered();
    void on_actionZeroAll_triggered();
    void on_actionPoke_Next_triggered();
    void on_actionPoke_Previous_triggered();
    void enableGrid(bool e);
    void on_actionOpenMap_triggered();
    void on_actionLoadCalibration_triggered();
    void on_actuatorControlRadio_toggled(bool checked);
    void on_zernikeControlRadio_toggled(bool checked);
    void updatePistonRange(int min, int max);
    void on_xTiltSlider_valueChanged(int value);
    void on_yTiltSlider_valueChanged(int value);
    void on_actionAbout_triggered();
    void on_actionApply_Offsets_toggled(bool applyOffsets);
    void on_actionHigh_Res_Mode_triggered(bool checked);
    void updateZernike();
    void setStatusMessage(const QString& msg);
    void on_resetZernikeButton_clicked();
    void on_apertureDiameterEdit_valueChanged(int dm_diameter);
    void on_segmentControlRadio_toggled(bool checked);
    void on_shapeControlRadio_toggled(bool checked);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QDir directoryFor(const QString& name);
    void fillShapesBox();
    void setControlsEnabled(bool enabled);
    void showCalibratedControls();
    void rebuildMirror();
    void showError(KRVRC rc);
    void onMirrorChanged();
    void onStatusCleared(const QString& message);
    void onFrameChanged();
    void onSurfacesChanged();
    void onPokeProgress(int actuator, int count);
    void onPokeAllFinished(bool completed);
    void enableControlsForMode();
    void clearSurfaceViews();
    double pokeLevel() const;
    void movePoke(int step);
    void sendPokeLevel();
    void placeEditor(QWidget* editor, QPointF at);
    double surfaceReach() const;
    void refreshSurfaces();
    // Pictures coloured whole, and the smooth surface's numbers.
    struct Pictures {
        QImage target, smooth;
        shapes::SurfaceStats smoothStats;
    };
    void drawPlanes(const shapes::SurfacePlanes& planes, double lo, double hi, Pictures* drawn) const;
    void refreshPistonRange();
    void setZernikeRanges(int pistonMin, int pistonMax, int reach);
    QString title() const;
    // File > Connect to Server... and File > Disconnect.
    void addServerActions();
    void connectToServer();
    void onConnectionLost(const QString& text);

    Ui::UserWindow* ui;
    MirrorSession* session;
    RefreshPacer* pacer;
    ReadoutStyle* readoutStyle = nullptr;
    TickStyle* tickStyle = nullptr;
    // The surfaces wait for the next refresh; a Zernike series (and its aperture) when the last surface was one.
    bool surfacesDirty = false;
    std::vector<double> surfaceSeries;
    int surfaceSeriesDiameter = 0;
    std::shared_ptr<const shapes::PictureGeometry> pictureGeometry;
    shapes::ZernikePictures zernikePictures;
    SeriesPictures seriesPictures = SeriesPictures::Fused;
    bool lastFromSeries = false;
    int selected = -1;
    DMScene* scene = nullptr;
    MirrorKit::DMGraphicsItem* mirror = nullptr;
    QVector<QRgb> colorTable;
    const QString editorStyle16 = "border: black; font-size: 16pt; selection-background-color: %0;";
    const QString editorStyle14 = "border: black; font-size: 14pt; selection-background-color: %0;";
    QDir shapesDir;
    QList<QSlider*> zernikeSliders;
    QDoubleSpinBox* pokeValueBox = nullptr;
    QDoubleSpinBox* pistonValueBox = nullptr;
    QSpinBox* pokeActuatorBox = nullptr;
    QPointer<ActuatorSpinBox> actuatorEdit;
    QPointer<SegmentEditor> segmentEdit;
    QPointF segmentClickPos;
    std::pair<int, int> currentPistonRange{0, 1};
    std::map<QRadioButton*, QAction*> radioActions;
    bool closing = false;
    bool startedUp_ = false;
    QString startSerial;
    QAction* connectAction = nullptr;
    QAction* disconnectAction = nullptr;
};
