// The ShapeDesk main window: opens a mirror through its controller, shows the commands in the mirror view,
// and offers actuator, segment, shape and Zernike control.
#include "userwindow.h"

#include "dialogs.h"
#include "editors.h"
#include "shapes.h"
#include "ui_userwindow.h"

#include "desklog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QGraphicsProxyWidget>
#include <QGuiApplication>
#include <QSettings>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>

#include <cmath>
#include <cstdlib>

namespace {

log4cxx::LoggerPtr logger() {
    static const log4cxx::LoggerPtr log = log4cxx::Logger::getLogger("KRV.ShapeDesk");
    return log;
}

// Settings keys.
const char* const kSerialNumberKey = "SerialNumber";
const char* const kEnableGridKey = "enableGrid";

QSettings settings() { return QSettings(QStringLiteral("Velmira"), QStringLiteral("ShapeDesk")); }

}  // namespace

static void initResources() { Q_INIT_RESOURCE(shapedesk); }

UserWindow::UserWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::UserWindow), dm(new AOControl(this)) {
    initResources();
    KRVInitLog();
    ui->setupUi(this);
    setObjectName("ShapeDesk");
    setWindowTitle(title());
    setWindowIcon(QIcon(":/shapedesk.png"));
    dm->setCardChooser([this](const IntegerQuestion& q, int* answer) { return Dialogs::current().getInt(this, q, answer); });

    QStyle* st = style();
    ui->actionOpen->setIcon(st->standardIcon(QStyle::SP_DialogOpenButton));
    ui->actionLoad_Shape->setIcon(st->standardIcon(QStyle::SP_FileIcon));
    ui->actionSave_As->setIcon(st->standardIcon(QStyle::SP_DialogSaveButton));
    ui->actionZeroAll->setIcon(st->standardIcon(QStyle::SP_DialogResetButton));
    ui->actionPokeAll->setIcon(st->standardIcon(QStyle::SP_MediaPlay));
    ui->actionPoke_Previous->setIcon(st->standardIcon(QStyle::SP_MediaSeekBackward));
    ui->actionPoke_Next->setIcon(st->standardIcon(QStyle::SP_MediaSeekForward));
    connect(ui->actionQuit, &QAction::triggered, this, &QWidget::close);

    pokeValueBox = new QDoubleSpinBox(this);
    pokeValueBox->setPrefix("Poke Value ");
    pokeValueBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    pokeValueBox->setFrame(false);
    pokeValueBox->setDecimals(3);
    pokeValueBox->setRange(0.0, 1.0);
    pokeValueBox->setEnabled(false);
    pistonValueBox = new QDoubleSpinBox(this);
    pistonValueBox->setPrefix("Piston Value ");
    pistonValueBox->setRange(-5000, 5000);
    pistonValueBox->setDecimals(0);
    pistonValueBox->setEnabled(false);
    pokeActuatorBox = new QSpinBox(this);
    pokeActuatorBox->setPrefix("Poke Actuator ");
    pokeActuatorBox->setMaximum(4096);
    pokeActuatorBox->setEnabled(false);
    ui->statusBar->addPermanentWidget(pokeActuatorBox);
    ui->statusBar->addPermanentWidget(pokeValueBox);
    ui->statusBar->addPermanentWidget(pistonValueBox);

    for (QRadioButton* radio : {ui->actuatorControlRadio, ui->segmentControlRadio, ui->shapeControlRadio,
                                ui->zernikeControlRadio})
        radioActions[radio] = ui->mainToolBar->addWidget(radio);
    ui->controlModeHolder->hide();
    // A widget in a toolbar is shown and hidden through its action.
    radioActions[ui->actuatorControlRadio]->setVisible(false);
    for (QRadioButton* radio : {ui->segmentControlRadio, ui->shapeControlRadio, ui->zernikeControlRadio}) {
        radioActions[radio]->setVisible(false);
        radio->setEnabled(false);
    }
    ui->actuatorControlRadio->setChecked(true);

    for (int i = 0; i < 15; ++i) {
        QSlider* slider = findChild<QSlider*>(QString("zern%1").arg(i));
        zernikeSliders << slider;
        connect(slider, &QSlider::valueChanged, this, &UserWindow::updateZernike);
    }

    // The mirror view.
    scene = new DMScene(this);
    scene->setBackgroundBrush(palette().window());
    mirror = new MirrorKit::DMGraphicsItem();
    scene->addItem(mirror);
    colorTable = makeColorTable(palette());
    mirror->setColorTable(colorTable);
    mirror->enableGrid(ui->actionShow_Grid->isChecked());
    connect(ui->actionShow_Grid, &QAction::toggled, this, &UserWindow::enableGrid);
    scene->setSceneRect(mirror->boundingRect());
    ui->graphicsView->setScene(scene);
    ui->graphicsView->fitInView(scene->sceneRect(), Qt::KeepAspectRatio);
    connect(scene, &DMScene::mouseClicked, this, &UserWindow::onSceneClicked);
    connect(scene, &DMScene::segmentClicked, this, &UserWindow::onSegmentClicked);

    // Scale bar: the top row is the highest command.
    const int barWidth = std::max(1, ui->scaleBarLabel->width());
    const int barHeight = 800;
    QImage bar(barWidth, barHeight, QImage::Format_Indexed8);
    bar.setColorTable(colorTable);
    for (int row = 0; row < barHeight; ++row) bar.scanLine(row)[0] = 0, std::fill_n(bar.scanLine(row), barWidth,
        static_cast<uchar>(254 - row * 254 / (barHeight - 1)));
    ui->scaleBarLabel->setPixmap(QPixmap::fromImage(bar));

    ui->mainToolBar->addWidget(ui->shapesBox);
    fillShapesBox();
    setControlsEnabled(false);
    QTimer::singleShot(100, this, &UserWindow::openDefaultProfile);
}

UserWindow::~UserWindow() { delete ui; }

QString UserWindow::title() const { return QStringLiteral("KRV ShapeDesk"); }

QString UserWindow::statusText() const { return ui->statusBar->currentMessage(); }
QString UserWindow::statusStyle() const { return ui->statusBar->styleSheet(); }

void UserWindow::setStatusMessage(const QString& msg) {
    const QString text = msg.toLower();
    QString style;
    if (text.contains("error") || text.contains("could not open"))
        style = "background: red; color: white;";
    else if (text.contains("warn"))
        style = "background: yellow; color: black;";
    else if (text.contains("waiting for"))
        style = "background: cyan; color: black;";
    // Setting a style sheet restyles the whole bar: only when it changes (a slider step sets a message each time).
    if (ui->statusBar->styleSheet() != style) ui->statusBar->setStyleSheet(style);
    ui->statusBar->showMessage(msg, 0);
}

void UserWindow::showError(KRVRC rc) {
    setStatusMessage(QString("Error %0: %1").arg(static_cast<unsigned>(rc)).arg(KRVErrorString(rc)));
}

QDir UserWindow::directoryFor(const QString& name) {
    const QByteArray krv = qgetenv("KRV");
    const QString start = krv.isEmpty() ? dm->profilePath() : QString::fromLocal8Bit(krv);
    QDir dir = QFileInfo(start).dir();
    return QDir(dir.filePath(name));
}

void UserWindow::fillShapesBox() {
    shapesDir = directoryFor("Shapes");
    ui->shapesBox->clear();
    for (const QFileInfo& f : shapesDir.entryInfoList({"*.txt", "*.csv"}, QDir::Files, QDir::Name))
        ui->shapesBox->addItem(f.fileName(), f.absoluteFilePath());
    ui->shapesBox->setCurrentIndex(-1);
}

void UserWindow::setControlsEnabled(bool enabled) {
    for (QAction* a : {ui->actionSave_As, ui->actionPokeAll, ui->actionZeroAll, ui->actionPoke_Next,
                       ui->actionPoke_Previous, ui->actionOpenMap, ui->actionLoadCalibration, ui->actionLoad_Shape,
                       ui->actionApply_Offsets})
        a->setEnabled(enabled);
    for (QWidget* w : std::initializer_list<QWidget*>{ui->pistonSlider, ui->xTiltSlider, ui->yTiltSlider,
                                                      ui->zernikeBox, ui->shapesBox, ui->graphicsView})
        w->setEnabled(enabled);
    if (!enabled) ui->actionHigh_Res_Mode->setEnabled(false);
}

void UserWindow::showCalibratedControls() {
    ui->actuatorControlRadio->setChecked(true);
    if (!ui->segmentControlRadio->isEnabled()) {
        for (QRadioButton* radio : {ui->actuatorControlRadio, ui->segmentControlRadio, ui->shapeControlRadio,
                                    ui->zernikeControlRadio})
            radioActions[radio]->setVisible(true);
        for (QRadioButton* radio : {ui->segmentControlRadio, ui->shapeControlRadio, ui->zernikeControlRadio})
            radio->setEnabled(true);
    }
}

void UserWindow::rebuildMirror() {
    const bool segments = ui->segmentControlRadio->isChecked();
    if (actuatorEdit) actuatorEdit->deleteLater();
    if (segmentEdit) segmentEdit->deleteLater();
    mirror->build(dm->getNumActuators(), segments);
    mirror->setValues(frame);
    updateView();
}

void UserWindow::openDefaultProfile() {
    QSettings s = settings();
    const QString sn = s.value(kSerialNumberKey, QString()).toString();
    ui->actionShow_Grid->setChecked(s.value(kEnableGridKey, false).toBool());
    if (openMirror(sn, QString())) {
        setStatusMessage(QString("Opened DM %0.").arg(sn));
        return;
    }
    setStatusMessage("No DM connection open. Select \"File > Open DM\" to begin");
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("Could not open default profile:\n%0\nPlease ensure that your hardware is "
                                        "connected and powered on.\nSelect a profile using File > Open.")
                                    .arg(sn));
}

bool UserWindow::openMirror(const QString& sn, const QString& profilePath) {
    const DM record = dm->initialize(sn, profilePath);
    if (record.ActCount == 0) {
        setControlsEnabled(false);
        if (dm->lastError() == ERR_INVALID_LUT)
            Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                        QString("Could not open default mapping file for DM:\n%0\nPlease contact KRV "
                                                "for the correct profile and mapping for this DM.")
                                            .arg(QString::fromLocal8Bit(record.MappingFile)));
        return false;
    }
    selected = -1;
    segmentTTP.clear();
    setControlsEnabled(true);
    // A profile that names a calibration table opens with it loaded: offer what a loaded table offers.
    if (dm->hasCalibration()) showCalibratedControls();
    ui->actuatorControlRadio->setChecked(true);
    frame = dm->getDMShape();
    rebuildMirror();
    fillShapesBox();
    dm->setDMShape(frame);
    const int width = dm->gridWidth();
    {
        const QSignalBlocker block(ui->apertureDiameterEdit);
        ui->apertureDiameterEdit->setMaximum(width - 1);
        ui->apertureDiameterEdit->setValue(width - 3);
    }
    if (dm->hasCalibration()) refreshPistonRange();
    QTimer::singleShot(100, this, &UserWindow::updateView);
    const bool highRes = dm->setEnableHighRes(false);
    ui->actionHigh_Res_Mode->setChecked(false);
    ui->actionHigh_Res_Mode->setEnabled(highRes);
    setStatusMessage(QString("Opened DM %0.").arg(sn));
    setWindowTitle(QString("KRV ShapeDesk - %1").arg(sn));
    return true;
}

void UserWindow::on_actionOpen_triggered() {
    const QString file = Dialogs::current().openFileName(this, "Find DM Profile", directoryFor("Profiles").path(),
                                                         "DM Profile Files(*.dm)");
    if (file.isEmpty()) return;
    const QFileInfo info(file);
    const QString sn = info.completeBaseName();
    if (openMirror(sn, info.absolutePath())) {
        setStatusMessage(QString("Opened DM %0.").arg(sn));
        return;
    }
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("Could not open %0.\nPlease ensure that your hardware is connected and "
                                        "powered on and select the appropriate profile.")
                                    .arg(sn));
    setStatusMessage(QString("Could not open %0.").arg(sn));
}

void UserWindow::on_actionOpenMap_triggered() {
    const QString file = Dialogs::current().openFileName(this, "Find DM Map", directoryFor("Map").path(),
                                                         "Map CSV Files(*.map *.csv)");
    if (file.isEmpty()) return;
    if (dm->loadMap(file)) {
        setStatusMessage(QString("Loaded map %0.").arg(QFileInfo(file).fileName()));
        dm->setDMShape(frame);
        return;
    }
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("Could not open %0.\nCheck connections and that the appropriate profile or "
                                        "map was selected.")
                                    .arg(file));
    setStatusMessage(QString("Could not open %0.").arg(file));
}

void UserWindow::on_actionLoadCalibration_triggered() {
    const QString file = Dialogs::current().openFileName(this, "Find DM Calibration",
                                                         directoryFor("Calibration").path(),
                                                         "Calibration Table Files(*.mat)");
    if (file.isEmpty()) return;
    if (dm->loadCalibration(file)) {
        showCalibratedControls();
        refreshPistonRange();
        setStatusMessage(QString("Loaded calibration %0.").arg(QFileInfo(file).fileName()));
        return;
    }
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("Could not open %0.\nCheck connections and that the appropriate profile was "
                                        "selected.")
                                    .arg(file));
    setStatusMessage(QString("Could not open %0.").arg(file));
}

// ---- the mirror view and its editors ----

void UserWindow::updateView() {
    mirror->setValues(frame);
    const QRectF bounds = mirror->sceneBoundingRect().adjusted(-0.5, -0.5, 0.5, 0.5);
    scene->setSceneRect(bounds);
    ui->graphicsView->fitInView(bounds, Qt::KeepAspectRatio);
}

void UserWindow::enableGrid(bool e) { mirror->enableGrid(e); }

void UserWindow::placeEditor(QWidget* editor, QPointF at) {
    QGraphicsProxyWidget* proxy = scene->addWidget(editor);
    proxy->setZValue(2);
    proxy->setPos(at);
    // The scene is drawn a few dozen pixels per unit; the editor keeps its own size on screen.
    const double scale = ui->graphicsView->transform().m11();
    if (scale > 0) proxy->setScale(1.0 / scale);
    // Kept inside the visible scene: an editor opened near an edge moves in.
    const QRectF box = proxy->sceneBoundingRect(), area = scene->sceneRect();
    QPointF pos = at;
    if (box.right() > area.right()) pos.rx() -= box.right() - area.right();
    if (box.bottom() > area.bottom()) pos.ry() -= box.bottom() - area.bottom();
    proxy->setPos(pos);
}

void UserWindow::onSceneClicked(QPointF p) {
    if (ui->actuatorControlRadio->isChecked()) showActuatorEditor(p);
}

void UserWindow::showActuatorEditor(QPointF graphicCoords) {
    const int a = mirror->actuatorAt(mirror->mapFromScene(graphicCoords));
    if (a < 0 || a >= static_cast<int>(frame.size())) return;
    selected = a;
    if (actuatorEdit) actuatorEdit->deleteLater();
    auto* editor = new ActuatorSpinBox();
    editor->setRange(0.0, 1.0);
    editor->setSingleStep(0.01);
    editor->setDecimals(ui->actionHigh_Res_Mode->isChecked() ? 6 : 3);
    editor->setKeyboardTracking(false);
    editor->setStyleSheet(editorStyle16.arg(mirror->actuatorColor(a).name()));
    editor->setValue(frame[static_cast<size_t>(a)]);
    placeEditor(editor, graphicCoords);
    connect(editor, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &UserWindow::onActuatorChanged);
    connect(editor, &ActuatorSpinBox::lostFocus, editor, &QObject::deleteLater);
    connect(this, &UserWindow::highlightStyle, editor, &QWidget::setStyleSheet);
    actuatorEdit = editor;
    editor->selectAll();
    editor->setFocus();
    pokeActuatorBox->setValue(a);
    pokeValueBox->setValue(frame[static_cast<size_t>(a)]);
}

void UserWindow::onActuatorChanged(double value) {
    if (selected < 0 || selected >= static_cast<int>(frame.size())) return;
    frame[static_cast<size_t>(selected)] = value;
    pokeValueBox->setValue(value);
    const KRVRC rc = dm->setDMShape(frame);
    if (rc != NO_ERR) showError(rc);
    mirror->setActuatorValue(selected, value);
    emit highlightStyle(editorStyle16.arg(mirror->actuatorColor(selected).name()));
}

void UserWindow::onSegmentClicked(int i, QPointF p) {
    if (!ui->segmentControlRadio->isChecked()) return;
    selected = i;
    segmentClickPos = p;
    showSegmentEditor();
}

void UserWindow::showSegmentEditor() {
    if (selected < 0) return;
    if (segmentEdit) segmentEdit->deleteLater();
    auto* editor = new SegmentEditor();
    double piston = 0, x = 0, y = 0;
    if (auto it = segmentTTP.find(selected); it != segmentTTP.end()) std::tie(piston, x, y) = it->second;
    const auto range = dm->pistonRange(selected, x, y);
    editor->setPistonRange(range.first, range.second);
    const double reference = piston != 0.0 ? piston : 0.5 * (range.first + range.second);
    const auto xr = dm->tiltRange(selected, DM_XTilt, reference, y);
    const auto yr = dm->tiltRange(selected, DM_YTilt, reference, x);
    editor->setXTiltRange(xr.first * 1000.0, xr.second * 1000.0);
    editor->setYTiltRange(yr.first * 1000.0, yr.second * 1000.0);
    editor->setValue(piston, x * 1000.0, y * 1000.0);
    editor->setStyleSheet(editorStyle14.arg(mirror->actuatorColor(3 * selected).name()));
    placeEditor(editor, segmentClickPos);
    connect(editor, &SegmentEditor::valueChanged, this, &UserWindow::onSegmentChanged);
    connect(editor, &SegmentEditor::lostFocus, editor, &QObject::deleteLater);
    connect(this, &UserWindow::highlightStyle, editor, &QWidget::setStyleSheet);
    segmentEdit = editor;
    editor->selectAll();
    pokeActuatorBox->setValue(selected);
}

void UserWindow::onSegmentChanged(double piston, double xTilt, double yTilt) {
    const int p = static_cast<int>(std::lround(piston));
    const KRVRC rc = dm->setDMSegment(selected, p, xTilt * 0.001, yTilt * 0.001);
    if (rc != NO_ERR) {
        showError(rc);
        return;
    }
    pistonValueBox->setValue(piston);
    segmentTTP[selected] = std::make_tuple(piston, xTilt * 0.001, yTilt * 0.001);
    frame = dm->getDMShape();
    mirror->setValues(frame);
    const auto range = dm->pistonRange(selected, xTilt * 0.001, yTilt * 0.001);
    if (segmentEdit) segmentEdit->setPistonRange(range.first, range.second);
    const double span = range.second - range.first;
    const double t = span > 0 ? 1.0 - (piston - range.first) / span : 0.0;
    const int index = std::clamp(static_cast<int>(std::lround(t * 254.0)), 0, 254);
    emit highlightStyle(editorStyle14.arg(QColor(colorTable[index]).name()));
}

// ---- pokes ----

double UserWindow::pokeLevel() const {
    const int span = ui->pistonSlider->maximum() - ui->pistonSlider->minimum();
    return span > 0 ? static_cast<double>(ui->pistonSlider->value()) / span : 0.0;
}

void UserWindow::on_actionPokeAll_triggered() {
    if (!dm->isOpen() || pokingAll) return;
    pokingAll = true;
    ui->actionPokeAll->setEnabled(false);
    setControlsEnabled(false);
    const std::vector<double> before = frame;
    const double level = pokeLevel();
    frame.assign(frame.size(), level);
    mirror->setValues(frame);
    for (size_t i = 0; i < frame.size() && !closing && dm->isOpen(); ++i) {
        frame[i] = 0.8;
        const KRVRC rc = dm->setDMShape(frame);
        if (rc != NO_ERR) showError(rc);
        mirror->setActuatorValue(static_cast<int>(i), 0.8);
        QCoreApplication::processEvents();
        // The window stays responsive while the actuator holds its poke.
        QEventLoop wait;
        QTimer::singleShot(50, &wait, &QEventLoop::quit);
        wait.exec();
        frame[i] = level;
        mirror->setActuatorValue(static_cast<int>(i), level);
    }
    frame = before;
    if (dm->isOpen()) {
        const KRVRC rc = dm->setDMShape(frame);
        if (rc != NO_ERR) showError(rc);
    }
    mirror->setValues(frame);
    setControlsEnabled(dm->isOpen());
    ui->actionHigh_Res_Mode->setEnabled(dm->record().DriverType == KRV_PCIE && dm->isOpen());
    pokingAll = false;
}

void UserWindow::on_actionZeroAll_triggered() {
    {
        const QSignalBlocker block(ui->pistonSlider);
        ui->pistonSlider->setValue(0);
    }
    for (QSlider* slider : zernikeSliders) {
        const QSignalBlocker block(slider);
        slider->setValue(0);
    }
    on_pistonSlider_valueChanged(ui->pistonSlider->value());
    frame.assign(frame.size(), 0.0);
    const KRVRC rc = dm->setDMShape(frame);
    if (rc != NO_ERR) showError(rc);
    mirror->setValues(frame);
}

void UserWindow::movePoke(int step) {
    const int n = static_cast<int>(frame.size());
    if (n == 0) return;
    // With nothing selected the walk starts with a full poke.
    const double remembered = selected >= 0 && selected < n ? frame[static_cast<size_t>(selected)] : 0.8;
    activateWindow();
    setFocus();
    int next = selected + step;
    if (next >= n) next = 0;
    if (next < 0) next = n - 1;
    on_pistonSlider_valueChanged(ui->pistonSlider->value());
    selected = next;
    pokeActuatorBox->setValue(next);
    onActuatorChanged(remembered);
}

void UserWindow::on_actionPoke_Next_triggered() { movePoke(+1); }
void UserWindow::on_actionPoke_Previous_triggered() { movePoke(-1); }

// ---- control modes ----

void UserWindow::on_pistonSlider_valueChanged(int value) {
    if (!dm->isOpen()) return;
    if (ui->actuatorControlRadio->isChecked()) {
        frame.assign(frame.size(), pokeLevel());
        const KRVRC rc = dm->setDMShape(frame);
        frame = dm->getDMShape();
        if (rc != NO_ERR) showError(rc);
        mirror->setValues(frame);
    } else if (ui->segmentControlRadio->isChecked()) {
        if (!dm->hasCalibration()) {
            setStatusMessage("Segment control requires an open loop calibration table.\nCalibration table not "
                             "loaded.\nGo to File > Load Calibration to load one.");
            return;
        }
        rememberedXTilt = ui->xTiltSlider->value();
        rememberedYTilt = ui->yTiltSlider->value();
        const KRVRC rc = dm->setDMAllSegments(value, rememberedXTilt / 1e6, rememberedYTilt / 1e6);
        if (rc != NO_ERR) showError(rc);
        pistonValueBox->setValue(value);
        frame = dm->getDMShape();
        mirror->setValues(frame);
    }
}

void UserWindow::on_actuatorControlRadio_toggled(bool checked) {
    const QSignalBlocker block(ui->pistonSlider);
    if (checked) {
        ui->pistonSlider->setRange(0, 2048);
        ui->pistonSlider->setTickInterval(204);
        ui->pistonSlider->setInvertedAppearance(false);
        ui->maxLabel->setText("1 - Max");
        ui->minLabel->setText("0 - Min");
        pokeActuatorBox->setPrefix("Poke Actuator ");
        if (dm->isOpen()) rebuildMirror();
        return;
    }
    if (!dm->isOpen()) return;
    DMGEOMETRY geometry;
    const bool segmented =
        KRVGetModelGeometry(static_cast<uint32_t>(dm->getNumActuators()), &geometry) == NO_ERR && geometry.Segmented;
    if (ui->segmentControlRadio->isChecked() && segmented) {
        // Tilt sliders in microradians, symmetric about 0: the reach of a segment halfway up its piston range,
        // where it tilts furthest.
        const auto pr = dm->pistonRange(0, 0.0, 0.0);
        const double mid = 0.5 * (pr.first + pr.second);
        const auto xr = dm->tiltRange(0, DM_XTilt, mid, 0.0);
        const auto yr = dm->tiltRange(0, DM_YTilt, mid, 0.0);
        const int xm = static_cast<int>(std::lround(std::max(std::abs(xr.first), std::abs(xr.second)) * 1e6));
        const int ym = static_cast<int>(std::lround(std::max(std::abs(yr.first), std::abs(yr.second)) * 1e6));
        const QSignalBlocker bx(ui->xTiltSlider), by(ui->yTiltSlider);
        ui->xTiltSlider->setRange(-xm, xm);
        ui->yTiltSlider->setRange(-ym, ym);
        rememberedXTilt = ui->xTiltSlider->value();
        rememberedYTilt = ui->yTiltSlider->value();
        pokeActuatorBox->setPrefix("Poke Segment ");
    } else {
        pokeActuatorBox->setPrefix("Poke Actuator ");
    }
    rebuildMirror();
    refreshPistonRange();
}

void UserWindow::refreshPistonRange() {
    const auto range = dm->pistonRange(0, ui->xTiltSlider->value() / 1e6, ui->yTiltSlider->value() / 1e6);
    currentPistonRange = range;
    if (!ui->actuatorControlRadio->isChecked()) {
        updatePistonRange(range.first, range.second);
    } else {
        // The slider stays a poke level; the Zernike terms still take their ranges from the mirror.
        const int m = std::max(std::abs(range.first), std::abs(range.second));
        const int r = static_cast<int>(std::lround(m * 0.5 / 1.4));
        zernikeSliders[0]->setRange(range.first, range.second);
        for (int i = 1; i < zernikeSliders.size(); ++i) zernikeSliders[i]->setRange(-r, r);
    }
}

void UserWindow::updatePistonRange(int min, int max) {
    ui->maxLabel->setText(QString("%0nm").arg(max));
    ui->minLabel->setText(QString("%0nm").arg(min));
    {
        const QSignalBlocker block(ui->pistonSlider);
        ui->pistonSlider->setRange(min, max);
        ui->pistonSlider->setTickInterval(std::max(1, (max - min) / 10));
    }
    const int m = std::max(std::abs(min), std::abs(max));
    // Halves round away from zero.
    const int r = static_cast<int>(std::lround(m * 0.5 / 1.4));
    zernikeSliders[0]->setRange(ui->pistonSlider->minimum(), ui->pistonSlider->maximum());
    for (int i = 1; i < zernikeSliders.size(); ++i) zernikeSliders[i]->setRange(-r, r);
}

void UserWindow::on_xTiltSlider_valueChanged(int) {
    const auto range = dm->pistonRange(0, ui->xTiltSlider->value() / 1e6, ui->yTiltSlider->value() / 1e6);
    if (range != currentPistonRange) {
        currentPistonRange = range;
        updatePistonRange(range.first, range.second);
    }
    on_pistonSlider_valueChanged(ui->pistonSlider->value());
}

void UserWindow::on_yTiltSlider_valueChanged(int value) { on_xTiltSlider_valueChanged(value); }

void UserWindow::on_zernikeControlRadio_toggled(bool checked) {
    if (checked) updateZernike();
}

void UserWindow::on_actionApply_Offsets_toggled(bool applyOffsets) {
    dm->setApplyOffsets(applyOffsets);
    refreshPistonRange();
    on_pistonSlider_valueChanged(ui->pistonSlider->value());
}

void UserWindow::on_actionHigh_Res_Mode_triggered(bool checked) {
    const bool ok = dm->setEnableHighRes(checked);
    if (!checked || !ok) {
        ui->actionHigh_Res_Mode->setChecked(false);
        ui->actionHigh_Res_Mode->setEnabled(ok);
    }
}

// ---- Zernike terms and surfaces ----

void UserWindow::updateZernike() {
    if (!ui->zernikeControlRadio->isChecked() || !dm->isOpen()) return;
    std::vector<double> coeffs;
    for (QSlider* slider : zernikeSliders) coeffs.push_back(slider->value());
    cv::Mat surface;
    const KRVRC rc = dm->setDMZernikeSurface(coeffs, surface, ui->apertureDiameterEdit->value());
    frame = dm->getDMShape();
    mirror->setValues(frame);
    if (rc == NO_ERR || rc == ERR_OUT_OF_LUT_RANGE) showSurfaces(surface);
    if (rc == ERR_OUT_OF_LUT_RANGE)
        setStatusMessage("Warning: Shape is out of calibration range.");
    else if (rc != NO_ERR)
        showError(rc);
    else
        setStatusMessage(QString("Zernike surface sent to DM %0.").arg(dm->serialNumber()));
}

void UserWindow::on_resetZernikeButton_clicked() {
    for (QSlider* slider : zernikeSliders) {
        const QSignalBlocker block(slider);
        slider->setValue(0);
    }
    updateZernike();
}

void UserWindow::on_apertureDiameterEdit_valueChanged(int) { updateZernike(); }

void UserWindow::showSurface(const cv::Mat& surface, QLabel* view, QLineEdit* pv, QLineEdit* rms) {
    if (surface.empty()) return;
    const cv::Mat region = shapes::validRegion(surface);
    const shapes::SurfaceStats stats = shapes::surfaceStats(surface, region);
    pv->setText(QString::number(stats.peakToValley, 'f', 1) + " nm");
    rms->setText(QString::number(stats.stdDev, 'f', 1) + " nm");
    // Surfaces are deflections about zero: the colours span the piston range's reach on both sides of zero, so
    // that a range lying wholly below (or above) zero does not push half of every shape off the scale.
    const double reach = std::max(std::abs(ui->pistonSlider->minimum()), std::abs(ui->pistonSlider->maximum()));
    const QImage image = shapes::surfaceImage(surface, region, -reach, reach, colorTable);
    view->setPixmap(QPixmap::fromImage(image).scaled(view->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void UserWindow::showSurfaces(const cv::Mat& gridSurface) {
    showSurface(gridSurface, ui->targetSurfaceView, ui->targetPVReadback, ui->targetRMSReadback);
    // Enlarged four times per actuator; the label's smooth scaling does the rest.
    showSurface(shapes::expectedSurface(gridSurface, 4 * gridSurface.cols), ui->idealSurfaceView,
                ui->idealPVReadback, ui->idealRMSReadback);
}

// ---- shape files ----

void UserWindow::on_shapesBox_activated(const QString& shapeName) {
    const int index = ui->shapesBox->findText(shapeName);
    const QVariant stored = index >= 0 ? ui->shapesBox->itemData(index) : QVariant();
    loadShape(stored.isValid() && !stored.toString().isEmpty() ? stored.toString() : shapesDir.filePath(shapeName));
}

void UserWindow::on_actionLoad_Shape_triggered() {
    const QString file = Dialogs::current().openFileName(this, "Open Shape", shapesDir.path(),
                                                         "Shape CSV Files(*.csv *.txt *.tif *.tiff)");
    if (!file.isEmpty()) loadShape(file);
}

void UserWindow::loadShape(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    if (!QFileInfo::exists(path)) {
        Dialogs::current().critical(this, "Error", "Error finding shape file.");
        return;
    }
    shapes::FileKind kind;
    if (!shapes::classify(path, &kind)) {
        Dialogs::current().critical(this, "Error", "Error opening shape file.");
        return;
    }
    if (kind.kind == shapes::Kind::Unknown) {
        setStatusMessage("Error: Unknown file type.");
        return;
    }
    if (kind.kind == shapes::Kind::ActuatorList) {
        std::vector<double> values;
        const size_t n = static_cast<size_t>(dm->getNumActuators());
        values.reserve(n);
        if (!shapes::readActuatorList(path, &values)) {
            Dialogs::current().critical(this, "Error", "Error opening shape file.");
            return;
        }
        if (values.size() > n) {
            Dialogs::current().warning(this, "Warning",
                                       QString("Shape file has more entries than DM has actuators (%0). \nShape "
                                               "sent to the mirror may be incorrect.")
                                           .arg(n));
            // The extra entries are dropped: a frame longer than the mirror would close it.
            values.resize(n);
        } else if (values.size() < n) {
            setStatusMessage("Warning: Shape file has fewer entries than actuator channels. Shape will be 0-padded.");
            values.resize(n, 0.0);
        }
        {
            const QSignalBlocker block(ui->pistonSlider);
            ui->pistonSlider->setValue(500);
        }
        const KRVRC rc = dm->setDMShape(values);
        frame = dm->getDMShape();
        if (ui->segmentControlRadio->isEnabled()) ui->actuatorControlRadio->setChecked(true);
        mirror->setValues(frame);
        if (rc == NO_ERR)
            setStatusMessage(QString("Loaded shape file %0").arg(name));
        else
            showError(rc);
        return;
    }

    cv::Mat map;
    bool read = false;
    if (kind.kind == shapes::Kind::TiffPhaseMap) {
        read = shapes::loadTiffPhaseMap(path, &map);
    } else {
        bool cancelled = false;
        read = shapes::loadCSVPhaseMap(path, kind, &map, 0.0, [&](double* wavelength) {
            const bool ok = Dialogs::current().getDouble(this, "Phase map wavelength",
                                                         "Enter wavelength (lambda) in nm:", 750.0, 1.0, 99999.0, 1,
                                                         wavelength);
            cancelled = !ok;
            return ok;
        });
        if (cancelled) return;
    }
    if (!read) {
        setStatusMessage("Error loading file.");
        return;
    }
    if (ui->shapeControlRadio->isEnabled()) ui->shapeControlRadio->setChecked(true);
    const cv::Mat padded = shapes::padToGrid(map, dm->gridWidth(), ui->apertureDiameterEdit->value());
    const cv::Mat region = shapes::validRegion(padded);
    showSurface(padded, ui->targetSurfaceView, ui->targetPVReadback, ui->targetRMSReadback);
    cv::Mat expected;
    const KRVRC rc = dm->setDMSurface(padded, expected, ui->apertureDiameterEdit->value(), false);
    frame = dm->getDMShape();
    mirror->setValues(frame);
    if (!expected.empty()) {
        showSurface(shapes::expectedSurface(expected, 4 * expected.cols), ui->idealSurfaceView, ui->idealPVReadback,
                    ui->idealRMSReadback);
    }
    if (dm->lastError() == ERR_OUT_OF_LUT_RANGE)
        setStatusMessage("Warning: Shape is out of calibration range.");
    else if (rc == NO_ERR)
        setStatusMessage(QString("Loaded shape file %0").arg(name));
    else
        showError(rc);
}

void UserWindow::on_actionSave_As_triggered() {
    const QString file = Dialogs::current().saveFileName(this, "Save Shape As", shapesDir.path(),
                                                         "Shape CSV Files(*.csv *.txt)");
    if (file.isEmpty()) return;
    const QString written = shapes::saveActuatorList(file, frame);
    if (written.isEmpty()) {
        Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(), "Save to file failed.");
        return;
    }
    fillShapesBox();
    const auto answer = Dialogs::current().informationWithOpen(
        this, QGuiApplication::applicationDisplayName(),
        QString("Shape saved to %0. Click \"Open\" to open folder.").arg(written));
    if (answer == Dialogs::Answer::Open)
        Dialogs::current().openFolder(QUrl::fromLocalFile(QFileInfo(written).absolutePath()));
}

void UserWindow::on_actionAbout_triggered() {
    Dialogs::current().information(this, QString("About %0").arg(QGuiApplication::applicationDisplayName()),
                                   QString("%0 %1\nDeformable mirror control.\nKit version %2")
                                       .arg(QGuiApplication::applicationDisplayName(),
                                            QCoreApplication::applicationVersion(), KRVVersionString()));
}

void UserWindow::closeEvent(QCloseEvent* event) {
    closing = true;
    QSettings s = settings();
    s.setValue(kSerialNumberKey, dm->serialNumber());
    s.setValue(kEnableGridKey, ui->actionShow_Grid->isChecked());
    s.sync();
    if (dm->isOpen()) {
        frame.assign(frame.size(), 0.0);
        dm->setDMShape(frame);
        dm->close();
    }
    KRV_LOG_INFO(logger(), "ShapeDesk closed.");
    event->accept();
}
