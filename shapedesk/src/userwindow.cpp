// The ShapeDesk main window: opens a mirror through its controller, shows the commands in the mirror view,
// and offers actuator, segment, shape and Zernike control.
#include "userwindow.h"

#include "connectdialog.h"
#include "dialogs.h"
#include "readoutstyle.h"
#include "tickstyle.h"
#include "editors.h"
#include "shapes.h"
#include "ui_userwindow.h"

#include "desklog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QFileInfo>
#include <QGraphicsProxyWidget>
#include <QHBoxLayout>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

log4cxx::LoggerPtr logger() {
    static const log4cxx::LoggerPtr log = log4cxx::Logger::getLogger("KRV.ShapeDesk");
    return log;
}

// Settings keys.
const char* const kSerialNumberKey = "SerialNumber";
const char* const kEnableGridKey = "enableGrid";
const char* const kServerKey = "Server/address";
const char* const kServerSerialKey = "Server/serial";
const char* const kServerSessionKey = "Server/session";
const char* const kServerTokenKey = "Server/tokenFile";
const char* const kServerCaKey = "Server/caFile";

QSettings settings() { return QSettings(QStringLiteral("Velmira"), QStringLiteral("ShapeDesk")); }

// Ten ticks a side, whatever the range. Left to itself the style puts a tick at every step when steps lie three
// pixels apart or more: a slider's ticks would turn into a comb of hundreds of lines as the window grows.
void tenTicks(QSlider* slider) {
    slider->setTickInterval(std::max(1, (slider->maximum() - slider->minimum()) / 10));
}

}  // namespace

static void initResources() { Q_INIT_RESOURCE(shapedesk); }

UserWindow::UserWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::UserWindow), session(new MirrorSession(this)), pacer(new RefreshPacer(this)) {
    initResources();
    KRVInitLog();
    ui->setupUi(this);
    setObjectName("ShapeDesk");
    setWindowTitle(title());
    setWindowIcon(QIcon(":/shapedesk.png"));
    session->control().setCardChooser(
        [this](const IntegerQuestion& q, int* answer) { return Dialogs::current().getInt(this, q, answer); });
    connect(session, &MirrorSession::mirrorChanged, this, &UserWindow::onMirrorChanged);
    connect(session, &MirrorSession::frameChanged, this, &UserWindow::onFrameChanged);
    connect(session, &MirrorSession::surfacesChanged, this, &UserWindow::onSurfacesChanged);
    connect(session, &MirrorSession::status, this, &UserWindow::setStatusMessage);
    connect(ui->statusBar, &QStatusBar::messageChanged, this, &UserWindow::onStatusCleared);
    connect(session, &MirrorSession::error, this, &UserWindow::setStatusMessage);
    connect(session, &MirrorSession::pokeProgress, this, &UserWindow::onPokeProgress);
    connect(session, &MirrorSession::pokeAllFinished, this, &UserWindow::onPokeAllFinished);
    connect(session, &MirrorSession::connectionLost, this, &UserWindow::onConnectionLost);
    addServerActions();

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
    ui->statusBar->addPermanentWidget(pokeActuatorBox);
    ui->statusBar->addPermanentWidget(pokeValueBox);
    ui->statusBar->addPermanentWidget(pistonValueBox);
    // A coloured message (a style sheet on the bar) keeps the bar's height: the whole window above it would move by
    // a pixel each time a warning came or went.
    ui->statusBar->setStyleSheet("background: yellow; color: black;");
    const int coloured = ui->statusBar->sizeHint().height();
    ui->statusBar->setStyleSheet(QString());
    ui->statusBar->setMinimumHeight(std::max(coloured, ui->statusBar->sizeHint().height()));

    for (QRadioButton* radio : {ui->actuatorControlRadio, ui->segmentControlRadio, ui->shapeControlRadio,
                                ui->zernikeControlRadio})
        radioActions[radio] = ui->mainToolBar->addWidget(radio);
    ui->controlModeHolder->hide();
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
    mirror->setPacer(pacer);
    ui->graphicsView->setMirror(mirror);
    colorTable = makeColorTable(palette());
    mirror->setColorTable(colorTable);
    mirror->enableGrid(ui->actionShow_Grid->isChecked());
    connect(ui->actionShow_Grid, &QAction::toggled, this, &UserWindow::enableGrid);
    scene->setSceneRect(mirror->boundingRect());
    ui->graphicsView->setScene(scene);
    ui->graphicsView->fitInView(scene->sceneRect(), Qt::KeepAspectRatio);
    connect(scene, &DMScene::mouseClicked, this, &UserWindow::onSceneClicked);
    connect(scene, &DMScene::segmentClicked, this, &UserWindow::onSegmentClicked);

    // Scale bar of the mirror view's cells: the top row is the highest command.
    const int barWidth = std::max(1, ui->scaleBarLabel->width());
    const int barHeight = 800;
    QImage bar(barWidth, barHeight, QImage::Format_Indexed8);
    bar.setColorTable(colorTable);
    for (int row = 0; row < barHeight; ++row)
        std::fill_n(bar.scanLine(row), barWidth, static_cast<uchar>(colorIndex(1.0 - row / (barHeight - 1.0))));
    ui->scaleBarLabel->setPixmap(QPixmap::fromImage(bar));
    ui->maxLabel->setText("1 - Max");
    ui->minLabel->setText("0 - Min");

    // Small screens and large scale factors: the controls scroll inside the window instead of pushing the
    // window (and its status bar, where every error appears) beyond the screen.
    ui->graphicsView->setMinimumSize(200, 200);
    for (QLayout* layout : std::initializer_list<QLayout*>{ui->centralLayout, ui->surfacesLayout, ui->targetSurfaceLayout,
                                                           ui->idealSurfaceLayout}) {
        layout->setContentsMargins(4, 4, 4, 4);
        layout->setSpacing(4);
    }
    // The mirror and the controls share the width; the surfaces take whatever height the terms leave.
    ui->centralLayout->setStretch(0, 1);
    ui->centralLayout->setStretch(1, 1);
    ui->rightLayout->setStretch(0, 0);
    ui->rightLayout->setStretch(1, 1);
    for (QSlider* slider : zernikeSliders) slider->setMinimumHeight(64);
    for (QSlider* slider : {ui->xTiltSlider, ui->yTiltSlider}) tenTicks(slider);
    for (SurfaceView* view : {ui->targetSurfaceView, ui->idealSurfaceView}) view->setMinimumSize(100, 100);
    connect(pacer, &RefreshPacer::refresh, this, &UserWindow::refreshSurfaces);
    for (SurfaceView* view : {ui->targetSurfaceView, ui->idealSurfaceView})
        connect(view, &SurfaceView::resized, this, [this] {
            if (session->targetSurface().empty()) return;
            surfacesDirty = true;
            pacer->request();
        });
    // The boxes' titles say what each surface is.
    ui->targetSurfaceLabel->hide();
    ui->idealSurfaceLabel->hide();
    ui->idealSurfaceBox->setTitle(ui->idealSurfaceLabel->text());
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("centralScroll");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(takeCentralWidget());
    setCentralWidget(scroll);

    // The widgets a slider step changes (the slider, its readout, the P-V and RMS readouts) paint their whole
    // area, so repainting them does not repaint the group boxes they sit in; and they keep their size whatever
    // they show, so a new value never lays the window out again.
    for (QSlider* slider : zernikeSliders) slider->setAutoFillBackground(true);
    const QFontMetrics metrics(font());
    // Two lines: the term's short name and its value in nm.
    const QSize termSize(std::max(metrics.horizontalAdvance(QStringLiteral("Quad.")),
                                  metrics.horizontalAdvance(QStringLiteral("-0000"))) + 4,
                         2 * metrics.lineSpacing() + 2);
    for (int i = 0; i < zernikeSliders.size(); ++i)
        if (auto* label = findChild<QLabel*>(QString("zernLabel%1").arg(i))) {
            label->setAutoFillBackground(true);
            label->setFixedSize(termSize);
            label->setTextFormat(Qt::PlainText);
        }
    const QSize readoutSize(metrics.horizontalAdvance(QStringLiteral("00000.0 nm")) + 8, metrics.height() + 6);
    // Their text is drawn from kept layouts: a new value only swaps digits.
    if (QStyle* base = QStyleFactory::create(style()->objectName())) {
        readoutStyle = new ReadoutStyle(base);
        readoutStyle->setParent(this);
        for (int i = 0; i < zernikeSliders.size(); ++i)
            if (auto* label = findChild<QLabel*>(QString("zernLabel%1").arg(i))) label->setStyle(readoutStyle);
    }
    // The sliders copy their ticks, which never move, from a picture.
    if (QStyle* base = QStyleFactory::create(style()->objectName())) {
        tickStyle = new TickStyle(base);
        tickStyle->setParent(this);
        for (QSlider* slider : zernikeSliders) slider->setStyle(tickStyle);
    }
    for (QLabel* box : {ui->targetPVReadback, ui->targetRMSReadback, ui->idealPVReadback, ui->idealRMSReadback}) {
        if (readoutStyle) box->setStyle(readoutStyle);
        box->setAutoFillBackground(true);
        box->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        box->setTextFormat(Qt::PlainText);
        // The readout's frame is a widget of its own around it, drawn once: a new value repaints the text's
        // area only.
        auto* frame = new QFrame(box->parentWidget());
        frame->setObjectName(box->objectName() + QStringLiteral("Frame"));
        frame->setFrameShape(box->frameShape());
        frame->setFrameShadow(box->frameShadow());
        frame->setFixedSize(readoutSize);
        QLayout* layout = box->parentWidget() ? box->parentWidget()->layout() : nullptr;
        QLayoutItem* replaced = layout ? layout->replaceWidget(box, frame) : nullptr;
        if (!replaced) {
            delete frame;
            box->setFixedSize(readoutSize);
            continue;
        }
        delete replaced;
        auto* inside = new QHBoxLayout(frame);
        inside->setContentsMargins(0, 0, 0, 0);
        inside->setSpacing(0);
        // The text keeps the indent a framed label gives it.
        if (box->indent() < 0 && box->frameWidth() > 0)
            box->setIndent(box->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2);
        box->setFrameShape(QFrame::NoFrame);
        box->setFixedSize(frame->contentsRect().size());
        inside->addWidget(box);
    }

    // Keyboard: menus by their mnemonics, the usual file shortcuts.
    ui->menuFile->setTitle("&File");
    ui->menuOptions->setTitle("&Options");
    ui->menuAdvanced->setTitle("&Advanced");
    ui->menuHelp->setTitle("&Help");
    ui->actionOpen->setShortcut(QKeySequence::Open);
    ui->actionSave_As->setShortcut(QKeySequence::Save);
    ui->actionLoad_Shape->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_L));
    // The actuator to poke can be typed in.
    pokeActuatorBox->setEnabled(true);
    pokeActuatorBox->setKeyboardTracking(false);
    connect(pokeActuatorBox, qOverload<int>(&QSpinBox::valueChanged), this, [this](int actuator) {
        // Only what the user types: the window sets this box itself as the poke moves.
        if (!pokeActuatorBox->hasFocus()) return;
        if (!session->isOpen() || actuator == selected || session->pokingAll() || session->watching()) return;
        if (actuator < 0 || actuator >= static_cast<int>(session->frame().size())) return;
        session->setPokeIndex(selected);
        const KRVRC rc = session->pokeActuator(actuator, pokeLevel());
        if (rc != NO_ERR) showError(rc);
        selected = session->pokeIndex();
        if (selected >= 0) pokeValueBox->setValue(session->frame()[static_cast<size_t>(selected)]);
    });
    // Each Zernike term says what it is and how much of it is set.
    static const char* const kTermNames[15] = {"Piston", "Tilt (y)", "Tilt (x)", "Astigmatism (oblique)",
                                               "Defocus", "Astigmatism (vertical)", "Trefoil (vertical)",
                                               "Coma (vertical)", "Coma (horizontal)", "Trefoil (oblique)",
                                               "Quadrafoil (oblique)", "Secondary astigmatism (oblique)",
                                               "Spherical", "Secondary astigmatism (vertical)",
                                               "Quadrafoil (vertical)"};
    for (int i = 0; i < zernikeSliders.size(); ++i) {
        QSlider* slider = zernikeSliders[i];
        QLabel* label = findChild<QLabel*>(QString("zernLabel%1").arg(i));
        const QString name = kTermNames[i];
        static const char* const kShort[15] = {"Pist.", "Tilt", "Tilt", "Ast.", "Def.", "Ast.", "Tref.", "Coma",
                                               "Coma", "Tref.", "Quad.", "Ast.2", "Sph.", "Ast.2", "Quad."};
        const QString shortName = kShort[i];
        if (label) label->setToolTip(name);
        auto* term = qobject_cast<TermSlider*>(slider);
        if (term) term->setTermName(name);
        auto show = [slider, term, label, name, shortName](int value) {
            if (!term) slider->setToolTip(QString("%1: %2 nm").arg(name).arg(value));
            if (label) label->setText(QString("%1\n%2").arg(shortName).arg(value));
        };
        show(slider->value());
        connect(slider, &QSlider::valueChanged, this, show);
    }

    ui->mainToolBar->addWidget(ui->shapesBox);
    fillShapesBox();
    onMirrorChanged();
    // Never larger than the screen it opens on (a small screen, or a large scale factor).
    if (QScreen* screen = QGuiApplication::primaryScreen())
        resize(size().boundedTo(screen->availableGeometry().size()));
    QTimer::singleShot(100, this, &UserWindow::openDefaultProfile);
}

UserWindow::~UserWindow() { delete ui; }

QString UserWindow::title() const {
    if (session->watching())
        return QString("KRV ShapeDesk - Watching %1 on %2").arg(session->serialNumber(), session->server());
    if (session->isRemote()) return QString("KRV ShapeDesk - %1 on %2").arg(session->serialNumber(), session->server());
    return session->isOpen() ? QString("KRV ShapeDesk - %1").arg(session->serialNumber())
                             : QStringLiteral("KRV ShapeDesk");
}

void UserWindow::addServerActions() {
    connectAction = new QAction("Connect to &Server...", this);
    connectAction->setObjectName("actionConnect_to_Server");
    connectAction->setToolTip("Open or watch a mirror served by mirrorkit-server");
    disconnectAction = new QAction("&Disconnect", this);
    disconnectAction->setObjectName("actionDisconnect");
    disconnectAction->setToolTip("Close the served mirror, or stop watching it");
    disconnectAction->setEnabled(false);
    QAction* after = ui->actionOpenMap;
    ui->menuFile->insertAction(after, connectAction);
    ui->menuFile->insertAction(after, disconnectAction);
    connect(connectAction, &QAction::triggered, this, &UserWindow::connectToServer);
    connect(disconnectAction, &QAction::triggered, this, [this] {
        const QString what = title();
        session->close();
        setStatusMessage(QString("Disconnected (%1).").arg(what.section(" - ", 1)));
    });
}

void UserWindow::connectToServer() {
    QSettings s = settings();
    RemoteTarget last;
    last.address = s.value(kServerKey).toString();
    last.serial = s.value(kServerSerialKey).toString();
    last.session = s.value(kServerSessionKey).toString();
    last.tokenFile = s.value(kServerTokenKey).toString();
    last.caFile = s.value(kServerCaKey).toString();
    auto* dialog = new ConnectDialog(last, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] { openRemoteMirror(dialog->target()); });
    dialog->open();
}

bool UserWindow::openRemoteMirror(const RemoteTarget& target) {
    // Reaching a server can take a few seconds (up to the call time limit when nothing answers): say so.
    setStatusMessage(QString("Connecting to %1 on %2...").arg(target.serial, target.address));
    ui->statusBar->repaint();
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const bool opened = session->openRemote(target);
    QGuiApplication::restoreOverrideCursor();
    if (!opened) {
        const QString error = session->lastErrorText(session->control().lastError());
        const QString what = target.watch ? QString("watch") : QString("open");
        setStatusMessage(QString("Could not %1 %2 on %3: %4").arg(what, target.serial, target.address, error));
        Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                    QString("Could not %1 %2 on the server %3.\n%4")
                                        .arg(what, target.serial, target.address, error));
        return false;
    }
    QSettings s = settings();
    s.setValue(kServerKey, target.address);
    s.setValue(kServerSerialKey, target.serial);
    s.setValue(kServerSessionKey, target.session);
    s.setValue(kServerTokenKey, target.tokenFile);
    s.setValue(kServerCaKey, target.caFile);
    const bool highRes = !session->watching() && session->control().setEnableHighRes(false);
    ui->actionHigh_Res_Mode->setChecked(false);
    ui->actionHigh_Res_Mode->setEnabled(highRes);
    if (session->watching())
        setStatusMessage(QString("Watching %1 on %2.").arg(session->serialNumber(), session->server()));
    else
        setStatusMessage(QString("Connected to %1 on %2.").arg(session->serialNumber(), session->server()));
    return true;
}

void UserWindow::onConnectionLost(const QString& text) {
    if (closing) return;
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("The served mirror was lost:\n%1").arg(text));
}

QString UserWindow::statusText() const { return ui->statusBar->currentMessage(); }
QString UserWindow::statusStyle() const { return ui->statusBar->styleSheet(); }

void UserWindow::setStatusMessage(const QString& msg) {
    // A slider step says the same again: nothing to do (the bar's colour was set with the message).
    if (!msg.isEmpty() && ui->statusBar->currentMessage() == msg) return;
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
    if (ui->statusBar->currentMessage() != msg) ui->statusBar->showMessage(msg, 0);
}

void UserWindow::onStatusCleared(const QString& message) {
    // The colour goes with the message it belonged to.
    if (message.isEmpty() && !ui->statusBar->styleSheet().isEmpty()) ui->statusBar->setStyleSheet(QString());
}

void UserWindow::showError(KRVRC rc) {
    setStatusMessage(session->isRemote() ? session->lastErrorText(rc) : MirrorSession::errorText(rc));
}

QDir UserWindow::directoryFor(const QString& name) {
    const QByteArray krv = qgetenv("KRV");
    const QString start = krv.isEmpty() ? session->control().profilePath() : QString::fromLocal8Bit(krv);
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
    // A watched mirror is only shown: nothing that would write to it can be used.
    const bool writes = enabled && !session->watching();
    ui->actionSave_As->setEnabled(enabled);
    for (QAction* a : {ui->actionPokeAll, ui->actionZeroAll, ui->actionPoke_Next, ui->actionPoke_Previous,
                       ui->actionLoadCalibration, ui->actionLoad_Shape})
        a->setEnabled(writes);
    ui->actionOpenMap->setEnabled(writes && !session->isRemote());
    for (QWidget* w : std::initializer_list<QWidget*>{ui->shapesBox, ui->graphicsView}) w->setEnabled(writes);
    pokeActuatorBox->setEnabled(!session->watching());
    if (!writes) ui->actionHigh_Res_Mode->setEnabled(false);
    if (disconnectAction) disconnectAction->setEnabled(session->isRemote());
    enableControlsForMode();
}

// Each control acts when it is used: a control that does nothing in the current mode is disabled there.
void UserWindow::enableControlsForMode() {
    const bool open = session->isOpen() && !session->pokingAll() && !session->watching();
    const bool actuators = ui->actuatorControlRadio->isChecked();
    const bool segments = ui->segmentControlRadio->isChecked() && session->hasCalibration();
    const bool zernike = ui->zernikeControlRadio->isChecked() && session->hasCalibration();
    ui->pistonSlider->setEnabled(open && (actuators || segments));
    ui->xTiltSlider->setEnabled(open && segments && session->geometry().segmented);
    ui->yTiltSlider->setEnabled(open && segments && session->geometry().segmented);
    ui->zernikeBox->setEnabled(open && zernike);
    ui->actionApply_Offsets->setEnabled(open && segments && session->geometry().segmented);
}

void UserWindow::showCalibratedControls() {
    const bool calibrated = session->hasCalibration();
    for (QRadioButton* radio : {ui->actuatorControlRadio, ui->segmentControlRadio, ui->shapeControlRadio,
                                ui->zernikeControlRadio})
        radioActions[radio]->setVisible(calibrated);
    for (QRadioButton* radio : {ui->segmentControlRadio, ui->shapeControlRadio, ui->zernikeControlRadio})
        radio->setEnabled(calibrated);
}

void UserWindow::rebuildMirror() {
    const bool segments = ui->segmentControlRadio->isChecked();
    if (actuatorEdit) actuatorEdit->deleteLater();
    if (segmentEdit) segmentEdit->deleteLater();
    mirror->build(session->geometry(), segments);
    mirror->setValues(session->frame());
    updateView();
}

void UserWindow::openDefaultProfile() {
    startedUp_ = true;
    QSettings s = settings();
    const QString sn = startSerial.isEmpty() ? s.value(kSerialNumberKey, QString()).toString() : startSerial;
    ui->actionShow_Grid->setChecked(s.value(kEnableGridKey, false).toBool());
    const QString menuItem = QString("File > %1").arg(ui->actionOpen->text().remove('&'));
    if (sn.isEmpty()) {
        // The first start: nothing to reopen, nothing gone wrong.
        setStatusMessage(QString("No DM connection open. Select \"%1\" to begin.").arg(menuItem));
        return;
    }
    if (openMirror(sn, QString())) return;
    const QString error = MirrorSession::errorText(session->control().lastError());
    setStatusMessage(QString("Could not open %1 (%2). Select \"%3\" to open a mirror.").arg(sn, error, menuItem));
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("Could not open the mirror used last:\n%0\n%1\nPlease ensure that your "
                                        "hardware is connected and powered on, or select a profile using %2.")
                                    .arg(sn, error, menuItem));
}

bool UserWindow::openMirror(const QString& sn, const QString& profilePath) {
    if (!session->open(sn, profilePath)) {
        if (session->control().lastError() == ERR_INVALID_LUT)
            Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                        QString("Could not open default mapping file for DM:\n%0\nPlease contact KRV "
                                                "for the correct profile and mapping for this DM.")
                                            .arg(QString::fromLocal8Bit(session->control().record().MappingFile)));
        return false;
    }
    fillShapesBox();
    session->sendFrame(session->frame());
    const bool highRes = session->control().setEnableHighRes(false);
    ui->actionHigh_Res_Mode->setChecked(false);
    ui->actionHigh_Res_Mode->setEnabled(highRes);
    if (session->control().calibrationFailedAtOpen()) {
        const QString file = session->control().calibrationFile();
        setStatusMessage(QString("Warning: opened DM %0, but its calibration table %1 did not load (%2).")
                             .arg(sn, QFileInfo(file).fileName(),
                                  KRVErrorString(session->control().lastError())));
        Dialogs::current().warning(this, QGuiApplication::applicationDisplayName(),
                                   QString("The calibration table named by the profile of %0 did not load:\n%1\n"
                                           "Segment, shape and Zernike control need one: use File > %2.")
                                       .arg(sn, file, ui->actionLoadCalibration->text().remove('&')));
    } else {
        setStatusMessage(QString("Opened DM %0.").arg(sn));
    }
    return true;
}

// Everything shown about a mirror is redrawn from the session: nothing of the previous mirror stays.
void UserWindow::onMirrorChanged() {
    const bool open = session->isOpen();
    selected = -1;
    setWindowTitle(title());
    {
        const QSignalBlocker a(ui->actuatorControlRadio);
        ui->actuatorControlRadio->setChecked(true);
    }
    on_actuatorControlRadio_toggled(true);
    showCalibratedControls();
    for (QSlider* slider : zernikeSliders) {
        const QSignalBlocker block(slider);
        slider->setValue(0);
    }
    for (QSlider* slider : {ui->pistonSlider, ui->xTiltSlider, ui->yTiltSlider}) {
        const QSignalBlocker block(slider);
        slider->setValue(0);
    }
    pokeActuatorBox->setValue(0);
    pokeValueBox->setValue(0.0);
    pistonValueBox->setValue(0.0);
    const int width = session->geometry().width;
    {
        const QSignalBlocker block(ui->apertureDiameterEdit);
        ui->apertureDiameterEdit->setMaximum(std::max(3, width - 1));
        ui->apertureDiameterEdit->setValue(std::max(3, width - 3));
    }
    currentPistonRange = {0, 1};
    if (session->hasCalibration()) refreshPistonRange();
    clearSurfaceViews();
    rebuildMirror();
    setControlsEnabled(open);
    QTimer::singleShot(100, this, &UserWindow::updateView);
}

void UserWindow::onFrameChanged() { mirror->setValues(session->frame()); }

void UserWindow::clearSurfaceViews() {
    surfacesDirty = false;
    surfaceSeries.clear();
    for (SurfaceView* view : {ui->targetSurfaceView, ui->idealSurfaceView}) view->clear();
    for (QLabel* box : {ui->targetPVReadback, ui->targetRMSReadback, ui->idealPVReadback, ui->idealRMSReadback})
        box->clear();
}

void UserWindow::onSurfacesChanged() {
    // Drawn from the session's surfaces unless a Zernike step names its series after this.
    surfaceSeries.clear();
    if (session->targetSurface().empty()) {
        clearSurfaceViews();
        return;
    }
    surfacesDirty = true;
    pacer->request();
}

void UserWindow::on_actionOpen_triggered() {
    const QString file = Dialogs::current().openFileName(this, "Find DM Profile", directoryFor("Profiles").path(),
                                                         "DM Profile Files(*.dm)");
    if (file.isEmpty()) return;
    const QFileInfo info(file);
    const QString sn = info.completeBaseName();
    if (openMirror(sn, info.absolutePath())) return;
    const QString error = MirrorSession::errorText(session->control().lastError());
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("Could not open %0.\n%1\nPlease ensure that your hardware is connected and "
                                        "powered on and select the appropriate profile.")
                                    .arg(sn, error));
    setStatusMessage(QString("Could not open %0 (%1).").arg(sn, error));
}

void UserWindow::on_actionOpenMap_triggered() {
    const QString file = Dialogs::current().openFileName(this, "Find DM Map", directoryFor("Map").path(),
                                                         "Map CSV Files(*.map *.csv)");
    if (file.isEmpty()) return;
    const QString name = QFileInfo(file).fileName();
    if (session->control().loadMap(file)) {
        const KRVRC rc = session->sendFrame(session->frame());
        if (rc != NO_ERR) showError(rc);
        else setStatusMessage(QString("Loaded map %0.").arg(name));
        return;
    }
    const QString why = session->control().mapProblem();
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("The map %0 was not loaded: %1.\nThe map in use is unchanged.").arg(file, why));
    setStatusMessage(QString("Error: map %0 not loaded: %1.").arg(name, why));
}

void UserWindow::on_actionLoadCalibration_triggered() {
    const QString file = Dialogs::current().openFileName(this, "Find DM Calibration",
                                                         directoryFor("Calibration").path(),
                                                         "Calibration Table Files(*.mat)");
    if (file.isEmpty()) return;
    if (session->control().loadCalibration(file)) {
        showCalibratedControls();
        ui->actuatorControlRadio->setChecked(true);
        refreshPistonRange();
        setStatusMessage(QString("Loaded calibration %0.").arg(QFileInfo(file).fileName()));
        enableControlsForMode();
        return;
    }
    const QString error = MirrorSession::errorText(session->control().lastError());
    Dialogs::current().critical(this, QGuiApplication::applicationDisplayName(),
                                QString("Could not open %0.\n%1\nCheck that the table belongs to this mirror.")
                                    .arg(file, error));
    setStatusMessage(QString("Could not open %0 (%1).").arg(file, error));
}

// ---- the mirror view and its editors ----

void UserWindow::updateView() {
    mirror->setValues(session->frame());
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
    const std::vector<double>& frame = session->frame();
    const int a = mirror->actuatorAt(mirror->mapFromScene(graphicCoords));
    if (a < 0 || a >= static_cast<int>(frame.size())) return;
    selected = a;
    session->setPokeIndex(a);
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
    if (selected < 0 || selected >= static_cast<int>(session->frame().size())) return;
    pokeValueBox->setValue(value);
    const KRVRC rc = session->setActuator(selected, value);
    if (rc != NO_ERR) showError(rc);
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
    const MirrorSession::Segment s = session->segment(selected);
    AOControl& dm = session->control();
    const auto range = dm.pistonRange(selected, s.xTilt, s.yTilt);
    editor->setPistonRange(range.first, range.second);
    const double reference = s.piston != 0.0 ? s.piston : 0.5 * (range.first + range.second);
    const auto xr = dm.tiltRange(selected, DM_XTilt, reference, s.yTilt);
    const auto yr = dm.tiltRange(selected, DM_YTilt, reference, s.xTilt);
    editor->setXTiltRange(MirrorSession::milliradians(xr.first), MirrorSession::milliradians(xr.second));
    editor->setYTiltRange(MirrorSession::milliradians(yr.first), MirrorSession::milliradians(yr.second));
    editor->setValue(s.piston, MirrorSession::milliradians(s.xTilt), MirrorSession::milliradians(s.yTilt));
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
    const KRVRC rc = session->setSegment(selected, piston, xTilt, yTilt);
    if (rc != NO_ERR) {
        showError(rc);
        return;
    }
    pistonValueBox->setValue(piston);
    const auto range = session->control().pistonRange(selected, MirrorSession::fromMilliradians(xTilt),
                                                      MirrorSession::fromMilliradians(yTilt));
    if (segmentEdit) segmentEdit->setPistonRange(range.first, range.second);
    emit highlightStyle(editorStyle14.arg(mirror->actuatorColor(3 * selected).name()));
}

// ---- pokes ----

double UserWindow::pokeLevel() const {
    if (!ui->actuatorControlRadio->isChecked()) return 0.0;
    const int span = ui->pistonSlider->maximum() - ui->pistonSlider->minimum();
    return span > 0 ? static_cast<double>(ui->pistonSlider->value()) / span : 0.0;
}

void UserWindow::on_actionPokeAll_triggered() {
    if (!session->isOpen() || session->pokingAll()) return;
    if (!ui->actuatorControlRadio->isChecked()) ui->actuatorControlRadio->setChecked(true);
    if (!session->startPokeAll(pokeLevel())) return;
    setControlsEnabled(false);
    ui->actionPokeAll->setEnabled(true);
    ui->actionPokeAll->setText("Stop Poke All");
    ui->actionPokeAll->setToolTip("Stop poking (Esc)");
    ui->actionPokeAll->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    disconnect(ui->actionPokeAll, &QAction::triggered, this, &UserWindow::on_actionPokeAll_triggered);
    connect(ui->actionPokeAll, &QAction::triggered, session, &MirrorSession::stopPokeAll);
}

void UserWindow::onPokeProgress(int actuator, int count) {
    setStatusMessage(QString("Poking actuator %1 of %2 (Esc stops).").arg(actuator + 1).arg(count));
    pokeActuatorBox->setValue(actuator);
}

void UserWindow::onPokeAllFinished(bool completed) {
    disconnect(ui->actionPokeAll, &QAction::triggered, session, &MirrorSession::stopPokeAll);
    connect(ui->actionPokeAll, &QAction::triggered, this, &UserWindow::on_actionPokeAll_triggered);
    ui->actionPokeAll->setText("PokeAll");
    ui->actionPokeAll->setToolTip("Poke all actuators in sequence.");
    ui->actionPokeAll->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    if (closing) return;
    setControlsEnabled(session->isOpen());
    ui->actionHigh_Res_Mode->setEnabled(session->control().record().DriverType == KRV_PCIE && session->isOpen());
    setStatusMessage(completed ? QString("Poke All done; the mirror is back to its shape.")
                               : QString("Poke All stopped; the mirror is back to its shape."));
}

void UserWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && session->pokingAll()) {
        session->stopPokeAll();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void UserWindow::on_actionZeroAll_triggered() {
    {
        const QSignalBlocker block(ui->pistonSlider);
        ui->pistonSlider->setValue(ui->actuatorControlRadio->isChecked() ? 0 : ui->pistonSlider->minimum());
    }
    for (QSlider* slider : zernikeSliders) {
        const QSignalBlocker block(slider);
        slider->setValue(0);
    }
    const KRVRC rc = session->zero();
    if (rc != NO_ERR) showError(rc);
    session->clearSurfaces();
    clearSurfaceViews();
}

void UserWindow::movePoke(int step) {
    if (session->frame().empty()) return;
    activateWindow();
    setFocus();
    session->setPokeIndex(selected);
    const KRVRC rc = session->movePoke(step, pokeLevel());
    if (rc != NO_ERR) showError(rc);
    selected = session->pokeIndex();
    pokeActuatorBox->setValue(selected);
    pokeValueBox->setValue(session->frame()[static_cast<size_t>(selected)]);
}

void UserWindow::on_actionPoke_Next_triggered() { movePoke(+1); }
void UserWindow::on_actionPoke_Previous_triggered() { movePoke(-1); }

// ---- control modes ----

void UserWindow::sendPokeLevel() {
    const KRVRC rc = session->setAll(pokeLevel());
    if (rc != NO_ERR) showError(rc);
}

void UserWindow::on_pistonSlider_valueChanged(int value) {
    if (!session->isOpen()) return;
    if (ui->actuatorControlRadio->isChecked()) {
        sendPokeLevel();
    } else if (ui->segmentControlRadio->isChecked()) {
        if (!session->hasCalibration()) {
            setStatusMessage("Segment control requires an open loop calibration table.\nCalibration table not "
                             "loaded.\nGo to File > Load Calibration to load one.");
            return;
        }
        const KRVRC rc = session->setAllSegments(value, ui->xTiltSlider->value(), ui->yTiltSlider->value());
        if (rc != NO_ERR) showError(rc);
        pistonValueBox->setValue(value);
    }
}

void UserWindow::on_actuatorControlRadio_toggled(bool checked) {
    const QSignalBlocker block(ui->pistonSlider);
    if (checked) {
        ui->pistonSlider->setRange(0, 2048);
        ui->pistonSlider->setTickInterval(204);
        ui->pistonSlider->setInvertedAppearance(false);
        ui->pistonLabel->setText("Poke\nlevel");
        pokeActuatorBox->setPrefix("Poke Actuator ");
        if (session->isOpen()) rebuildMirror();
        enableControlsForMode();
        return;
    }
    if (!session->isOpen()) return;
    if (ui->segmentControlRadio->isChecked() && session->geometry().segmented) {
        // Tilt sliders in microradians, symmetric about 0: the reach of a segment halfway up its piston range,
        // where it tilts furthest.
        AOControl& dm = session->control();
        const auto pr = dm.pistonRange(0, 0.0, 0.0);
        const double mid = 0.5 * (pr.first + pr.second);
        const auto xr = dm.tiltRange(0, DM_XTilt, mid, 0.0);
        const auto yr = dm.tiltRange(0, DM_YTilt, mid, 0.0);
        const int xm = static_cast<int>(
            std::lround(MirrorSession::microradians(std::max(std::abs(xr.first), std::abs(xr.second)))));
        const int ym = static_cast<int>(
            std::lround(MirrorSession::microradians(std::max(std::abs(yr.first), std::abs(yr.second)))));
        const QSignalBlocker bx(ui->xTiltSlider), by(ui->yTiltSlider);
        ui->xTiltSlider->setRange(-xm, xm);
        ui->yTiltSlider->setRange(-ym, ym);
        tenTicks(ui->xTiltSlider);
        tenTicks(ui->yTiltSlider);
        pokeActuatorBox->setPrefix("Poke Segment ");
    } else {
        pokeActuatorBox->setPrefix("Poke Actuator ");
    }
    rebuildMirror();
    refreshPistonRange();
}

void UserWindow::on_segmentControlRadio_toggled(bool) { enableControlsForMode(); }
void UserWindow::on_shapeControlRadio_toggled(bool) { enableControlsForMode(); }

void UserWindow::refreshPistonRange() {
    const auto range = session->control().pistonRange(0, MirrorSession::fromMicroradians(ui->xTiltSlider->value()),
                                                       MirrorSession::fromMicroradians(ui->yTiltSlider->value()));
    currentPistonRange = range;
    if (!ui->actuatorControlRadio->isChecked()) {
        updatePistonRange(range.first, range.second);
    } else {
        // The slider stays a poke level; the Zernike terms still take their ranges from the mirror.
        const int m = std::max(std::abs(range.first), std::abs(range.second));
        setZernikeRanges(range.first, range.second, static_cast<int>(std::lround(m * 0.5 / 1.4)));
    }
}

void UserWindow::updatePistonRange(int min, int max) {
    ui->pistonLabel->setText(QString("Piston\n%0 to\n%1 nm").arg(min).arg(max));
    {
        const QSignalBlocker block(ui->pistonSlider);
        ui->pistonSlider->setRange(min, max);
        tenTicks(ui->pistonSlider);
    }
    const int m = std::max(std::abs(min), std::abs(max));
    // Halves round away from zero.
    setZernikeRanges(ui->pistonSlider->minimum(), ui->pistonSlider->maximum(),
                     static_cast<int>(std::lround(m * 0.5 / 1.4)));
}

void UserWindow::setZernikeRanges(int pistonMin, int pistonMax, int reach) {
    zernikeSliders[0]->setRange(pistonMin, pistonMax);
    for (int i = 1; i < zernikeSliders.size(); ++i) zernikeSliders[i]->setRange(-reach, reach);
    // Ten ticks a side: a tick every page step would draw a hundred lines at every step of the slider.
    for (QSlider* slider : zernikeSliders) tenTicks(slider);
}

void UserWindow::on_xTiltSlider_valueChanged(int) {
    const auto range = session->control().pistonRange(0, MirrorSession::fromMicroradians(ui->xTiltSlider->value()),
                                                       MirrorSession::fromMicroradians(ui->yTiltSlider->value()));
    if (range != currentPistonRange) {
        currentPistonRange = range;
        updatePistonRange(range.first, range.second);
    }
    on_pistonSlider_valueChanged(ui->pistonSlider->value());
}

void UserWindow::on_yTiltSlider_valueChanged(int value) { on_xTiltSlider_valueChanged(value); }

void UserWindow::on_zernikeControlRadio_toggled(bool) { enableControlsForMode(); }

void UserWindow::on_actionApply_Offsets_toggled(bool applyOffsets) {
    session->setApplyOffsets(applyOffsets);
    if (!ui->segmentControlRadio->isChecked() || !session->isOpen()) return;
    refreshPistonRange();
    const KRVRC rc = session->resendSegments();
    if (rc != NO_ERR) showError(rc);
}

void UserWindow::on_actionHigh_Res_Mode_triggered(bool checked) {
    const bool ok = session->control().setEnableHighRes(checked);
    if (!checked || !ok) {
        ui->actionHigh_Res_Mode->setChecked(false);
        ui->actionHigh_Res_Mode->setEnabled(ok);
    }
}

// ---- Zernike terms and surfaces ----

void UserWindow::updateZernike() {
    if (!ui->zernikeControlRadio->isChecked() || !session->isOpen()) return;
    std::vector<double> coeffs;
    coeffs.reserve(static_cast<size_t>(zernikeSliders.size()));
    for (QSlider* slider : zernikeSliders) coeffs.push_back(slider->value());
    const KRVRC rc = session->setZernike(coeffs, ui->apertureDiameterEdit->value());
    if ((rc == NO_ERR || rc == ERR_OUT_OF_LUT_RANGE) && !session->targetSurface().empty()) {
        surfaceSeries = coeffs;
        surfaceSeriesDiameter = ui->apertureDiameterEdit->value();
    }
    if (rc == ERR_OUT_OF_LUT_RANGE)
        setStatusMessage("Warning: Shape is out of calibration range.");
    else if (rc != NO_ERR)
        showError(rc);
    else
        setStatusMessage(QString("Zernike surface sent to DM %0.").arg(session->serialNumber()));
}

void UserWindow::on_resetZernikeButton_clicked() {
    for (QSlider* slider : zernikeSliders) {
        const QSignalBlocker block(slider);
        slider->setValue(0);
    }
    updateZernike();
}

void UserWindow::on_apertureDiameterEdit_valueChanged(int) { updateZernike(); }

double UserWindow::surfaceReach() const {
    const double reach = std::max(std::abs(currentPistonRange.first), std::abs(currentPistonRange.second));
    return reach > 1 ? reach : 1000.0;
}

void UserWindow::setSeriesPictures(SeriesPictures how) {
    seriesPictures = how;
    if (session->targetSurface().empty()) return;
    surfacesDirty = true;
    pacer->request();
}

// The target and expected surfaces with their numbers, once per screen refresh. The pictures are made at the size
// they are shown; a Zernike series is summed from its terms' pictures when that gives the session's surfaces.
void UserWindow::refreshSurfaces() {
    if (!surfacesDirty) return;
    surfacesDirty = false;
    const cv::Mat& target = session->targetSurface();
    const cv::Mat& expected = session->expectedSurface();
    const cv::Mat& region = session->apertureRegion();
    if (target.empty() || target.type() != CV_64F || expected.type() != CV_64F || expected.size() != target.size() ||
        region.size() != target.size() || region.type() != CV_8U) {
        clearSurfaceViews();
        return;
    }
    const double diameter = ui->apertureDiameterEdit->value() > 0 ? ui->apertureDiameterEdit->value()
                                                                  : target.cols - 3;
    const int side = std::min(ui->targetSurfaceView->pictureSide(), ui->idealSurfaceView->pictureSide());
    if (!pictureGeometry || !pictureGeometry->sameAs(region, diameter, side)) {
        pictureGeometry = std::make_shared<const shapes::PictureGeometry>(region, diameter, side);
        zernikePictures.clear();
    }
    const bool anyInside = !pictureGeometry->gridRuns().runs.empty();
    // The extremes of the expected surface, and how far the stroke moved it from the target, inside the aperture.
    const shapes::Departure departure = shapes::departure(target, expected, pictureGeometry->gridRuns());
    const double expectedLo = departure.lo, expectedHi = departure.hi, clipped = departure.largest;
    // Smoothing cannot take the surface beyond what the mirror reaches.
    double lo = -std::numeric_limits<double>::infinity(), hi = std::numeric_limits<double>::infinity();
    const auto stroke = session->stroke();
    if (stroke.second > stroke.first && anyInside) {
        lo = expectedLo;
        hi = expectedHi;
    }
    // Deflections about zero: the colours span the piston range's reach on both sides of zero, so that a range
    // lying wholly below (or above) zero does not push half of every shape off the scale.
    const double reach = surfaceReach();
    const double none = std::numeric_limits<double>::infinity();
    const shapes::ColourScale targetColours(-reach, reach, -none, none, colorTable);
    const shapes::ColourScale smoothColours(-reach, reach, lo, hi, colorTable);

    // The series' pictures show the expected surface only where the mirror's stroke clipped nothing. They are
    // coloured when the views paint them, straight into the window's pixels.
    shapes::SeriesPictures series;
    Pictures drawn;
    lastFromSeries = false;
    if (seriesPictures != SeriesPictures::Off && !surfaceSeries.empty() && anyInside && clipped <= 1e-6) {
        const int terms = static_cast<int>(surfaceSeries.size());
        const int aperture = surfaceSeriesDiameter;
        if (!zernikePictures.fits(terms, aperture, *pictureGeometry))
            zernikePictures.build(
                [this, aperture](const std::vector<double>& c, cv::Mat* grid) {
                    return session->control().zernikeSurface(c, *grid, aperture) == NO_ERR;
                },
                terms, aperture, *pictureGeometry);
        if (seriesPictures == SeriesPictures::Fused) {
            lastFromSeries = zernikePictures.draw(surfaceSeries, target, region, pictureGeometry, targetColours,
                                                  smoothColours, lo, hi, &series);
            drawn.smoothStats = series.smoothStats;
        } else {
            shapes::SurfacePlanes planes;
            lastFromSeries = zernikePictures.compose(surfaceSeries, target, region, &planes);
            if (lastFromSeries) drawPlanes(planes, lo, hi, &drawn);
        }
    }
    if (!lastFromSeries) drawPlanes(pictureGeometry->planes(target, expected), lo, hi, &drawn);

    auto show = [](QLabel* box, double value) {
        const QString text = QString::number(value, 'f', 1) + " nm";
        if (box->text() != text) box->setText(text);
    };
    const shapes::SurfaceStats targetStats = shapes::surfaceStats(target, pictureGeometry->gridRuns());
    show(ui->targetPVReadback, targetStats.peakToValley);
    show(ui->targetRMSReadback, targetStats.stdDev);
    show(ui->idealPVReadback, drawn.smoothStats.peakToValley);
    show(ui->idealRMSReadback, drawn.smoothStats.stdDev);
    if (series.target && series.smooth) {
        ui->targetSurfaceView->setPicture(series.target);
        ui->idealSurfaceView->setPicture(series.smooth);
    } else {
        ui->targetSurfaceView->setPicture(drawn.target);
        ui->idealSurfaceView->setPicture(drawn.smooth);
    }
}

// The pictures and the smooth surface's numbers of a surface's planes.
void UserWindow::drawPlanes(const shapes::SurfacePlanes& planes, double lo, double hi, Pictures* drawn) const {
    const double reach = surfaceReach();
    const double none = std::numeric_limits<double>::infinity();
    drawn->smoothStats = shapes::surfaceStats(planes.smoothFine, pictureGeometry->fineRuns(), lo, hi);
    drawn->target =
        shapes::colourPicture(planes.target, pictureGeometry->targetRuns(), -reach, reach, -none, none, colorTable);
    drawn->smooth =
        shapes::colourPicture(planes.smooth, pictureGeometry->smoothRuns(), -reach, reach, lo, hi, colorTable);
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
        values.reserve(session->frame().size());
        QString problem;
        if (!shapes::readActuatorList(path, &values, &problem)) {
            setStatusMessage(QString("Error: shape file %0 not loaded: %1. Nothing was sent.").arg(name, problem));
            Dialogs::current().critical(this, "Error",
                                        QString("Shape file %0 was not loaded:\n%1.\nNothing was sent to the mirror.")
                                            .arg(path, problem));
            return;
        }
        {
            const QSignalBlocker block(ui->pistonSlider);
            ui->pistonSlider->setValue(500);
        }
        if (ui->segmentControlRadio->isEnabled()) ui->actuatorControlRadio->setChecked(true);
        const MirrorSession::Outcome out = session->sendActuatorList(std::move(values));
        session->clearSurfaces();
        clearSurfaceViews();
        if (out.rc != NO_ERR)
            showError(out.rc);
        else if (!out.warning.isEmpty())
            setStatusMessage(QString("%0 (shape file %1)").arg(out.warning, name));
        else
            setStatusMessage(QString("Loaded shape file %0").arg(name));
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
    // The map goes to the kit as it is, for the aperture shown: the same commands as any caller of the kit gets.
    const KRVRC rc = session->setPhaseMap(map, ui->apertureDiameterEdit->value());
    if (rc == ERR_OUT_OF_LUT_RANGE)
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
    const QString written = shapes::saveActuatorList(file, session->frame());
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
    // The mirror to reopen at the next start is one of this computer's.
    if (!session->isRemote()) s.setValue(kSerialNumberKey, session->serialNumber());
    s.setValue(kEnableGridKey, ui->actionShow_Grid->isChecked());
    s.sync();
    session->close();
    KRV_LOG_INFO(logger(), "ShapeDesk closed.");
    event->accept();
}
