// The window, its mirror view and its shape files on the offscreen platform, with dialogs answered here and
// the frames sent to the kit recorded by a stand-in.
#include "ScriptedDialogs.h"
#include "ShapeDeskTestSupport.h"
#include "StartedWindow.h"

#include "dmview.h"
#include "readoutstyle.h"
#include "tickstyle.h"
#include "editors.h"
#include "shapes.h"
#include "surfacepictures.h"
#include "ui_userwindow.h"
#include "userwindow.h"

#include <KRV_OpenLoop.h>

#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyleFactory>
#include <QSettings>
#include <QTextStream>
#include <QToolTip>
#include <QWindow>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <tuple>

namespace sent {
int frames = 0;
std::vector<double> last;
}  // namespace sent

extern "C" KRVAPI KRVRC KRVSetArray(DM* dm, const double* values, const uint32_t* map) {
    ++sent::frames;
    sent::last.assign(values, values + dm->ActCount);
    using Fn = KRVRC (*)(DM*, const double*, const uint32_t*);
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "KRVSetArray"))(dm, values, map);
}

namespace {

void writeLines(const QString& path, const QStringList& lines) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text));
    QTextStream out(&f);
    for (const QString& l : lines) out << l << "\n";
}

// A click on the button the main toolbar shows for an action.
void clickToolbar(UserWindow& window, QAction* action) {
    QWidget* button = window.form()->mainToolBar->widgetForAction(action);
    QVERIFY2(button && button->isVisible(), qPrintable(action->text()));
    QTest::mouseClick(button, Qt::LeftButton);
}

using sdtest::chooseFromMenu;

// Moves the pointer over a point of the mirror view's scene and clicks there.
void clickScene(UserWindow& window, QPointF scenePos) {
    QGraphicsView* view = window.form()->graphicsView;
    const QPoint at = view->mapFromScene(scenePos);
    QTest::mouseMove(view->viewport(), at);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::qWait(10);
}

QString shapeLines(int count, double value) {
    QStringList lines;
    for (int i = 0; i < count; ++i) lines << QString::number(value);
    return lines.join('\n');
}

// Pixels of two pictures of the same size that differ by more than one step of the colour ramp, per thousand.
// Points whose colours differ at all (every point when the sizes differ).
long differingPoints(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return std::max(1LL, static_cast<long long>(a.width()) * a.height());
    long bad = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) bad += (a.pixel(x, y) | 0xFF000000u) != (b.pixel(x, y) | 0xFF000000u);
    return bad;
}

int differingPerMille(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return 1000;
    const QVector<QRgb> table = makeColorTable(QPalette());
    QHash<QRgb, int> entry;
    for (int i = 0; i < table.size(); ++i) entry.insert(table[i] | 0xFF000000u, i);
    long bad = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y) | 0xFF000000u, q = b.pixel(x, y) | 0xFF000000u;
            if (p == q) continue;
            const int i = entry.value(p, -1000), j = entry.value(q, 1000);
            if (std::abs(i - j) > 1) ++bad;
        }
    return static_cast<int>(bad * 1000 / (static_cast<long>(a.width()) * a.height()));
}

double readout(QLabel* box) { return box->text().section(' ', 0, 0).toDouble(); }

// What the mirror view's viewport shows on screen: the window's own pixels, as the repaints so far left them.
// What the screen shows of a widget of the window.
QImage shownWidget(UserWindow& window, QWidget* widget) {
    const QPoint at = widget->mapTo(&window, QPoint(0, 0));
    return window.windowHandle()
        ->screen()
        ->grabWindow(window.winId(), at.x(), at.y(), widget->width(), widget->height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QImage shownViewport(UserWindow& window) { return shownWidget(window, window.form()->graphicsView->viewport()); }

// The viewport repainted whole over a magenta fill, as a plain (not opaque) widget is drawn: any pixel the
// view leaves unpainted stays magenta.
QImage plainRepaint(UserWindow& window) {
    QWidget* port = window.form()->graphicsView->viewport();
    const QPalette palette = port->palette();
    QPalette magenta = palette;
    magenta.setColor(port->backgroundRole(), Qt::magenta);
    port->setPalette(magenta);
    port->setAttribute(Qt::WA_OpaquePaintEvent, false);
    port->setAutoFillBackground(true);
    port->repaint();
    const QImage shown = shownViewport(window);
    port->setAutoFillBackground(false);
    port->setAttribute(Qt::WA_OpaquePaintEvent, true);
    port->setPalette(palette);
    port->repaint();
    return shown;
}

// Paints straight into the window's pixels: at least `atLeast` at a whole scale factor, none at a fractional one.
bool directAsScaleAllows(double ratio, int direct, int atLeast) {
    return ratio == std::round(ratio) ? direct >= atLeast : direct == 0;
}

// The paints a widget gets while this is kept, and the region of the last.
struct PaintedRegion : QObject {
    explicit PaintedRegion(QWidget* widget) : widget_(widget) { widget_->installEventFilter(this); }
    ~PaintedRegion() override { widget_->removeEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            region = static_cast<QPaintEvent*>(event)->region();
            ++paints;
        }
        return false;
    }
    QRegion region;
    int paints = 0;

private:
    QWidget* widget_;
};

template <typename Test>
int countPixels(const QImage& image, Test test) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) n += test(x, y) ? 1 : 0;
    return n;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<krvtest::InstallTree> tree;
    std::unique_ptr<sdtest::ScriptedDialogs> dialogs;
    QString shapes;

private slots:
    void initTestCase() {
        if (!std::filesystem::exists(sdtest::table("cdm_952_z.mat"))) QSKIP("no generated calibration tables");
        tree = std::make_unique<krvtest::InstallTree>();
        sdtest::writeDummyMirror(*tree, "SDWIND00140", 140);
        sdtest::writeDummyMirror(*tree, "SDWIND00952", 952, sdtest::table("cdm_952_z.mat"));
        sdtest::writeDummyMirror(*tree, "SDNOCAL0952", 952);
        sdtest::writeDummyMirror(*tree, "SDWIND00111", 111);
        sdtest::writeDummyMirror(*tree, "SDSEGL00111", 111, sdtest::table("hex_111.mat"), "inactive=3:108,109,110");
        krvtest::writeProfile(tree->profiles() + "/SDNOMAP0140.dm", krvtest::dummyProfile(140));
        sdtest::writeDummyMirror(*tree, "SDBADCAL140", 140, "", "calibration=absent.mat");
        shapes = QString::fromStdString(tree->root() + "/Shapes");
        dialogs = std::make_unique<sdtest::ScriptedDialogs>();
    }
    void init() {
        dialogs->boxes.clear();
        dialogs->asked.clear();
    }

    void startWithoutSavedMirrorSaysSoQuietly() {
        auto window = sdtest::startedWindow();
        QCOMPARE(window->statusText(), QString("No DM connection open. Select \"File > Open DM...\" to begin."));
        // The first start is no error: no dialog, no red bar.
        QCOMPARE(dialogs->boxes.size(), 0);
        QCOMPARE(window->statusStyle(), QString());
        QVERIFY(!window->form()->actionPokeAll->isEnabled());
        QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk"));
    }

    void savedMirrorThatIsGoneNamesTheMenuItem() {
        QSettings("Velmira", "ShapeDesk").setValue("SerialNumber", "SDGONE00000");
        auto window = sdtest::startedWindow();
        QSettings("Velmira", "ShapeDesk").setValue("SerialNumber", QString());
        QCOMPARE(dialogs->boxes.size(), 1);
        QVERIFY2(dialogs->boxes[0].contains("SDGONE00000") && dialogs->boxes[0].contains("File > Open DM..."),
                 qPrintable(dialogs->boxes[0]));
        QVERIFY(window->statusText().contains("File > Open DM..."));
    }

    void programArguments() {
        const QString program = qEnvironmentVariable("SHAPEDESK_PROGRAM");
        QVERIFY(!program.isEmpty());
        QProcess run;
        run.start(program, {"--version"});
        QVERIFY(run.waitForFinished(20000));
        QCOMPARE(run.exitCode(), 0);
        QVERIFY2(run.readAllStandardOutput().contains(KRVVersionString()), "--version gives the kit's version");
        run.start(program, {"--help"});
        QVERIFY(run.waitForFinished(20000));
        QCOMPARE(run.exitCode(), 0);
        const QByteArray help = run.readAllStandardOutput();
        QVERIFY(help.contains("SERIAL") && help.contains("--version"));

        // The serial number given opens that mirror instead of the one used last.
        auto window = std::make_unique<UserWindow>();
        window->setStartSerial("SDWIND00140");
        window->show();
        QTRY_VERIFY(window->controller().isOpen());
        QCOMPARE(window->controller().serialNumber(), QString("SDWIND00140"));
    }

    void profileWithoutMapOpensWithTheKitsMap() {
        auto window = sdtest::startedWindow();
        dialogs->fileAnswers.push_back(QString::fromStdString(tree->profiles() + "/SDNOMAP0140.dm"));
        clickToolbar(*window, window->form()->actionOpen);
        QVERIFY2(window->controller().isOpen(), qPrintable(window->statusText()));
        QCOMPARE(window->statusText(), QString("Opened DM SDNOMAP0140."));
        QVERIFY(dialogs->boxes.isEmpty());
        // Frames go out as through any other caller of the kit.
        QTest::keyClick(window->form()->pistonSlider, Qt::Key_PageUp);
        QVERIFY(sent::last.size() == 140 && sent::last[0] > 0.0);
        std::vector<double> back = window->controller().getDMShape();
        QVERIFY(std::abs(back[7] - sent::last[7]) < 1e-4);
    }

    void statusColoursFollowTheText() {
        auto window = sdtest::startedWindow();
        // A coloured message moves nothing above the bar.
        const QRect central = window->centralWidget()->geometry();
        auto sameLayout = [&](const QString& text) {
            QApplication::processEvents();
            QApplication::processEvents();
            QVERIFY2(window->centralWidget()->geometry() == central, qPrintable(text));
        };
        const QString red = "background: red; color: white;";
        for (const QString text : {"ERROR 27: x", "Could NOT open A.dm.", "eRRoR"}) {
            window->setStatusMessage(text);
            QCOMPARE(window->statusStyle(), red);
            QCOMPARE(window->statusText(), text);
            sameLayout(text);
        }
        window->setStatusMessage("Warning: Shape is out of calibration range.");
        QCOMPARE(window->statusStyle(), QString("background: yellow; color: black;"));
        sameLayout("warning");
        window->setStatusMessage("Waiting For the card");
        QCOMPARE(window->statusStyle(), QString("background: cyan; color: black;"));
        sameLayout("waiting");
        window->setStatusMessage("Opened DM X.");
        QCOMPARE(window->statusStyle(), QString());
        sameLayout("plain");
    }

    void dummyMirrorControlsAndPokeWalk() {
        auto window = sdtest::startedWindow();
        auto* ui = window->form();
        QVERIFY(window->openMirror("SDWIND00140", ""));
        QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk - SDWIND00140"));
        // No PCIe card, no high-resolution mode; no table, no calibrated control modes.
        QVERIFY(!ui->actionHigh_Res_Mode->isEnabled());
        QVERIFY(!ui->actuatorControlRadio->isVisible());
        for (QRadioButton* r : {ui->segmentControlRadio, ui->shapeControlRadio, ui->zernikeControlRadio})
            QVERIFY(!r->isVisible() && !r->isEnabled());

        // The piston slider's level: 512 of 0..2048.
        ui->pistonSlider->setValue(512);
        QCOMPARE(sent::last, std::vector<double>(140, 0.25));
        window->selectActuator(139);
        window->onActuatorChanged(0.6);
        window->on_actionPoke_Next_triggered();
        QCOMPARE(window->selectedActuator(), 0);
        // The other actuators come back at the poke level as the kit read it back (16-bit steps).
        QCOMPARE(sent::last[0], 0.6);
        QVERIFY(std::abs(sent::last[139] - 0.25) < 1e-4);
        window->on_actionPoke_Previous_triggered();
        QCOMPARE(window->selectedActuator(), 139);
        QVERIFY(std::abs(sent::last[139] - 0.6) < 1e-4);
        QVERIFY(std::abs(sent::last[0] - 0.25) < 1e-4);

        // Closing stores the mirror and the grid setting and leaves the mirror at zero.
        ui->actionShow_Grid->setChecked(true);
        QVERIFY(window->close());
        QCOMPARE(sent::last, std::vector<double>(140, 0.0));
        QVERIFY(!window->controller().isOpen());
        QSettings settings("Velmira", "ShapeDesk");
        QCOMPARE(settings.value("SerialNumber").toString(), QString("SDWIND00140"));
        QCOMPARE(settings.value("enableGrid").toBool(), true);
        settings.setValue("SerialNumber", QString());
        settings.setValue("enableGrid", false);
    }

    void calibrationShowsControlModesAndSetsRanges() {
        auto window = sdtest::startedWindow();
        auto* ui = window->form();
        QVERIFY(window->openMirror("SDNOCAL0952", ""));
        QVERIFY(!ui->zernikeControlRadio->isEnabled());
        dialogs->fileAnswers.push_back(QString::fromStdString(sdtest::table("cdm_952_z.mat")));
        window->on_actionLoadCalibration_triggered();
        QCOMPARE(dialogs->asked.last(), QString("Find DM Calibration|Calibration Table Files(*.mat)"));
        QVERIFY(ui->actuatorControlRadio->isChecked());
        QTest::qWait(20);  // the toolbar lays its widgets out again
        for (QRadioButton* r : {ui->actuatorControlRadio, ui->segmentControlRadio, ui->shapeControlRadio,
                                ui->zernikeControlRadio})
            QVERIFY(r->isVisible() && r->isEnabled());

        window->updatePistonRange(-301, 1500);
        // The slider's range is its own; the colour bar keeps describing the cells' commands.
        QCOMPARE(ui->pistonLabel->text(), QString("Piston\n-301 to\n1500 nm"));
        QCOMPARE(ui->minLabel->text(), QString("0 - Min"));
        QCOMPARE(ui->maxLabel->text(), QString("1 - Max"));
        QCOMPARE(ui->pistonSlider->minimum(), -301);
        QCOMPARE(ui->pistonSlider->maximum(), 1500);
        QCOMPARE(ui->pistonSlider->tickInterval(), 180);
        QCOMPARE(ui->zern0->minimum(), -301);
        QCOMPARE(ui->zern0->maximum(), 1500);
        QCOMPARE(ui->zern4->maximum(), 536);  // 1500 * 0.5 / 1.4 = 535.7
        QCOMPARE(ui->zern14->minimum(), -536);
        window->updatePistonRange(-7, 3);     // 7 * 0.5 / 1.4 = 2.5: away from zero
        QCOMPARE(ui->zern1->maximum(), 3);
        QCOMPARE(ui->zern1->minimum(), -3);
    }

    // Every slider with ticks keeps about ten a side in every control mode, whatever its range: left to itself the
    // style draws a tick at every step once steps lie three pixels apart (a comb of hundreds of lines on the tilt
    // sliders of a tall window).
    void slidersKeepTenTicksASide() {
        auto window = sdtest::startedWindow(1400, 1000);
        auto* ui = window->form();
        auto checkTicks = [&](const char* mode) {
            for (QSlider* slider : window->findChildren<QSlider*>()) {
                if (slider->tickPosition() == QSlider::NoTicks) continue;
                const QString what = QString("%1: %2 from %3 to %4, a tick every %5")
                                         .arg(mode, slider->objectName())
                                         .arg(slider->minimum())
                                         .arg(slider->maximum())
                                         .arg(slider->tickInterval());
                QVERIFY2(slider->tickInterval() > 0, qPrintable(what));
                QVERIFY2((slider->maximum() - slider->minimum()) / slider->tickInterval() <= 10, qPrintable(what));
            }
        };
        QVERIFY(window->openMirror("SDWIND00952", ""));
        checkTicks("actuator control");
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        checkTicks("zernike control");
        QVERIFY(window->openMirror("SDSEGL00111", ""));
        QTest::mouseClick(ui->segmentControlRadio, Qt::LeftButton);
        QVERIFY(ui->xTiltSlider->isEnabled());
        checkTicks("segment control");
    }

    void colourTable() {
        QPalette palette;
        palette.setColor(QPalette::Window, QColor(10, 20, 30));
        const QVector<QRgb> table = makeColorTable(palette);
        QCOMPARE(table.size(), 256);
        QCOMPARE(table[0], qRgb(0, 0, 255));
        QCOMPARE(table[1], qRgb(0, 3, 255));
        QCOMPARE(table[85], qRgb(0, 255, 169));
        QCOMPARE(table[128], qRgb(1, 255, 0));
        QCOMPARE(table[200], qRgb(255, 219, 0));
        QCOMPARE(table[254], qRgb(255, 3, 0));
        QCOMPARE(table[255], qRgb(10, 20, 30));
        const QVector<QRgb> grey = makeColorTable(palette, true);
        QCOMPARE(grey[100], qRgb(100, 100, 100));
        QCOMPARE(grey[255], qRgb(10, 20, 30));
        QCOMPARE(colorIndex(1.0), 254);
        QCOMPARE(colorIndex(0.5), 127);
        QCOMPARE(colorIndex(0.003), 1);
        QCOMPARE(colorIndex(0.0), 0);
        // Each command's entry is its value on 0..254 rounded half away from zero, at the halves and just beside
        // them too; nothing below 0 (nor a value that is not a number) goes below the first entry.
        for (int k = 0; k < 254; ++k) {
            const double half = (k + 0.5) / 254.0;
            for (const double v : {half, std::nextafter(half, 0.0), std::nextafter(half, 1.0), k / 254.0})
                QCOMPARE(colorIndex(v), static_cast<int>(std::lround(v * 254.0)));
        }
        QCOMPARE(colorIndex(-0.2), 0);
        QCOMPARE(colorIndex(std::numeric_limits<double>::quiet_NaN()), 0);
        QCOMPARE(colorIndex(7.0), 254);
    }

    void clicksOnTheHexPackedGrid() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00111", ""));
        MirrorKit::DMGraphicsItem* mirror = window->mirrorItem();
        QVERIFY(mirror->hexPacked());
        QVERIFY(!mirror->showsSegments());
        auto click = [&](double x, double y) {
            window->onSceneClicked(mirror->mapToScene(QPointF(x, y)));
            return window->actuatorEditor() != nullptr;
        };
        // Outside every cell: the margin, and a grid corner without an actuator.
        QVERIFY(!click(0.2, 0.2));
        QVERIFY(!click(1.5, 1.5));
        // Grid row 1 (odd, shifted half a cell) holds actuators 2..6 in columns 3..7.
        QVERIFY(!click(4.25, 2.5));  // column 3 unshifted, but column 2 of the shifted row: empty
        QVERIFY(click(4.75, 2.5));
        QCOMPARE(window->selectedActuator(), 2);
        QVERIFY(click(8.9, 2.5));
        QCOMPARE(window->selectedActuator(), 6);
        // Grid row 0 (even): actuators 0 and 1 in columns 4 and 5.
        QVERIFY(click(6.2, 1.5));
        QCOMPARE(window->selectedActuator(), 1);
        QCOMPARE(window->actuatorEditor()->decimals(), 3);
        QCOMPARE(window->actuatorEditor()->maximum(), 1.0);
    }

    void actuatorListsAndSaving() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00140", ""));
        QStringList lines;
        for (int i = 0; i < 140; ++i) lines << QString("  %1 ").arg(i / 200.0);
        writeLines(shapes + "/upper.CSV", lines);
        window->loadShape(shapes + "/upper.CSV");
        QCOMPARE(window->statusText(), QString("Loaded shape file upper.CSV"));
        QVERIFY(std::abs(sent::last[139] - 139 / 200.0) < 1e-12);

        // A short list is padded, and the bar says so where the user looks, in warning colours.
        writeLines(shapes + "/short.txt", {"0.5", "0.5"});
        window->loadShape(shapes + "/short.txt");
        QCOMPARE(window->statusText(), QString("Warning: the shape file has 2 entries, fewer than the mirror's 140 "
                                               "actuators; the rest were set to 0. (shape file short.txt)"));
        QCOMPARE(window->statusStyle(), QString("background: yellow; color: black;"));
        QCOMPARE(sent::last.size(), size_t(140));
        QCOMPARE(sent::last[2], 0.0);
        QVERIFY(window->controller().isOpen());

        // Saved without an extension: ".csv" is added; "Open" shows the folder.
        dialogs->fileAnswers.push_back(shapes + "/saved");
        dialogs->infoAnswer = Dialogs::Answer::Open;
        window->on_actionSave_As_triggered();
        QVERIFY(QFile::exists(shapes + "/saved.csv"));
        QVERIFY(dialogs->boxes.last().endsWith("Shape saved to " + shapes + "/saved.csv. Click \"Open\" to open folder."));
        QCOMPARE(dialogs->openedFolders.last(), QUrl::fromLocalFile(shapes));
        std::vector<double> back;
        QVERIFY(shapes::readActuatorList(shapes + "/saved.csv", &back));
        QCOMPARE(back.size(), size_t(140));
        QVERIFY(std::abs(back[0] - 0.5) < 1e-4);

        // A missing file and an unknown kind: the texts, and nothing sent.
        const int before = sent::frames;
        window->loadShape(shapes + "/absent.txt");
        QCOMPARE(dialogs->boxes.last(), QString("critical|Error|Error finding shape file."));
        writeLines(shapes + "/shape.dat", {"0.5"});
        window->loadShape(shapes + "/shape.dat");
        QCOMPARE(window->statusText(), QString("Error: Unknown file type."));
        QCOMPARE(sent::frames, before);
    }

    void phaseMapUnitsAndFormats() {
        shapes::FileKind plain;
        QVERIFY(shapes::classify(shapes + "/upper.CSV", &plain));
        QStringList waves, hundreds;
        for (int r = 0; r < 4; ++r) {
            waves << QString("0,1,2,%1").arg(r + 0.5);
            hundreds << QString("-3,0,2.5,%1").arg(r - 1);
        }
        writeLines(shapes + "/waves.csv", waves);
        writeLines(shapes + "/hundreds.csv", hundreds);
        shapes::FileKind kind;
        QVERIFY(shapes::classify(shapes + "/waves.csv", &kind));
        QVERIFY(kind.kind == shapes::Kind::CsvPhaseMap);
        cv::Mat map;
        int prompts = 0;
        auto wavelength = [&](double* w) {
            ++prompts;
            *w = 600.0;
            return true;
        };
        QVERIFY(shapes::loadCSVPhaseMap(shapes + "/waves.csv", kind, &map, 0.0, wavelength));
        QCOMPARE(prompts, 1);
        QCOMPARE(map.rows, 4);
        QCOMPARE(map.cols, 4);
        QCOMPARE(map.at<double>(0, 1), -600.0);
        QCOMPARE(map.at<double>(3, 3), -2100.0);
        QVERIFY(shapes::loadCSVPhaseMap(shapes + "/hundreds.csv", kind, &map, 0.0, wavelength));
        QCOMPARE(prompts, 1);
        QCOMPARE(map.at<double>(0, 0), -300.0);
        QCOMPARE(map.at<double>(2, 2), 250.0);

        // The wavefront sensor's export: a header down to "y / x", row labels in the first column.
        writeLines(shapes + "/sensor.csv", {"Thorlabs Wavefront Sensor,v2", "Spots X,3", "Spots Y,3", "",
                                            "y / x,-1.0,0.0,1.0", "-1.0,1,2,3", "0.0,4,?,6", "1.0,7,8,9"});
        QVERIFY(shapes::classify(shapes + "/sensor.csv", &kind));
        QCOMPARE(kind.headerLines, 5);
        QVERIFY(kind.rowLabels);
        QVERIFY(shapes::loadCSVPhaseMap(shapes + "/sensor.csv", kind, &map, 0.0, wavelength));
        cv::Mat expected = (cv::Mat_<double>(3, 3) << 1, 2, 3, 4, 0, 6, 7, 8, 9);
        QCOMPARE(cv::norm(map, expected, cv::NORM_INF), 0.0);

        // A 16-bit TIFF keeps its depth and is read as negated heights.
        cv::Mat heights(8, 10, CV_16U);
        for (int i = 0; i < 80; ++i) heights.at<uint16_t>(i / 10, i % 10) = static_cast<uint16_t>(1000 + 500 * i);
        QVERIFY(cv::imwrite((shapes + "/heights.tif").toStdString(), heights));
        QVERIFY(shapes::classify(shapes + "/heights.TIFF", &kind) == false);
        QVERIFY(shapes::classify(shapes + "/heights.tif", &kind) && kind.kind == shapes::Kind::TiffPhaseMap);
        QVERIFY(shapes::loadTiffPhaseMap(shapes + "/heights.tif", &map));
        QCOMPARE(map.at<double>(7, 9), -(1000.0 + 500 * 79));
        QCOMPARE(map.type(), CV_64F);

        // Through the window on a calibrated mirror: the wavelength is asked for and the shape is sent.
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        writeLines(shapes + "/small-waves.csv", {"0,0.1,0.1,0", "0.1,0.2,0.2,0.1", "0.1,0.2,0.2,0.1", "0,0.1,0.1,0"});
        dialogs->doubleAnswers.push_back(633.0);
        const int before = sent::frames;
        window->loadShape(shapes + "/small-waves.csv");
        QVERIFY(dialogs->asked.contains("Phase map wavelength|Enter wavelength (lambda) in nm:"));
        QVERIFY(window->form()->shapeControlRadio->isChecked());
        QCOMPARE(sent::frames, before + 1);
        QVERIFY2(window->statusText() == "Loaded shape file small-waves.csv" ||
                     window->statusText() == "Warning: Shape is out of calibration range.",
                 qPrintable(window->statusText()));
        QTRY_VERIFY(!window->refreshPacer().pending());
        QVERIFY(window->form()->targetPVReadback->text().endsWith(" nm"));
    }

    void unreadableShapeFilesAreRefusedWhole() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00140", ""));
        auto* ui = window->form();
        QTest::keyClick(ui->pistonSlider, Qt::Key_PageUp);
        const std::vector<double> before = sent::last;
        const int frames = sent::frames;
        struct Bad {
            QString name, text, why;
        };
        const QList<Bad> bad = {
            {"comment.txt", "# from the bench\n" + shapeLines(140, 0.3), "line 1 (\"# from the bench\") is not a number"},
            {"header.csv", "value\n" + shapeLines(140, 0.3), "line 1 (\"value\") is not a number"},
            {"comma.txt", "0,7\n" + shapeLines(139, 0.3), "line 1 (\"0,7\") is not a number"},
            {"middle.txt", shapeLines(70, 0.3) + "\nabc\n" + shapeLines(69, 0.3), "line 71 (\"abc\") is not a number"},
            {"range.txt", shapeLines(10, 0.3) + "\n1.5", "line 11 (1.5) is outside 0 to 1"},
            {"empty.txt", "", "the file holds no values"},
        };
        for (const Bad& b : bad) {
            krvtest::writeText((shapes + "/" + b.name).toStdString(), b.text.toStdString());
            dialogs->fileAnswers.push_back(shapes + "/" + b.name);
            clickToolbar(*window, ui->actionLoad_Shape);
            QCOMPARE(window->statusText(),
                     QString("Error: shape file %1 not loaded: %2. Nothing was sent.").arg(b.name, b.why));
            QVERIFY(dialogs->boxes.last().startsWith("critical|"));
        }
        // Random bytes.
        QByteArray noise(300, '\0');
        for (int i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 73 + 11) % 251);
        QFile f(shapes + "/noise.txt");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(noise);
        f.close();
        dialogs->fileAnswers.push_back(shapes + "/noise.txt");
        clickToolbar(*window, ui->actionLoad_Shape);
        QVERIFY(window->statusText().startsWith("Error: shape file noise.txt not loaded: line 1"));
        QCOMPARE(sent::frames, frames);
        QCOMPARE(sent::last, before);

        // A trailing comma, as a one-column table writes it, and blank lines, are fine.
        krvtest::writeText((shapes + "/column.csv").toStdString(), (shapeLines(140, 0.25) + ",\n\n").toStdString());
        dialogs->fileAnswers.push_back(shapes + "/column.csv");
        clickToolbar(*window, ui->actionLoad_Shape);
        QCOMPARE(window->statusText(), QString("Loaded shape file column.csv"));
        QCOMPARE(sent::last, std::vector<double>(140, 0.25));
    }

    void phaseMapGivesTheKitsCommandsAndItsNumbers() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        // 297 nm of defocus (P-V) on 100 nm inside the disc the map's side spans, zero outside it, as sensors
        // write maps.
        const int n = 60;
        QStringList lines;
        cv::Mat map(n, n, CV_64F);
        for (int r = 0; r < n; ++r) {
            QStringList row;
            for (int c = 0; c < n; ++c) {
                const double x = (c - (n - 1) / 2.0) / (n / 2.0), y = (r - (n - 1) / 2.0) / (n / 2.0);
                const double rho2 = x * x + y * y;
                // Single precision: the table reader keeps floats.
                const double v = static_cast<float>(rho2 <= 1.0 ? 100.0 + 297.0 * rho2 : 0.0);
                map.at<double>(r, c) = v;
                row << QString::number(v, 'g', 17);
            }
            lines << row.join(',');
        }
        writeLines(shapes + "/defocus.csv", lines);
        dialogs->fileAnswers.push_back(shapes + "/defocus.csv");
        clickToolbar(*window, ui->actionLoad_Shape);
        QVERIFY2(window->statusText() == "Loaded shape file defocus.csv", qPrintable(window->statusText()));

        // The kit's own answer for the same map and aperture.
        DM record = window->controller().record();
        const int diameter = ui->apertureDiameterEdit->value();
        std::vector<double> commands(952);
        QCOMPARE(KRVCalculateSurfaceEx(&record, map.ptr<double>(), n, n, diameter, 0, commands.data(), 952, nullptr, 0),
                 NO_ERR);
        QCOMPARE(sent::last.size(), size_t(952));
        for (size_t i = 0; i < commands.size(); ++i) QVERIFY(std::abs(sent::last[i] - commands[i]) < 1e-12);

        // The P-V counts the aperture only: the corners stay out.
        QTRY_VERIFY(!window->refreshPacer().pending());
        const double pv = ui->targetPVReadback->text().section(' ', 0, 0).toDouble();
        QVERIFY2(pv > 250.0 && pv <= 297.5, qPrintable(ui->targetPVReadback->text()));

        // Far beyond the mirror's stroke: the estimated surface is no taller than what the mirror reaches.
        QStringList tall;
        for (int r = 0; r < n; ++r) {
            QStringList row;
            for (int c = 0; c < n; ++c) row << QString::number(20.0 * map.at<double>(r, c), 'g', 17);
            tall << row.join(',');
        }
        writeLines(shapes + "/tall.csv", tall);
        dialogs->fileAnswers.push_back(shapes + "/tall.csv");
        clickToolbar(*window, ui->actionLoad_Shape);
        QCOMPARE(window->statusText(), QString("Warning: Shape is out of calibration range."));
        const auto stroke = window->mirrorSession().stroke();
        QVERIFY(stroke.second - stroke.first > 100.0);
        QTRY_VERIFY(!window->refreshPacer().pending());
        const double expectedPv = ui->idealPVReadback->text().section(' ', 0, 0).toDouble();
        QVERIFY2(expectedPv > 0.0 && expectedPv <= stroke.second - stroke.first + 0.05,
                 qPrintable(ui->idealPVReadback->text()));
        QVERIFY(ui->targetPVReadback->text().section(' ', 0, 0).toDouble() > stroke.second - stroke.first);
    }

    void allSegmentsReachTheMirrorWithTheLastInactive() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDSEGL00111", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->segmentControlRadio, Qt::LeftButton);
        QVERIFY(ui->segmentControlRadio->isChecked());
        const int frames = sent::frames;
        QTest::keyClick(ui->pistonSlider, Qt::Key_PageUp);
        QCOMPARE(sent::frames, frames + 1);
        QVERIFY(*std::max_element(sent::last.begin(), sent::last.begin() + 108) > 0.0);
        QCOMPARE(window->controller().lastError(), NO_ERR);
    }

    void segmentEditorOpensWithTheMouse() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDSEGL00111", ""));
        QTest::mouseClick(window->form()->segmentControlRadio, Qt::LeftButton);
        QTest::qWait(20);
        MirrorKit::DMGraphicsItem* mirror = window->mirrorItem();
        QVERIFY(mirror->showsSegments());
        // The pointer arrives over the tile first (its hover marker follows it), then clicks.
        const QPointF centre = mirror->mapToScene(mirror->tile(9)->polygon().boundingRect().center());
        clickScene(*window, centre);
        QVERIFY(window->segmentEditor());
        QCOMPARE(window->selectedActuator(), 9);
        // Typing a piston into the editor moves that segment.
        QDoubleSpinBox* piston = window->segmentEditor()->pistonBox();
        const int target = static_cast<int>(piston->minimum() + 0.5 * (piston->maximum() - piston->minimum()));
        piston->selectAll();
        QTest::keyClicks(piston, QString::number(target));
        QTest::keyClick(piston, Qt::Key_Return);
        QCOMPARE(window->controller().lastError(), NO_ERR);
        QCOMPARE(window->mirrorSession().segment(9).piston, double(target));
    }

    void controlsActOnlyWhereTheyAct() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        krvtest::writeText((shapes + "/loaded.txt").toStdString(), shapeLines(952, 0.4).toStdString());
        dialogs->fileAnswers.push_back(shapes + "/loaded.txt");
        clickToolbar(*window, ui->actionLoad_Shape);
        QCOMPARE(sent::last, std::vector<double>(952, 0.4));
        const int frames = sent::frames;

        // Apply Offsets belongs to segment control; here it cannot replace the shape.
        QVERIFY(!ui->actionApply_Offsets->isEnabled());
        chooseFromMenu(ui->menuAdvanced, ui->actionApply_Offsets);
        QVERIFY(!ui->actionApply_Offsets->isChecked());
        // A Zernike slider cannot be moved outside Zernike control.
        QVERIFY(!ui->zernikeBox->isEnabled());
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QCOMPARE(ui->zern4->value(), 0);
        QCOMPARE(sent::frames, frames);
        QCOMPARE(sent::last, std::vector<double>(952, 0.4));

        // Choosing Zernike control sends nothing; moving a term does.
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QVERIFY(ui->zernikeControlRadio->isChecked());
        QCOMPARE(sent::frames, frames);
        QVERIFY(!ui->pistonSlider->isEnabled());
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QCOMPARE(sent::frames, frames + 1);
        QVERIFY(ui->zern4->value() != 0);

        // In segment control the offsets act on the segments' states.
        QTest::mouseClick(ui->segmentControlRadio, Qt::LeftButton);
        QVERIFY(ui->pistonSlider->isEnabled());
        QVERIFY(!ui->zernikeBox->isEnabled());
    }

    void mapsThatDoNotFitAreRefused() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00140", ""));
        auto* ui = window->form();
        QStringList good;
        for (int i = 0; i < 140; ++i) good << QString::number(139 - i);
        struct Bad {
            QString name;
            QStringList lines;
            QString why;
        };
        QStringList words = good, beyond = good;
        words[5] = "five";
        beyond[7] = "140";
        const QList<Bad> bad = {{"short.map", good.mid(0, 100), "it has 100 entries; this mirror needs 140"},
                                {"words.map", words, "line 6 (\"five\") is not a whole number"},
                                {"beyond.map", beyond, "line 8 names channel 140; this mirror has 140"}};
        const QString mapDir = QString::fromStdString(tree->maps());
        for (const Bad& b : bad) {
            writeLines(mapDir + "/" + b.name, b.lines);
            dialogs->fileAnswers.push_back(mapDir + "/" + b.name);
            chooseFromMenu(ui->menuFile, ui->actionOpenMap);
            QCOMPARE(window->statusText(), QString("Error: map %1 not loaded: %2.").arg(b.name, b.why));
            QVERIFY(dialogs->boxes.last().startsWith("critical|"));
        }
        writeLines(mapDir + "/good.map", good);
        dialogs->fileAnswers.push_back(mapDir + "/good.map");
        chooseFromMenu(ui->menuFile, ui->actionOpenMap);
        QCOMPARE(window->statusText(), QString("Loaded map good.map."));
    }

    void cellsAndBarShareOneColourMapping() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QTest::qWait(20);
        // The bar is labelled by command in every mode, and its colour at a command is the cells' colour there.
        QCOMPARE(ui->maxLabel->text(), QString("1 - Max"));
        QCOMPARE(ui->minLabel->text(), QString("0 - Min"));
        const QImage bar = ui->scaleBarLabel->pixmap(Qt::ReturnByValue).toImage();
        MirrorKit::DMGraphicsItem* mirror = window->mirrorItem();
        const std::vector<double>& frame = window->currentFrame();
        for (int a : {0, 100, 475, 951}) {
            // The bar's row at the middle of the band that holds the cell's command.
            const double v = colorIndex(frame[static_cast<size_t>(a)]) / 254.0;
            const int row = static_cast<int>(std::lround((1.0 - v) * (bar.height() - 1)));
            QCOMPARE(QColor(bar.pixel(0, row)), mirror->actuatorColor(a));
            // What the view draws at the cell's centre.
            const QPoint at = ui->graphicsView->mapFromScene(mirror->mapToScene(mirror->cellCentre(a)));
            const QImage shot = ui->graphicsView->viewport()->grab().toImage();
            QCOMPARE(QColor(shot.pixel(at)), mirror->actuatorColor(a));
        }
    }

    void nothingOfThePreviousMirrorStays() {
        auto window = sdtest::startedWindow();
        auto* ui = window->form();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QTRY_VERIFY(!window->refreshPacer().pending());
        QVERIFY(!ui->targetPVReadback->text().isEmpty());
        QVERIFY(!ui->targetSurfaceView->picture().isNull());
        QTest::keyClick(window.get(), Qt::Key_N, Qt::ControlModifier);  // Poke Next
        QCOMPARE(window->selectedActuator(), 0);

        // An uncalibrated mirror: no surfaces, no calibrated modes, no poke position, its own title.
        dialogs->fileAnswers.push_back(QString::fromStdString(tree->profiles() + "/SDWIND00140.dm"));
        clickToolbar(*window, ui->actionOpen);
        QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk - SDWIND00140"));
        QVERIFY(ui->targetPVReadback->text().isEmpty() && ui->idealPVReadback->text().isEmpty());
        QVERIFY(ui->targetSurfaceView->picture().isNull());
        QVERIFY(ui->actuatorControlRadio->isChecked());
        for (QRadioButton* r : {ui->segmentControlRadio, ui->shapeControlRadio, ui->zernikeControlRadio})
            QVERIFY(!r->isEnabled());
        QCOMPARE(ui->zern4->value(), 0);
        QCOMPARE(window->selectedActuator(), -1);
        QCOMPARE(window->mirrorItem()->actuatorCount(), 140);

        // A failed open closed the mirror that was open: the window says so.
        dialogs->fileAnswers.push_back(QString::fromStdString(tree->profiles() + "/SDABSENT000.dm"));
        clickToolbar(*window, ui->actionOpen);
        QVERIFY(!window->controller().isOpen());
        QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk"));
        QCOMPARE(window->mirrorItem()->actuatorCount(), 0);
        QVERIFY(!ui->actionPokeAll->isEnabled());
        QVERIFY(window->statusText().startsWith("Could not open SDABSENT000"));

        // A calibration the profile names but that does not load is said in the window, not only the log.
        dialogs->fileAnswers.push_back(QString::fromStdString(tree->profiles() + "/SDBADCAL140.dm"));
        clickToolbar(*window, ui->actionOpen);
        QVERIFY(window->controller().isOpen());
        QVERIFY2(window->statusText().startsWith("Warning: opened DM SDBADCAL140, but its calibration table"),
                 qPrintable(window->statusText()));
        QVERIFY(dialogs->boxes.last().startsWith("warning|"));
    }

    void keyboardShortcutsTypedPokeAndStatusColour() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00140", ""));
        auto* ui = window->form();
        // Ctrl+O and Ctrl+S ask for their files (no answer given: nothing happens beyond the question).
        dialogs->asked.clear();
        QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(dialogs->asked, QStringList{"Find DM Profile|DM Profile Files(*.dm)"});
        QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(dialogs->asked.size(), 2);
        QVERIFY(dialogs->asked.last().startsWith("Save Shape As|"));
        // Alt+F opens the File menu.
        QTest::keyClick(window.get(), Qt::Key_F, Qt::AltModifier);
        QTRY_VERIFY(ui->menuFile->isVisible());
        QTest::keyClick(ui->menuFile, Qt::Key_Escape);
        QTRY_VERIFY(!ui->menuFile->isVisible());

        // The actuator to poke typed into its box: that actuator is poked, alone.
        auto* pokeBox = window->findChild<QSpinBox*>();
        for (QSpinBox* box : window->findChildren<QSpinBox*>())
            if (box->prefix() == "Poke Actuator ") pokeBox = box;
        QVERIFY(pokeBox && pokeBox->isEnabled());
        pokeBox->setFocus();
        QTRY_VERIFY(pokeBox->hasFocus());
        pokeBox->selectAll();
        QTest::keyClicks(pokeBox, "37");
        QTest::keyClick(pokeBox, Qt::Key_Return);
        QCOMPARE(window->selectedActuator(), 37);
        QCOMPARE(sent::last.size(), size_t(140));
        const double rest = sent::last[36];
        for (size_t a = 0; a < sent::last.size(); ++a)
            QVERIFY2((sent::last[a] != rest) == (a == 37), qPrintable(QString("actuator %1").arg(a)));

        // The status colour goes with its message when the message is cleared.
        window->setStatusMessage("Warning: Shape is out of calibration range.");
        QVERIFY(!window->statusStyle().isEmpty());
        ui->statusBar->clearMessage();
        QCOMPARE(window->statusStyle(), QString());
    }

    void pokeAllShowsProgressAndStopsOnEsc() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00140", ""));
        auto* ui = window->form();
        krvtest::writeText((shapes + "/before.txt").toStdString(), shapeLines(140, 0.3).toStdString());
        dialogs->fileAnswers.push_back(shapes + "/before.txt");
        clickToolbar(*window, ui->actionLoad_Shape);
        const std::vector<double> before = sent::last;
        clickToolbar(*window, ui->actionPokeAll);
        // The timer moves on while the test looks: any actuator from the third on.
        auto poked = [&] { return window->statusText().section(' ', 2, 2).toInt(); };
        QTRY_VERIFY(window->statusText().startsWith("Poking actuator ") && poked() >= 3);
        QVERIFY(window->statusText().endsWith(" of 140 (Esc stops)."));
        // The window answers while it pokes: the action is now a Stop.
        QCOMPARE(ui->actionPokeAll->text(), QString("Stop Poke All"));
        QVERIFY(!ui->actionZeroAll->isEnabled());
        QTest::keyClick(window.get(), Qt::Key_Escape);
        QCOMPARE(window->statusText(), QString("Poke All stopped; the mirror is back to its shape."));
        QCOMPARE(sent::last, before);
        QVERIFY(ui->actionZeroAll->isEnabled());
        QCOMPARE(ui->actionPokeAll->text(), QString("PokeAll"));
        // And it starts again from the toolbar, stopped from it too.
        clickToolbar(*window, ui->actionPokeAll);
        QTRY_VERIFY(window->statusText().startsWith("Poking actuator ") && poked() >= 2);
        clickToolbar(*window, ui->actionPokeAll);
        QCOMPARE(sent::last, before);
    }
    // A small laptop screen: the window fits 1024 x 700 with nothing to scroll, sideways or down; the readouts,
    // the last Zernike terms and the status bar are on screen.
    void smallScreenShowsEverything() {
        auto window = sdtest::startedWindow(1024, 700);
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QTRY_VERIFY(!window->refreshPacer().pending());
        QCOMPARE(window->size(), QSize(1024, 700));
        auto* scroll = window->findChild<QScrollArea*>("centralScroll");
        QVERIFY(scroll);
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        QVERIFY(!scroll->verticalScrollBar()->isVisible());
        const QRect shown = scroll->viewport()->rect();
        QList<QWidget*> seen = {ui->targetPVReadback, ui->targetRMSReadback, ui->idealPVReadback, ui->idealRMSReadback,
                                ui->targetSurfaceView, ui->idealSurfaceView, ui->resetZernikeButton,
                                ui->apertureDiameterEdit};
        for (int i = 11; i < 15; ++i)
            seen << window->findChild<QWidget*>(QString("zern%1").arg(i))
                 << window->findChild<QWidget*>(QString("zernLabel%1").arg(i));
        for (QWidget* w : seen) {
            QVERIFY2(w->isVisible(), qPrintable(w->objectName()));
            QVERIFY2(shown.contains(QRect(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size())),
                     qPrintable(w->objectName()));
        }
        for (QLabel* box : {ui->targetPVReadback, ui->targetRMSReadback, ui->idealPVReadback, ui->idealRMSReadback}) {
            QVERIFY(box->text().endsWith(" nm"));
            // The whole number fits its box.
            QVERIFY2(box->fontMetrics().horizontalAdvance(box->text()) <= box->contentsRect().width(),
                     qPrintable(box->text()));
        }
        QVERIFY(window->rect().contains(window->statusBar()->geometry()));
        QVERIFY(window->statusBar()->isVisible());
    }

    // Steps of a slider between two screen refreshes reach the mirror each, and the window draws once, the last.
    void slidersDrawOncePerRefresh() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QTRY_VERIFY(!window->refreshPacer().pending());
        int refreshes = 0;
        connect(&window->refreshPacer(), &RefreshPacer::refresh, this, [&] { ++refreshes; });
        const int before = sent::frames;
        for (int i = 0; i < 6; ++i) QTest::keyClick(ui->zern4, Qt::Key_Up);
        QCOMPARE(sent::frames, before + 6);
        QVERIFY(window->refreshPacer().pending());
        QTRY_VERIFY(!window->refreshPacer().pending());
        QCOMPARE(refreshes, 1);
        // What is drawn is the last step's surface: the same as drawing it again now.
        const QImage drawn = ui->targetSurfaceView->picture();
        const QString pv = ui->targetPVReadback->text();
        window->setSeriesPictures(false);
        window->refreshViews();
        QCOMPARE(ui->targetPVReadback->text(), pv);
        QCOMPARE(differingPerMille(drawn, ui->targetSurfaceView->picture()), 0);
        // The mirror view shows the last frame too, at each cell's centre.
        MirrorKit::DMGraphicsItem* mirror = window->mirrorItem();
        const QImage shot = ui->graphicsView->viewport()->grab().toImage();
        for (int a : {0, 300, 475, 951}) {
            const QPoint at = ui->graphicsView->mapFromScene(mirror->mapToScene(mirror->cellCentre(a)));
            QCOMPARE(QColor(shot.pixel(at)), mirror->actuatorColor(a));
        }
    }

    // A surface picture colours each point inside the region by its value's nearest entry (ties to the even one),
    // clipped to the limits' entries, whatever the length of the region's runs on a row (holes included); the
    // statistics are taken over the same points.
    void surfacePicturesColourEachPointByItsValue() {
        QVector<QRgb> table(256);
        for (int i = 0; i < 256; ++i) table[i] = qRgb(i, 255 - i, (i * 7) & 255);
        const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
        const int width = 13, height = 4;
        cv::Mat plane(height, width, CV_32F), region(height, width, CV_8U);
        // Row 0: everything inside; row 1: runs of 1, 2, 3 and 4 points; row 2: nothing; row 3: one run of 6.
        const char* inside[height] = {"xxxxxxxxxxxxx", "x.xx.xxx.xxxx", ".............", "...xxxxxx...."};
        const float values[width] = {3.2f, 7.5f, 6.5f, -5.0f, 300.0f, nan, 10.49f, 199.5f, 200.6f, inf, -inf, 0.5f, 253.5f};
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                plane.at<float>(y, x) = values[(x + 3 * y) % width];
                region.at<uchar>(y, x) = inside[y][x] == 'x' ? 255 : 0;
            }
        auto entry = [](float v, int first, int last) {
            int e = first;
            if (v == v) e = static_cast<int>(std::clamp(std::nearbyint(static_cast<double>(v)), -1.0, 300.0));
            return std::clamp(e, first, last);
        };
        QCOMPARE(entry(7.5f, 0, 254), 8);
        QCOMPARE(entry(6.5f, 0, 254), 6);
        const double none = std::numeric_limits<double>::infinity();
        // The values as they are; with the infinities as values far off the scale; with them on the scale (the
        // value that is not a number stays).
        cv::Mat far = plane.clone(), near = plane.clone();
        far.setTo(3e30f, plane == inf);
        far.setTo(-3e30f, plane == -inf);
        near.setTo(250.0f, plane == inf);
        near.setTo(-2.0f, plane == -inf);
        const bool wideBefore = shapes::wideVectors();
        for (const bool wide : {false, true})
        for (const cv::Mat& values : {plane, far, near})
        for (const auto& [clipLo, clipHi, first, last] :
             {std::tuple<double, double, int, int>{-none, none, 0, 254}, {10.0, 200.0, 10, 200}}) {
            // 0..254 onto entries 0..254: a value's entry is the value rounded; the same on the plain vector path
            // and the widest one the processor has.
            shapes::setWideVectors(wide);
            const QImage picture = shapes::colourPicture(values, region, 0.0, 254.0, clipLo, clipHi, table);
            QCOMPARE(picture.size(), QSize(width, height));
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const QRgb want = region.at<uchar>(y, x) ? table[entry(values.at<float>(y, x), first, last)]
                                                             : table[255];
                    if (picture.pixel(x, y) != (want | 0xff000000u))
                        QFAIL(qPrintable(QString("point %1,%2 (value %3): %4 instead of %5")
                                             .arg(x).arg(y).arg(values.at<float>(y, x))
                                             .arg(picture.pixel(x, y), 0, 16).arg(want, 0, 16)));
                }
        }

        shapes::setWideVectors(wideBefore);

        // Statistics: finite values only, over the inside points, clipped to 0..100.
        cv::Mat surface(height, width, CV_64F);
        double lo = 1e300, hi = -1e300, sum = 0.0, squares = 0.0;
        int count = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double v = std::fmod(x * 37.0 + y * 11.0, 130.0) - 15.0;
                surface.at<double>(y, x) = v;
                if (!region.at<uchar>(y, x)) continue;
                const double c = std::clamp(v, 0.0, 100.0);
                lo = std::min(lo, c);
                hi = std::max(hi, c);
                sum += c;
                squares += c * c;
                ++count;
            }
        const double mean = sum / count;
        for (const bool wide : {false, true}) {
            shapes::setWideVectors(wide);
            const shapes::SurfaceStats stats = shapes::surfaceStats(surface, region, 0.0, 100.0);
            shapes::setWideVectors(wideBefore);
            QCOMPARE(stats.min, lo);
            QCOMPARE(stats.max, hi);
            QCOMPARE(stats.peakToValley, hi - lo);
            QVERIFY(std::abs(stats.mean - mean) < 1e-9);
            QVERIFY(std::abs(stats.stdDev - std::sqrt(squares / count - mean * mean)) < 1e-9);
        }
        QVERIFY(lo == 0.0 && hi == 100.0 && count == 29);
        // Nothing inside: no statistics.
        QCOMPARE(shapes::surfaceStats(surface, cv::Mat(height, width, CV_8U, cv::Scalar(0))).peakToValley, 0.0);
    }

    // How far the expected surface departs from the target: over the region's points only, whatever the runs'
    // lengths; a value that is not a number is left out of the extremes but makes the difference not a number.
    void departureCountsTheRegionOnly() {
        const int width = 13, height = 4;
        const char* inside[height] = {"xxxxxxxxxxxxx", "x.xx.xxx.xxxx", ".............", "...xxxxxx...."};
        cv::Mat target(height, width, CV_64F), expected(height, width, CV_64F), region(height, width, CV_8U);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                region.at<uchar>(y, x) = inside[y][x] == 'x' ? 255 : 0;
                target.at<double>(y, x) = std::fmod(x * 7.0 + y * 5.0, 11.0) - 5.0;
                // Outside the region the values are far larger than inside: they must not count.
                expected.at<double>(y, x) = region.at<uchar>(y, x) ? target.at<double>(y, x) + 0.25 * (x % 3) : 1e9;
            }
        const shapes::RegionRuns runs = shapes::RegionRuns::of(region);
        shapes::Departure d = shapes::departure(target, expected, runs);
        double lo, hi, largest;
        cv::minMaxLoc(expected, &lo, &hi, nullptr, nullptr, region);
        cv::minMaxLoc(cv::abs(expected - target), nullptr, &largest, nullptr, nullptr, region);
        QCOMPARE(d.lo, lo);
        QCOMPARE(d.hi, hi);
        QCOMPARE(d.largest, 0.5);
        QCOMPARE(d.largest, largest);
        // A missing value, in a run of two (vector lanes) and in a run of one (the points after them).
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (const cv::Point at : {cv::Point(2, 1), cv::Point(0, 1), cv::Point(12, 0)}) {
            cv::Mat e = expected.clone();
            e.at<double>(at) = nan;
            d = shapes::departure(target, e, runs);
            QVERIFY(std::isnan(d.largest));
            QCOMPARE(d.lo, lo);
            QVERIFY(d.hi <= hi && d.hi >= hi - 0.5);
        }
        // Nothing inside: no extremes, no difference.
        d = shapes::departure(target, expected, shapes::RegionRuns::of(cv::Mat::zeros(height, width, CV_8U)));
        QVERIFY(std::isinf(d.lo) && d.lo > 0 && std::isinf(d.hi) && d.hi < 0);
        QCOMPARE(d.largest, 0.0);
    }

    // Zernike surfaces summed from the terms' pictures look as the same surfaces drawn from the session's
    // surfaces, with the same numbers; after the aperture changes too; beyond the stroke the terms are not used.
    void seriesPicturesMatchTheSurfaces() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        auto compare = [&](bool fromSeries) {
            window->setSeriesPictures(true);
            QTRY_VERIFY(!window->refreshPacer().pending());
            QCOMPARE(window->lastDrawnFromSeries(), fromSeries);
            const QImage target = ui->targetSurfaceView->picture(), ideal = ui->idealSurfaceView->picture();
            const double pv = readout(ui->targetPVReadback), idealPv = readout(ui->idealPVReadback);
            const double idealRms = readout(ui->idealRMSReadback);
            window->setSeriesPictures(false);
            window->refreshViews();
            QVERIFY(!window->lastDrawnFromSeries());
            QVERIFY(!target.isNull() && !ideal.isNull());
            QVERIFY(differingPerMille(target, ui->targetSurfaceView->picture()) <= 1);
            QVERIFY(differingPerMille(ideal, ui->idealSurfaceView->picture()) <= 1);
            QCOMPARE(readout(ui->targetPVReadback), pv);
            QVERIFY(std::abs(readout(ui->idealPVReadback) - idealPv) <= 0.11);
            QVERIFY(std::abs(readout(ui->idealRMSReadback) - idealRms) <= 0.11);
        };
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QTest::keyClick(ui->zern7, Qt::Key_PageDown);
        QTest::keyClick(ui->zern12, Qt::Key_PageUp);
        QTest::keyClick(ui->zern5, Qt::Key_PageUp);
        compare(true);
        // Another aperture: the terms' pictures are made again for it.
        ui->apertureDiameterEdit->setFocus();
        QTest::keyClick(ui->apertureDiameterEdit, Qt::Key_Down);
        QTest::keyClick(ui->apertureDiameterEdit, Qt::Key_Down);
        QCOMPARE(ui->apertureDiameterEdit->value(), 29);
        compare(true);
        // Far beyond the stroke the mirror clips the surface: drawn from the session's clipped surface.
        for (QSlider* slider : {ui->zern3, ui->zern4, ui->zern5, ui->zern12})
            slider->setValue(slider->maximum());
        const MirrorSession& session = window->mirrorSession();
        double clipped = 0.0;
        cv::minMaxLoc(cv::abs(session.expectedSurface() - session.targetSurface()), nullptr, &clipped, nullptr, nullptr,
                      session.apertureRegion());
        QVERIFY(clipped > 1.0);
        compare(false);
    }

    // A series' pictures and numbers are the same whichever way they are made: summed and coloured point by point
    // (with the widest vectors the processor has, or the plain ones), or summed into whole planes first and those
    // coloured; for several terms, at two view sizes, and beyond the stroke (drawn from the session's surfaces).
    void seriesPicturesAreTheSameOnEveryPath() {
        const bool wideBefore = shapes::wideVectors();
        if (__builtin_cpu_supports("avx2")) {
            shapes::setWideVectors(true);
            QVERIFY(shapes::wideVectors());
        }
        for (const QSize size : {QSize(1200, 700), QSize(1500, 900)}) {
            auto window = sdtest::startedWindow(size.width(), size.height());
            QVERIFY(window->openMirror("SDWIND00952", ""));
            auto* ui = window->form();
            QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
            struct Drawn {
                QImage target, ideal;
                QStringList numbers;
                bool fromSeries;
            };
            auto drawn = [&](UserWindow::SeriesPictures how, bool wide) {
                shapes::setWideVectors(wide);
                window->setSeriesPictures(how);
                window->refreshViews();
                Drawn d{ui->targetSurfaceView->picture(), ui->idealSurfaceView->picture(), {},
                        window->lastDrawnFromSeries()};
                for (QLabel* box : {ui->targetPVReadback, ui->targetRMSReadback, ui->idealPVReadback,
                                    ui->idealRMSReadback})
                    d.numbers << box->text();
                return d;
            };
            auto compare = [&](bool fromSeries) {
                QTRY_VERIFY(!window->refreshPacer().pending());
                const Drawn reference = drawn(UserWindow::SeriesPictures::Planes, false);
                QCOMPARE(reference.fromSeries, fromSeries);
                QVERIFY(!reference.target.isNull() && !reference.ideal.isNull());
                QCOMPARE(reference.target.width(), ui->targetSurfaceView->pictureSide());
                for (const auto& [how, wide] : {std::pair{UserWindow::SeriesPictures::Fused, false},
                                                 {UserWindow::SeriesPictures::Fused, true},
                                                 {UserWindow::SeriesPictures::Planes, true}}) {
                    const Drawn d = drawn(how, wide && __builtin_cpu_supports("avx2"));
                    QCOMPARE(d.fromSeries, fromSeries);
                    QCOMPARE(differingPoints(d.target, reference.target), 0);
                    QCOMPARE(differingPoints(d.ideal, reference.ideal), 0);
                    QCOMPARE(d.numbers, reference.numbers);
                }
                shapes::setWideVectors(wideBefore);
                window->setSeriesPictures(UserWindow::SeriesPictures::Fused);
            };
            // One term, then two, three and four.
            ui->zern4->setFocus();
            QTest::keyClick(ui->zern4, Qt::Key_PageUp);
            QTest::keyClick(ui->zern4, Qt::Key_Up);
            compare(true);
            ui->zern7->setFocus();
            QTest::keyClick(ui->zern7, Qt::Key_PageDown);
            compare(true);
            ui->zern12->setFocus();
            QTest::keyClick(ui->zern12, Qt::Key_PageUp);
            QTest::keyClick(ui->zern12, Qt::Key_Up);
            compare(true);
            ui->zern5->setFocus();
            QTest::keyClick(ui->zern5, Qt::Key_Down);
            compare(true);
            // A large term: the stroke clips the surface, which is then drawn from the session's surfaces.
            ui->zern3->setFocus();
            for (int i = 0; i < 40 && window->lastDrawnFromSeries(); ++i) {
                QTest::keyClick(ui->zern3, Qt::Key_PageUp);
                QTRY_VERIFY(!window->refreshPacer().pending());
            }
            QVERIFY(!window->lastDrawnFromSeries());
            compare(false);
        }
    }

    // The surface readouts with their frames look as framed plain labels showing the same text; a new value
    // repaints the text's area, not the frame.
    void framedReadoutsLookAsFramedLabels() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        ui->zern4->setFocus();
        for (auto key : {Qt::Key_PageUp, Qt::Key_Up, Qt::Key_PageDown}) {
            QTest::keyClick(ui->zern4, key);
            QTRY_VERIFY(!window->refreshPacer().pending());
            for (QLabel* shown : {ui->targetPVReadback, ui->targetRMSReadback, ui->idealPVReadback,
                                  ui->idealRMSReadback}) {
                auto* frame = qobject_cast<QFrame*>(shown->parentWidget());
                QVERIFY(frame && frame->frameShape() == QFrame::StyledPanel);
                QCOMPARE(shown->frameShape(), QFrame::NoFrame);
                QCOMPARE(shown->geometry(), frame->contentsRect());
                QLabel plain;
                plain.setFont(shown->font());
                plain.setPalette(shown->palette());
                plain.setFrameShape(QFrame::StyledPanel);
                plain.setAlignment(shown->alignment());
                plain.setTextFormat(Qt::PlainText);
                plain.setAutoFillBackground(true);
                plain.setFixedSize(frame->size());
                plain.setText(shown->text());
                QVERIFY2(frame->grab().toImage().convertToFormat(QImage::Format_RGB32) ==
                             plain.grab().toImage().convertToFormat(QImage::Format_RGB32),
                         qPrintable(shown->objectName() + ": " + shown->text()));
            }
        }
    }

    // The readouts a slider step changes look exactly as plain labels of the same font, size and alignment
    // showing the same text, while their text comes from kept layouts (a new value only swaps digits).
    void readoutsLookAsPlainLabels() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        const ReadoutStyle* style = window->readoutTextStyle();
        QVERIFY(style);
        const int kept = style->keptLayouts(), copied = style->copiedTexts();
        ui->zern4->setFocus();
        for (auto key : {Qt::Key_PageUp, Qt::Key_Up, Qt::Key_PageUp, Qt::Key_PageDown, Qt::Key_Down, Qt::Key_End,
                         Qt::Key_Home}) {
            QTest::keyClick(ui->zern4, key);
            QTRY_VERIFY(!window->refreshPacer().pending());
            for (QLabel* shown : {ui->targetPVReadback, ui->targetRMSReadback, ui->idealPVReadback,
                                  ui->idealRMSReadback, ui->zernLabel4}) {
                QVERIFY(!shown->text().isEmpty());
                QVERIFY2(looksAsPlainLabel(shown), qPrintable(shown->objectName() + ": " + shown->text()));
            }
        }
        QVERIFY(style->keptLayouts() > kept + 20);
        // On their plain backgrounds the readouts' texts are copied from pictures of their digits.
        QVERIFY(style->copiedTexts() > copied + 20);
    }

    // The Zernike sliders copy their ticks from a picture, and look exactly as plain sliders do at every value,
    // with the keyboard's focus, and disabled.
    void termSlidersLookAsPlainSliders() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        const TickStyle* style = window->sliderTickStyle();
        QVERIFY(style);
        const int copied = style->copiedTicks();
        ui->zern4->setFocus();
        for (auto key : {Qt::Key_PageUp, Qt::Key_Up, Qt::Key_End, Qt::Key_PageDown, Qt::Key_Home, Qt::Key_Down}) {
            QTest::keyClick(ui->zern4, key);
            QTRY_VERIFY(!window->refreshPacer().pending());
            for (QSlider* shown : {ui->zern4, ui->zern7})
                QVERIFY2(looksAsPlainSlider(shown), qPrintable(QString("%1 at %2").arg(shown->objectName()).arg(shown->value())));
        }
        QVERIFY(style->copiedTicks() > copied + 6);
        ui->zern7->setEnabled(false);
        QVERIFY(looksAsPlainSlider(ui->zern7));
        ui->zern7->setEnabled(true);
    }

    // Sliders of several widths, both orientations and every tick position look as plain sliders at every value,
    // their ticks copied; on a background that is not one colour they are drawn as usual.
    void tickedSlidersLookAsPlainSliders() {
        TickStyle style(QStyleFactory::create(QApplication::style()->objectName()));
        QLinearGradient gradient(0, 0, 40, 0);
        gradient.setColorAt(0, Qt::white);
        gradient.setColorAt(1, Qt::cyan);
        for (const bool plainBackground : {true, false})
            for (const Qt::Orientation orientation : {Qt::Vertical, Qt::Horizontal})
                for (const int across : {18, 25, 40})
                    for (const auto position : {QSlider::TicksBothSides, QSlider::TicksAbove, QSlider::TicksBelow}) {
                        QSlider slider(orientation);
                        slider.setStyle(&style);
                        slider.setAutoFillBackground(true);
                        if (!plainBackground) {
                            QPalette palette = slider.palette();
                            palette.setBrush(QPalette::Window, QBrush(gradient));
                            slider.setPalette(palette);
                        }
                        slider.setRange(-137, 137);
                        slider.setTickInterval(27);
                        slider.setTickPosition(position);
                        slider.resize(orientation == Qt::Vertical ? QSize(across, 120) : QSize(120, across));
                        for (const int value : {-137, -50, 0, 13, 137}) {
                            slider.setValue(value);
                            const int before = style.copiedTicks();
                            QVERIFY2(looksAsPlainSlider(&slider),
                                     qPrintable(QString("%1 %2 wide, ticks %3, at %4%5")
                                                    .arg(orientation == Qt::Vertical ? "vertical" : "horizontal")
                                                    .arg(across).arg(position).arg(value)
                                                    .arg(plainBackground ? "" : " on a gradient")));
                            QCOMPARE(style.copiedTicks() > before, plainBackground);
                        }
                    }
    }

    // Kept layouts for texts of every alignment, one and two lines, digits of every kind, clipped or not; in a
    // QLabel and in a ReadoutLabel (which fills and draws itself with one painter), framed or with a margin.
    void keptLayoutsDrawAsThePainterDoes_data() {
        QTest::addColumn<bool>("readout");
        QTest::addColumn<int>("margin");
        QTest::newRow("QLabel") << false << 0;
        QTest::newRow("ReadoutLabel") << true << 0;
        QTest::newRow("ReadoutLabel with a margin") << true << 3;
    }
    void keptLayoutsDrawAsThePainterDoes() {
        QFETCH(bool, readout);
        QFETCH(int, margin);
        ReadoutStyle style(QStyleFactory::create(QApplication::style()->objectName()));
        std::unique_ptr<QLabel> owned(readout ? new ReadoutLabel : new QLabel);
        QLabel& label = *owned;
        label.setMargin(margin);
        label.setStyle(&style);
        label.setTextFormat(Qt::PlainText);
        label.setFrameShape(QFrame::StyledPanel);
        label.setAutoFillBackground(true);
        const QStringList texts = {"0.0 nm", "-1234.5 nm", "98765.4 nm", "Def.\n-123", "Sph.\n4567", "1\n2\n3",
                                   "Tilt", "x 1.5e-07 y"};
        const Qt::Alignment alignments[] = {Qt::AlignRight | Qt::AlignVCenter, Qt::AlignCenter,
                                            Qt::AlignLeft | Qt::AlignTop, Qt::AlignHCenter | Qt::AlignBottom};
        for (const QSize size : {QSize(110, 50), QSize(37, 15)})  // the second clips most texts
            for (const Qt::Alignment alignment : alignments)
                for (const QString& text : texts) {
                    label.setFixedSize(size);
                    label.setAlignment(alignment);
                    label.setText(text);
                    QVERIFY2(looksAsPlainLabel(&label), qPrintable(text));
                }
        QVERIFY(style.keptLayouts() > 40);
        // Texts a kept layout does not take (a tab, a mnemonic, a leading space, a disabled label) are drawn by
        // the style underneath, as plain labels draw them.
        const int full = style.fullLayouts();
        label.setFixedSize(110, 50);
        for (const QString& text : {QString("12\t3 nm"), QString("&1.5 nm"), QString(" 2.5 nm")}) {
            label.setText(text);
            QVERIFY2(looksAsPlainLabel(&label), qPrintable(text));
        }
        QVERIFY(style.fullLayouts() >= full + 3);
        label.setEnabled(false);
        label.setText("-42.0 nm");
        QVERIFY(looksAsPlainLabel(&label));
        label.setEnabled(true);
        // Without a frame, and with what a readout leaves to QLabel: rich text, selectable text.
        label.setFrameShape(QFrame::NoFrame);
        label.setText("-42.0 nm");
        QVERIFY(looksAsPlainLabel(&label));
        label.setTextFormat(Qt::RichText);
        label.setText("<b>-42.0</b> nm");
        QVERIFY(looksAsPlainLabel(&label));
        label.setTextFormat(Qt::PlainText);
        label.setTextInteractionFlags(Qt::TextSelectableByMouse);
        label.setText("-43.0 nm");
        QVERIFY(looksAsPlainLabel(&label));
    }

    // A readout on the screen, value after value: the digits copied into the window's own pixels are those a
    // plain label draws, whichever digits changed, on a background that changes colour, and on one that is not a
    // single colour (drawn glyph by glyph there).
    void readoutsOnScreenAsPlainLabels_data() {
        QTest::addColumn<bool>("readout");
        QTest::newRow("QLabel") << false;
        QTest::newRow("ReadoutLabel") << true;
    }
    void readoutsOnScreenAsPlainLabels() {
        QFETCH(bool, readout);
        ReadoutStyle style(QStyleFactory::create(QApplication::style()->objectName()));
        QWidget window;
        window.resize(260, 80);
        QLabel* label = readout ? new ReadoutLabel(&window) : new QLabel(&window);
        label->setStyle(&style);
        label->setTextFormat(Qt::PlainText);
        label->setAutoFillBackground(true);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        label->setGeometry(20, 20, 120, 30);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto onScreen = [&]() {
            QApplication::processEvents();
            return window.screen()->grabWindow(window.winId(), label->x(), label->y(), label->width(),
                                               label->height()).toImage().convertToFormat(QImage::Format_RGB32);
        };
        auto plain = [&]() {
            QLabel drawn;
            drawn.setStyleSheet(window.styleSheet());
            drawn.setFont(label->font());
            drawn.setPalette(label->palette());
            drawn.setAutoFillBackground(true);
            drawn.setAlignment(label->alignment());
            drawn.setFixedSize(label->size());
            drawn.setText(label->text());
            return drawn.grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        const QStringList values = {"326.5 nm", "319.8 nm", "319.9 nm", "888.8 nm", "101.0 nm", "-47.1 nm",
                                    "1000.0 nm", "7654.3 nm", "0.0 nm", "326.5 nm"};
        const int copied = style.copiedTexts();
        for (const QColor& background : {QColor(Qt::white), QColor(255, 250, 205), QColor(40, 40, 40)}) {
            QPalette palette = label->palette();
            palette.setColor(QPalette::Window, background);
            palette.setColor(QPalette::WindowText, background.lightness() < 128 ? Qt::yellow : Qt::black);
            label->setPalette(palette);
            for (const QString& value : values) {
                label->setText(value);
                QVERIFY2(onScreen() == plain(), qPrintable(value + " on " + background.name()));
            }
        }
        QVERIFY(style.copiedTexts() > copied + values.size());
        // A gradient behind the text: not one colour, so nothing is copied.
        QLinearGradient gradient(0, 0, label->width(), 0);
        gradient.setColorAt(0, Qt::white);
        gradient.setColorAt(1, Qt::cyan);
        QPalette palette = label->palette();
        palette.setBrush(QPalette::Window, QBrush(gradient));
        label->setPalette(palette);
        const int before = style.copiedTexts();
        for (const QString& value : values) {
            label->setText(value);
            QVERIFY2(onScreen() == plain(), qPrintable(value + " on a gradient"));
        }
        QCOMPARE(style.copiedTexts(), before);
        // A style sheet set on the window, then taken away: its colours while it holds, copies again after.
        palette.setColor(QPalette::Window, Qt::white);
        label->setPalette(palette);
        window.setStyleSheet("QLabel { color: #c00000; background: #ddeeff; border: 2px solid #0000aa; padding-right: 6px; }");
        for (const QString& value : values) {
            label->setText(value);
            QVERIFY2(onScreen() == plain(), qPrintable(value + " under a style sheet"));
        }
        window.setStyleSheet(QString());
        const int unsheeted = style.copiedTexts();
        for (const QString& value : values) {
            label->setText(value);
            QVERIFY2(onScreen() == plain(), qPrintable(value + " after the style sheet"));
        }
        QVERIFY(style.copiedTexts() > unsheeted);
    }

    // The mirror view recolours only the cells a step changed: it shows what a picture made in full shows.
    void mirrorViewRecoloursTheChangedCells() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00140", ""));
        auto* ui = window->form();
        MirrorKit::DMGraphicsItem* mirror = window->mirrorItem();
        auto sameAsFull = [&]() -> bool {
            QTest::qWait(2 * window->refreshPacer().intervalMs());
            if (window->refreshPacer().pending()) return false;
            const QImage stepped = ui->graphicsView->viewport()->grab().toImage();
            mirror->setColorTable(mirror->colorTable());  // the whole picture made again
            return stepped == ui->graphicsView->viewport()->grab().toImage();
        };
        ui->pistonSlider->setValue(512);
        QVERIFY(sameAsFull());
        for (int i = 0; i < 3; ++i) {
            clickToolbar(*window, ui->actionPoke_Next);
            QVERIFY(sameAsFull());
        }
        QCOMPARE(window->selectedActuator(), 2);
        // A poke walked over without a paint between steps: every cell it left is drawn again.
        for (int i = 0; i < 5; ++i) clickToolbar(*window, ui->actionPoke_Next);
        QVERIFY(sameAsFull());
        QCOMPARE(QColor(ui->graphicsView->viewport()->grab().toImage().pixel(ui->graphicsView->mapFromScene(
                     mirror->mapToScene(mirror->cellCentre(7))))),
                 mirror->actuatorColor(7));

        // The 952-actuator mirror under small Zernike steps.
        QVERIFY(window->openMirror("SDWIND00952", ""));
        mirror = window->mirrorItem();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QVERIFY(sameAsFull());
        ui->zern4->setFocus();
        for (auto key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp}) {
            QTest::keyClick(ui->zern4, key);
            QVERIFY(sameAsFull());
        }
        // Large steps, and bursts of them faster than the screen refreshes (cells listed again and again).
        for (int burst : {1, 3, 12}) {
            for (int i = 0; i < burst; ++i) QTest::keyClick(ui->zern4, i % 2 ? Qt::Key_PageDown : Qt::Key_PageUp);
            QTest::keyClick(ui->zern6, burst % 2 ? Qt::Key_PageUp : Qt::Key_PageDown);
            QVERIFY(sameAsFull());
        }
    }

    // What the mirror view shows after the partial repaints of steps, pokes, segment mode and the grid is what a
    // whole repaint shows, on the screen's own pixels and at any scale factor (the test runs at 1, 1.5 and 2):
    // no pixel is left stale or unpainted around or inside the picture of the cells.
    void mirrorViewShowsWhatAWholeRepaintShows() {
        auto window = sdtest::startedWindow();
        auto* ui = window->form();
        const double ratio = window->devicePixelRatioF();
        const int directBefore = window->mirrorItem()->directPaints();
        int checks = 0;
        auto sameAsWhole = [&](const char* what) {
            QTest::qWait(2 * window->refreshPacer().intervalMs());
            QTRY_VERIFY(!window->refreshPacer().pending());
            QTest::qWait(5);
            const QImage shown = shownViewport(*window);
            const QImage whole = plainRepaint(*window);
            QVERIFY2(!shown.isNull() && shown.size() == whole.size(), what);
            QVERIFY2(countPixels(whole, [&](int x, int y) { return whole.pixel(x, y) == qRgb(255, 0, 255); }) == 0,
                     what);
            QVERIFY2(shown == whole,
                     qPrintable(QString("%1: %2 pixels differ").arg(what).arg(countPixels(shown, [&](int x, int y) {
                         return shown.pixel(x, y) != whole.pixel(x, y);
                     }))));
            // The window's pixels are written straight from the cells; a picture of another format gets the kept
            // picture copied (compared over what of the viewport the screen shows).
            if (ratio == std::round(ratio)) {
                QWidget* port = ui->graphicsView->viewport();
                QImage other(port->size() * ratio, QImage::Format_RGB888);
                other.setDevicePixelRatio(ratio);
                other.fill(Qt::magenta);
                port->render(&other);
                const QImage copied = other.convertToFormat(QImage::Format_RGB32).copy(shown.rect());
                QVERIFY2(copied == shown, qPrintable(QString("%1: the kept picture differs").arg(what)));
            }
            ++checks;
        };
        QVERIFY(window->openMirror("SDWIND00952", ""));
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        sameAsWhole("zernike control");
        ui->zern4->setFocus();
        for (auto key : {Qt::Key_Up, Qt::Key_PageUp, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_PageUp}) {
            QTest::keyClick(ui->zern4, key);
            sameAsWhole("defocus step");
        }
        // Steps the screen did not show in between, on other terms too.
        QTest::keyClick(ui->zern5, Qt::Key_PageUp);
        QTest::keyClick(ui->zern7, Qt::Key_PageDown);
        sameAsWhole("steps on two terms");
        chooseFromMenu(ui->menuOptions, ui->actionShow_Grid);
        QVERIFY(ui->actionShow_Grid->isChecked());
        sameAsWhole("grid on");
        QTest::keyClick(ui->zern4, Qt::Key_PageDown);
        sameAsWhole("step under the grid");
        chooseFromMenu(ui->menuOptions, ui->actionShow_Grid);
        QVERIFY(!ui->actionShow_Grid->isChecked());
        sameAsWhole("grid off");

        // A smaller mirror in the same view, poked along from the toolbar.
        QVERIFY(window->openMirror("SDWIND00140", ""));
        sameAsWhole("another mirror");
        for (int i = 0; i < 3; ++i) {
            clickToolbar(*window, ui->actionPoke_Next);
            sameAsWhole("poke");
        }
        // Segments (tiles, no picture of cells) and back.
        QVERIFY(window->openMirror("SDSEGL00111", ""));
        QTest::mouseClick(ui->segmentControlRadio, Qt::LeftButton);
        QVERIFY(window->mirrorItem()->showsSegments());
        sameAsWhole("segments");
        QTest::mouseClick(ui->actuatorControlRadio, Qt::LeftButton);
        QVERIFY(!window->mirrorItem()->showsSegments());
        sameAsWhole("cells after segments");
        // A view resized: the picture moves and the area around it changes.
        window->resize(window->width() - 150, window->height() - 60);
        sameAsWhole("smaller window");
        QCOMPARE(checks, 17);

        // A one-unit step of a smooth shape recolours a cell here and there: those cells are repainted, not the
        // rectangle round them.
        QVERIFY(window->openMirror("SDWIND00952", ""));
        QTest::qWait(150);  // the view is fitted to a new mirror 100 ms after it opens, a whole repaint
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        ui->zern4->setFocus();
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QTest::keyClick(ui->zern4, Qt::Key_Up);
        sameAsWhole("before the small step");
        PaintedRegion painted(ui->graphicsView->viewport());
        QTest::keyClick(ui->zern4, Qt::Key_Up);
        QTRY_VERIFY(painted.paints > 0);
        const QRegion region = painted.region;
        sameAsWhole("small step");
        QVERIFY(region.rectCount() > 1);
        qint64 area = 0;
        for (const QRect& r : region) area += qint64(r.width()) * r.height();
        const QRect bounds = region.boundingRect();
        QVERIFY2(area < qint64(bounds.width()) * bounds.height() / 2,
                 qPrintable(QString("%1 of %2 pixels").arg(area).arg(qint64(bounds.width()) * bounds.height())));
        const int direct = window->mirrorItem()->directPaints() - directBefore;
        QVERIFY2(directAsScaleAllows(ratio, direct, 11), qPrintable(QString::number(direct)));
    }

    // The series' pictures are drawn straight into the window's pixels where its scale allows: the screen shows
    // what the same pictures show copied from pictures of their own, after steps and after a partial repaint.
    void surfaceViewsShowTheirPicturesOnScreen() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        SurfaceView* views[] = {ui->targetSurfaceView, ui->idealSurfaceView};
        const int directBefore = views[0]->directPaints() + views[1]->directPaints();
        auto shownAsCopied = [&](const QString& what) {
            QTRY_VERIFY(!window->refreshPacer().pending());
            QApplication::processEvents();
            QVERIFY(window->lastDrawnFromSeries());
            for (SurfaceView* view : views) {
                const QImage shown = shownWidget(*window, view);
                const QImage picture = view->picture();
                QVERIFY2(!picture.isNull() && picture.width() == view->pictureSide(), qPrintable(what));
                view->setPicture(picture);  // the same pixels, copied by the painter
                view->repaint();
                const QImage copied = shownWidget(*window, view);
                QVERIFY2(shown == copied, qPrintable(QString("%1, %2: %3 pixels differ")
                                                         .arg(what, view->objectName())
                                                         .arg(countPixels(shown, [&](int x, int y) {
                                                             return shown.pixel(x, y) != copied.pixel(x, y);
                                                         }))));
            }
        };
        ui->zern4->setFocus();
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        shownAsCopied("defocus");
        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(ui->zern4, Qt::Key_Up);
            shownAsCopied(QString("defocus step %1").arg(i));
        }
        ui->zern7->setFocus();
        QTest::keyClick(ui->zern7, Qt::Key_PageDown);
        shownAsCopied("coma");
        // Parts of the views painted again (an exposure): the rest stays as it was.
        QTest::keyClick(ui->zern7, Qt::Key_Down);
        QTRY_VERIFY(!window->refreshPacer().pending());
        QApplication::processEvents();
        for (SurfaceView* view : views) {
            const QImage before = shownWidget(*window, view);
            view->repaint(QRect(view->width() / 3, view->height() / 4, view->width() / 4, view->height() / 3));
            view->repaint(QRect(0, 0, view->width() / 2, 5));
            QCOMPARE(shownWidget(*window, view), before);
        }
        shownAsCopied("coma step, parts repainted");
        const double ratio = window->devicePixelRatioF();
        const int direct = views[0]->directPaints() + views[1]->directPaints() - directBefore;
        QVERIFY2(directAsScaleAllows(ratio, direct, 12), qPrintable(QString::number(direct)));
    }

    // A term's slider stepped by the keyboard: the screen shows it as it is drawn at its new value, whether the
    // step moved its handle (a repaint) or left it where it was (none needed, and none made).
    void termSliderStepsShowTheSliderAsDrawn() {
        auto window = sdtest::startedWindow();
        QVERIFY(window->openMirror("SDWIND00952", ""));
        auto* ui = window->form();
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QSlider* slider = ui->zern4;
        slider->setFocus();
        slider->setValue(-60);
        QApplication::processEvents();
        PaintedRegion painted(slider);
        int steps = 0, repaints = 0;
        auto check = [&](Qt::Key key, int times) {
            for (int i = 0; i < times; ++i) {
                const int before = painted.paints;
                QTest::keyClick(slider, key);
                // The step, the layout a new status message may ask for, the paint that follows it.
                for (int pass = 0; pass < 3; ++pass) QApplication::processEvents();
                ++steps;
                repaints += painted.paints - before;
                const QImage shown = shownWidget(*window, slider);
                slider->repaint();
                const QImage drawn = shownWidget(*window, slider);
                QVERIFY2(shown == drawn, qPrintable(QString("at %1").arg(slider->value())));
            }
        };
        check(Qt::Key_Up, 120);
        check(Qt::Key_PageUp, 2);
        check(Qt::Key_Down, 30);
        check(Qt::Key_End, 1);
        check(Qt::Key_Home, 1);
        QVERIFY2(repaints > 5 && repaints < steps / 2, qPrintable(QString("%1 paints for %2 steps").arg(repaints).arg(steps)));

        // Hovering it shows the term and the value it has now.
        for (const int value : {-20, 35}) {
            slider->setValue(value);
            QTest::keyClick(slider, Qt::Key_Up);
            const QPoint at = slider->rect().center();
            QHelpEvent hover(QEvent::ToolTip, at, slider->mapToGlobal(at));
            QApplication::sendEvent(slider, &hover);
            QTRY_VERIFY(QToolTip::isVisible());
            QCOMPARE(QToolTip::text(), QString("Defocus: %1 nm").arg(value + 1));
            QToolTip::hideText();
        }
    }

private:
    // Whether a slider looks as it does drawn by the application's style itself: the same slider, in the same
    // state (value, focus, hover), grabbed with its own style and then with a plain one.
    static bool looksAsPlainSlider(QSlider* shown) {
        QStyle* own = shown->style();
        const QImage drawn = shown->grab().toImage();
        std::unique_ptr<QStyle> plain(QStyleFactory::create(QApplication::style()->objectName()));
        shown->setStyle(plain.get());
        const QImage usual = shown->grab().toImage();
        shown->setStyle(own);
        return !drawn.isNull() && drawn == usual;
    }

    // Whether a label looks as a plain label (the application's style) of the same kind showing the same text.
    static bool looksAsPlainLabel(QLabel* shown) {
        QLabel plain;
        plain.setFont(shown->font());
        plain.setPalette(shown->palette());
        plain.setFrameShape(shown->frameShape());
        plain.setFrameShadow(shown->frameShadow());
        plain.setAlignment(shown->alignment());
        plain.setTextFormat(shown->textFormat());
        plain.setMargin(shown->margin());
        plain.setIndent(shown->indent());
        plain.setAutoFillBackground(shown->autoFillBackground());
        plain.setEnabled(shown->isEnabled());
        plain.setFixedSize(shown->size());
        plain.setText(shown->text());
        return shown->grab().toImage() == plain.grab().toImage();
    }
};

int main(int argc, char** argv) {
    // Settings of this run only.
    krvtest::TempDir config("sd-config");
    qputenv("XDG_CONFIG_HOME", config.path().c_str());
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Velmira");
    QCoreApplication::setApplicationName("ShapeDesk");
    QCoreApplication::setApplicationVersion(KRVVersionString());
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
