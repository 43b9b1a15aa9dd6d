// Pictures of the window on a private X server (Xvfb, started here): a 952-actuator mirror after a Zernike
// defocus, and a segmented 111-actuator mirror in segment control. The PNGs are kept as test artefacts.
#include "ScriptedDialogs.h"
#include "ShapeDeskTestSupport.h"
#include "StartedWindow.h"

#include "dmview.h"
#include "editors.h"
#include "ui_userwindow.h"
#include "userwindow.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QGraphicsView>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {

// Distinct colours of the hue ramp in a picture: a mirror view showing a shape has many.
int rampColours(const QImage& image) {
    const QVector<QRgb> ramp = makeColorTable(QPalette());
    const QSet<QRgb> table(ramp.begin(), ramp.begin() + 255);
    QSet<QRgb> seen;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb c = rgb.pixel(x, y) | 0xFF000000u;
            if (table.contains(c)) seen.insert(c);
        }
    return seen.size();
}

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT
    std::unique_ptr<krvtest::InstallTree> tree;
    std::unique_ptr<krvtest::TempDir> config;
    QString outDir;

    void save(UserWindow& window, const QString& name) {
        QTest::qWait(300);
        const QImage shot = window.grab().toImage();
        QVERIFY(!shot.isNull());
        const QString path = outDir + "/" + name;
        QVERIFY2(shot.save(path), qPrintable(path));
        qInfo("picture: %s", qPrintable(path));
    }

private slots:
    void initTestCase() {
        if (!std::filesystem::exists(sdtest::table("cdm_952_z.mat"))) QSKIP("no generated calibration tables");
        tree = std::make_unique<krvtest::InstallTree>();
        sdtest::writeDummyMirror(*tree, "SDSHOT00952", 952, sdtest::table("cdm_952_z.mat"));
        sdtest::writeDummyMirror(*tree, "SDSHOT00111", 111, sdtest::table("hex_111_z.mat"));
        outDir = qEnvironmentVariable("SHAPEDESK_ARTEFACTS", QDir::tempPath() + "/shapedesk-artefacts");
        QDir().mkpath(outDir);
    }

    void continuousMirrorAfterDefocus() {
        sdtest::ScriptedDialogs dialogs;
        // A small laptop screen: the whole window, status bar included, fits 1024 x 700.
        auto started = sdtest::startedWindow(1024, 700);
        UserWindow& window = *started;
        QVERIFY(window.minimumSizeHint().width() <= 1024 && window.minimumSizeHint().height() <= 700);
        QCOMPARE(window.size(), QSize(1024, 700));
        QVERIFY(window.openMirror("SDSHOT00952", ""));
        auto* ui = window.form();
        QVERIFY(ui->zernikeControlRadio->isEnabled());
        ui->zernikeControlRadio->setChecked(true);
        ui->zern4->setValue(ui->zern4->maximum() / 2);
        QCOMPARE(window.controller().lastError(), NO_ERR);
        save(window, "shapedesk-952-defocus.png");

        const QImage view = ui->graphicsView->grab().toImage();
        QVERIFY2(rampColours(view) > 20, "the mirror view shows the defocus in many colours");
        QVERIFY(rampColours(ui->targetSurfaceView->picture()) > 20);
        QVERIFY(rampColours(ui->idealSurfaceView->picture()) > 20);
        QVERIFY(ui->targetPVReadback->text().endsWith(" nm"));
        window.close();
    }

    // The whole screen the test runs on (a large one, or one at scale factor 2): nothing needs a horizontal
    // scroll, the status bar is on screen, and the readouts and the last Zernike terms can be scrolled to.
    void windowFitsItsScreen() {
        sdtest::ScriptedDialogs dialogs;
        const QSize screen = QGuiApplication::primaryScreen()->availableSize();
        auto started = sdtest::startedWindow(screen.width(), screen.height());
        UserWindow& window = *started;
        QVERIFY(window.frameGeometry().width() <= screen.width() + 1);
        QVERIFY(window.openMirror("SDSHOT00952", ""));
        auto* ui = window.form();
        ui->zernikeControlRadio->setChecked(true);
        ui->zern12->setValue(ui->zern12->maximum() / 3);
        QTRY_VERIFY(!ui->idealRMSReadback->text().isEmpty());
        auto* scroll = window.findChild<QScrollArea*>("centralScroll");
        QVERIFY(scroll);
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        QVERIFY(window.rect().contains(window.statusBar()->geometry()));
        save(window, QString("shapedesk-952-screen-%1x%2.png").arg(screen.width()).arg(screen.height()));
        const QRect shown = scroll->viewport()->rect();
        for (QWidget* w : std::initializer_list<QWidget*>{ui->zernLabel14, ui->zern14, ui->targetPVReadback,
                                                        ui->targetRMSReadback, ui->idealPVReadback, ui->idealRMSReadback}) {
            scroll->ensureWidgetVisible(w, 0, 0);
            QVERIFY2(shown.contains(QRect(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size())),
                     qPrintable(w->objectName()));
        }
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        window.close();
    }

    void segmentedMirrorInSegmentControl() {
        sdtest::ScriptedDialogs dialogs;
        auto started = sdtest::startedWindow(1280, 760);
        UserWindow& window = *started;
        QVERIFY(window.openMirror("SDSHOT00111", ""));
        auto* ui = window.form();
        ui->actionShow_Grid->setChecked(true);
        ui->segmentControlRadio->setChecked(true);
        QVERIFY(window.mirrorItem()->showsSegments());
        // Tilt all segments and raise them part way, then give a few segments shapes of their own.
        ui->pistonSlider->setValue((ui->pistonSlider->minimum() + ui->pistonSlider->maximum()) / 2);
        ui->xTiltSlider->setValue(ui->xTiltSlider->maximum() / 2);
        QCOMPARE(window.controller().lastError(), NO_ERR);
        for (int s : {0, 9, 18, 27, 36}) {
            const QPointF centre = window.mirrorItem()->mapToScene(
                window.mirrorItem()->tile(s)->polygon().boundingRect().center());
            window.onSegmentClicked(s, centre);
            QVERIFY(window.segmentEditor());
            // Well inside the editor's range: near its top the kit refuses some pistons it reports reachable.
            QDoubleSpinBox* piston = window.segmentEditor()->pistonBox();
            piston->setValue(piston->minimum() + 0.75 * (piston->maximum() - piston->minimum()));
            QCOMPARE(window.controller().lastError(), NO_ERR);
        }
        QCOMPARE(window.controller().lastError(), NO_ERR);
        save(window, "shapedesk-111-segments.png");

        // The editor opened as a person opens it: the pointer over a tile, then a click.
        QGraphicsView* view = ui->graphicsView;
        const QPoint at = view->mapFromScene(
            window.mirrorItem()->mapToScene(window.mirrorItem()->tile(22)->polygon().boundingRect().center()));
        QTest::mouseMove(view->viewport(), at);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTRY_VERIFY(window.segmentEditor() && window.segmentEditor()->isVisible());
        save(window, "shapedesk-111-segment-editor.png");
        QVERIFY(rampColours(ui->graphicsView->grab().toImage()) > 20);
        window.close();
    }
};

int main(int argc, char** argv) {
    // A private X server for this run; without one the test is skipped.
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    if (xvfb.isEmpty()) {
        fprintf(stderr, "Xvfb not installed: skipped\n");
        return 77;
    }
    QProcess server;
    // The screen's size can be chosen (a scale factor is set through QT_SCALE_FACTOR).
    const QString screenSize = qEnvironmentVariable("SHAPEDESK_SCREEN", "1400x900");
    server.start(xvfb, {"-displayfd", "1", "-screen", "0", screenSize + "x24", "-nolisten", "tcp", "-noreset"});
    if (!server.waitForStarted(10000) || !server.waitForReadyRead(20000)) {
        fprintf(stderr, "Xvfb did not start: skipped\n");
        return 77;
    }
    const QByteArray display = server.readAllStandardOutput().trimmed();
    qputenv("DISPLAY", ":" + display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    // The window draws with the raster engine: no GL integration is loaded, so no GL driver is loaded and
    // unloaded behind it (its allocations would be reported from a module that is gone by exit).
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    std::unique_ptr<krvtest::TempDir> config = std::make_unique<krvtest::TempDir>("sd-config");
    qputenv("XDG_CONFIG_HOME", config->path().c_str());
    int rc = 0;
    {
        QApplication app(argc, argv);
        QCoreApplication::setOrganizationName("Velmira");
        QCoreApplication::setApplicationName("ShapeDesk");
        QCoreApplication::setApplicationVersion("4.2.0");
        ScreenshotTest test;
        rc = QTest::qExec(&test, argc, argv);
    }
    server.terminate();
    server.waitForFinished(5000);
    return rc;
}

#include "screenshot_test.moc"
