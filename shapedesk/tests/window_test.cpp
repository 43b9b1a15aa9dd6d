// The window, its mirror view and its shape files on the offscreen platform, with dialogs answered here and
// the frames sent to the kit recorded by a stand-in.
#include "ScriptedDialogs.h"
#include "ShapeDeskTestSupport.h"
#include "StartedWindow.h"

#include "dmview.h"
#include "editors.h"
#include "shapes.h"
#include "ui_userwindow.h"
#include "userwindow.h"

#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QTextStream>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include <dlfcn.h>

#include <memory>

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
        shapes = QString::fromStdString(tree->root() + "/Shapes");
        dialogs = std::make_unique<sdtest::ScriptedDialogs>();
    }
    void init() {
        dialogs->boxes.clear();
        dialogs->asked.clear();
    }

    void startWithoutSavedMirrorSaysSo() {
        auto window = sdtest::startedWindow();
        QCOMPARE(window->statusText(), QString("No DM connection open. Select \"File > Open DM\" to begin"));
        QCOMPARE(dialogs->boxes.size(), 1);
        QVERIFY(dialogs->boxes[0].startsWith("critical|"));
        QVERIFY(dialogs->boxes[0].endsWith("|Could not open default profile:\n\nPlease ensure that your hardware is "
                                           "connected and powered on.\nSelect a profile using File > Open."));
        QVERIFY(!window->form()->actionPokeAll->isEnabled());
    }

    void statusColoursFollowTheText() {
        auto window = sdtest::startedWindow();
        const QString red = "background: red; color: white;";
        for (const QString text : {"ERROR 27: x", "Could NOT open A.dm.", "eRRoR"}) {
            window->setStatusMessage(text);
            QCOMPARE(window->statusStyle(), red);
            QCOMPARE(window->statusText(), text);
        }
        window->setStatusMessage("Warning: Shape is out of calibration range.");
        QCOMPARE(window->statusStyle(), QString("background: yellow; color: black;"));
        window->setStatusMessage("Waiting For the card");
        QCOMPARE(window->statusStyle(), QString("background: cyan; color: black;"));
        window->setStatusMessage("Opened DM X.");
        QCOMPARE(window->statusStyle(), QString());
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
        QCOMPARE(ui->minLabel->text(), QString("-301nm"));
        QCOMPARE(ui->maxLabel->text(), QString("1500nm"));
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

        writeLines(shapes + "/short.txt", {"0.5", "0.5"});
        window->loadShape(shapes + "/short.txt");
        QVERIFY(window->statusText().startsWith("Loaded shape file"));
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
        QVERIFY(window->form()->targetPVReadback->text().endsWith(" nm"));
    }
};

int main(int argc, char** argv) {
    // Settings of this run only.
    krvtest::TempDir config("sd-config");
    qputenv("XDG_CONFIG_HOME", config.path().c_str());
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Velmira");
    QCoreApplication::setApplicationName("ShapeDesk");
    QCoreApplication::setApplicationVersion("4.2.0");
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
